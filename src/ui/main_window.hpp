// Tf_main: the station's main window. It shows the snapshots the station
// thread sends back (at most every 100 ms, never more than one in flight)
// and posts every operator action to the station thread; it never reads
// station state itself.
#pragma once
#include "station/snapshot.hpp"

#include <QMainWindow>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace orvane {
class Station;
}

namespace orvane::ui {

class ChannelPanel;
class StationLink;

struct WindowOptions {
  enum class Tray { automatic, on, off };
  // Whether closing hides to the tray (automatic: when the desktop has one)
  // or minimises.
  Tray tray = Tray::automatic;
  // Shows an operator alert; the default is a non-blocking warning box.
  std::function<void(QWidget* parent, const QString& text)> alert;
  // Shows the setup dialog's closing notice; the default is an information box.
  std::function<void(QWidget* parent, const QString& text)> inform;
  int snapshot_interval_ms = 100;
};

class Tf_main : public QMainWindow {
  Q_OBJECT

 public:
  explicit Tf_main(Station& station, WindowOptions options = {});
  ~Tf_main() override;

  // Shows the window, or starts in the tray (minimised without a tray).
  void start(bool show);
  void render(const StationSnapshot& snapshot);
  bool uses_tray() const { return use_tray_; }
  StationLink& link() { return *link_; }
  const QString& station_dir() const { return station_dir_; }

 public slots:
  void ToolButton1Click();  // Set Config: the setup dialog
  void ToolButton2Click();  // About
  void ToolButton3Click();  // Exit
  void tb_openlogClick();   // Show Event Log
  void ToolButton5Click();  // hang up the dial-up connections
  void bt_readClick();
  void bt_stoprandomClick();
  void restore_window();    // tray click and "Show"

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QToolButton* tool_button(const char* name, const QString& text, const QString& hint, const QIcon& icon);
  QLineEdit* box(const char* name, QWidget* parent);
  void build_tray();
  void render_memo(const StationSnapshot& s);

  StationLink* link_;
  WindowOptions options_;
  bool use_tray_ = false;
  bool exiting_ = false;
  std::array<ChannelPanel*, limits::kChannels> panels_{};
  QLineEdit *ed_facid_, *ed_sensorid_, *ed_ip_, *ed_tel_, *ed_historysam_, *ed_eventsam_;
  QLabel* lbl_mode_;
  QPlainTextEdit* memo_;
  QLabel *st_mode_, *st_host_, *st_events_, *st_realtime_, *st_dir_;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* tray_menu_ = nullptr;
  QTimer* poll_;
  QString tray_tip_;
  QString station_dir_;  // from the snapshots
};

}  // namespace orvane::ui
