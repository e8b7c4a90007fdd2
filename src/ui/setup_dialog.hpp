// SetupDialog: the operator's editor of the real-data mapping (channel.con, the
// module line of module.con, the device's COM port). What it saves is used
// at the next start.
#pragma once
#include <QDialog>
#include <QString>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace orvane::ui {

// The three things Save writes.
struct SetupFiles {
  std::vector<std::string> channel_lines;  // channel.con
  std::string module_line;  // module.con
  int com_port = 3;  // emulate.ini READ/Port
};

// Writes them into the station directory (channel.con, module.con and
// READ/Port of emulate.ini). Throws std::system_error.
void write_setup_files(const std::filesystem::path& dir, const SetupFiles& files);

class SetupDialog : public QDialog {
  Q_OBJECT

 public:
  using SaveHandler = std::function<void(const SetupFiles&)>;
  using Inform = std::function<void(QWidget* parent, const QString& text)>;

  // Fills the list from the station directory's files. `save` defaults to
  // writing the files at once; `inform` to an information box.
  explicit SetupDialog(std::filesystem::path dir, QWidget* parent = nullptr, SaveHandler save = {}, Inform inform = {});

  SetupFiles files() const;

  void done(int result) override;

 private slots:
  void add_channel();
  void remove_channel();
  void save();

 private:
  void load();

  std::filesystem::path dir_;
  SaveHandler save_;
  Inform inform_;
  QTreeWidget* list_;
  QLineEdit* port_id_;
  QComboBox* channel_choice_;
  QComboBox* com_port_choice_;
  QComboBox* io_choice_;
  QLineEdit* module_address_;
  int loaded_port_ = 3;
};

}  // namespace orvane::ui
