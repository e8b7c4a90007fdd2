// MainWindow: the station's main window. It shows the snapshots the station
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

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(Station& station, WindowOptions options = {});
  ~MainWindow() override;

  // Shows the window, or starts in the tray (minimised without a tray).
  void start(bool show);
  void render(const StationSnapshot& snapshot);
  bool uses_tray() const { return use_tray_; }
  StationLink& link() { return *link_; }
  const QString& station_dir() const { return station_dir_; }

 public slots:
  void open_setup();  // Set Config (ToolButton1, tray "Setup")
  void show_about();  // About (ToolButton2, tray "About")
  void exit_station();  // Exit (ToolButton3, tray "Exit")
  void open_event_log();  // Show Event Log (tb_openlog)
  void hang_up();  // hangs up the dial-up connections (ToolButton5)
  void read_real_data();  // Start (bt_read)
  void stop_data();  // Stop (bt_stoprandom)
  void restore_window();  // tray click and "Show"

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
  QLineEdit *factory_id_, *sensor_id_, *host_, *telephone_, *history_interval_, *event_interval_;
  QLabel* data_mode_label_;
  QPlainTextEdit* log_view_;
  QLabel *status_mode_, *status_host_, *status_events_, *status_realtime_, *status_dir_;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* tray_menu_ = nullptr;
  QTimer* poll_;
  QString tray_tip_;
  QString station_dir_;  // from the snapshots
};

}  // namespace orvane::ui
