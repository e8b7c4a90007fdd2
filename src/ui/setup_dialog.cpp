#include "ui/setup_dialog.hpp"

#include "core/comma_text.hpp"
#include "core/text_file.hpp"
#include "station/settings.hpp"
#include "station/station_files.hpp"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace orvane::ui {

namespace {

enum Column { kPortId, kType, kIO, kModule, kAddress, kChannel, kColumns };

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void write_setup_files(const std::filesystem::path& dir, const SetupFiles& files) {
  write_lines_atomic(dir / station_files::kChannels, files.channel_lines);
  write_lines_atomic(dir / station_files::kModules, {files.module_line});
  write_profile_keys(dir / station_files::kSettings, {{"READ", "Port", std::to_string(files.com_port)}});
}

SetupDialog::SetupDialog(std::filesystem::path dir, QWidget* parent, SaveHandler save, Inform inform)
    : QDialog(parent), dir_(std::move(dir)), save_(std::move(save)), inform_(std::move(inform)) {
  setObjectName("Tf_setup");
  setWindowTitle("Setup");
  if (!save_) save_ = [d = dir_](const SetupFiles& f) { write_setup_files(d, f); };
  if (!inform_) inform_ = [](QWidget* p, const QString& text) { QMessageBox::information(p, "Setup", text); };

  list_ = new QTreeWidget(this);
  list_->setObjectName("ListView1");
  list_->setColumnCount(kColumns);
  list_->setHeaderLabels({"Port ID", "Type", "I/O", "Module No", "Address", "Channel"});
  list_->setRootIsDecorated(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setAlternatingRowColors(true);
  list_->setUniformRowHeights(true);
  list_->header()->setStretchLastSection(true);
  list_->setColumnWidth(kPortId, 110);
  for (int c = kType; c < kColumns; ++c) list_->setColumnWidth(c, 72);

  port_id_ = new QLineEdit(this);
  port_id_->setObjectName("ed_portname");
  port_id_->setMaxLength(64);
  channel_choice_ = new QComboBox(this);
  channel_choice_->setObjectName("cmb_channel");
  for (int i = 0; i <= 7; ++i) channel_choice_->addItem(QString::number(i));
  channel_choice_->setCurrentIndex(-1);  // nothing chosen until the operator picks
  com_port_choice_ = new QComboBox(this);
  com_port_choice_->setObjectName("cmb_comport");
  for (int i = 1; i <= 6; ++i) com_port_choice_->addItem(QString::number(i));
  module_address_ = new QLineEdit(this);
  module_address_->setObjectName("ed_address");
  module_address_->setMaxLength(8);
  io_choice_ = new QComboBox(this);  // kept for the form's sake; nothing reads it
  io_choice_->setObjectName("cmb_io");
  io_choice_->addItems({"Input", "Output"});
  io_choice_->hide();

  auto* add = new QPushButton("Add", this);
  add->setObjectName("ed_add");
  auto* remove = new QPushButton("Remove", this);
  remove->setObjectName("ed_remove");
  auto* save_btn = new QPushButton("Save", this);
  save_btn->setObjectName("bt_save");
  auto* close = new QPushButton("Close", this);
  close->setObjectName("bt_close");
  for (auto* b : {add, remove, save_btn, close}) b->setAutoDefault(false);

  auto* channel_box = new QGroupBox("Channel", this);
  auto* form = new QFormLayout(channel_box);
  form->addRow("Port ID", port_id_);
  form->addRow("Channel", channel_choice_);
  auto* edit_buttons = new QHBoxLayout;
  edit_buttons->addWidget(add);
  edit_buttons->addWidget(remove);
  form->addRow(edit_buttons);

  auto* module_box = new QGroupBox("Module", this);
  auto* mform = new QFormLayout(module_box);
  mform->addRow("Address", module_address_);
  mform->addRow("Comport", com_port_choice_);

  auto* side = new QVBoxLayout;
  side->addWidget(channel_box);
  side->addWidget(module_box);
  side->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(save_btn);
  buttons->addWidget(close);
  side->addLayout(buttons);

  auto* main = new QHBoxLayout(this);
  main->addWidget(list_, 1);
  main->addLayout(side);

  connect(add, &QPushButton::clicked, this, &SetupDialog::add_channel);
  connect(remove, &QPushButton::clicked, this, &SetupDialog::remove_channel);
  connect(save_btn, &QPushButton::clicked, this, &SetupDialog::save);
  connect(close, &QPushButton::clicked, this, &QDialog::close);

  load();
  setFixedSize(700, 340);
}

void SetupDialog::load() {
  for (const auto& line : read_lines_if_exists(dir_ / station_files::kChannels)) {
    const auto items = split_comma_text(line);
    if (items.size() < 7) continue;  // a line that can't be shown is left out
    auto* row = new QTreeWidgetItem(list_);
    row->setText(kPortId, q(items[0]));
    row->setText(kType, items[1] == "A" ? "Analog" : "Digital");
    row->setText(kIO, items[2] == "I" ? "Input" : "Output");
    row->setText(kModule, q(items[3]));
    row->setText(kAddress, q(items[4]));
    row->setText(kChannel, q(items[5]));
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(kPortId, trim(items[6]) == "Y" ? Qt::Checked : Qt::Unchecked);
  }
  const auto modules = read_lines_if_exists(dir_ / station_files::kModules);
  if (!modules.empty()) {
    const auto items = split_comma_text(modules.front());
    if (items.size() >= 4) module_address_->setText(q(items[3]));
  }
  loaded_port_ = read_settings(load_profile(dir_ / station_files::kSettings), dir_.string()).com_port;
  const int index = loaded_port_ - 1;
  com_port_choice_->setCurrentIndex(index >= 0 && index < com_port_choice_->count() ? index : -1);
}

void SetupDialog::add_channel() {
  const auto name = port_id_->text().trimmed();
  // With no channel chosen the row would be written without one and fail to load.
  if (name.isEmpty() || channel_choice_->currentIndex() < 0) return;
  auto* row = new QTreeWidgetItem(list_);
  row->setText(kPortId, name);
  row->setText(kType, "Analog");
  row->setText(kIO, "Input");
  row->setText(kModule, "1");
  row->setText(kAddress, module_address_->text().trimmed());
  row->setText(kChannel, channel_choice_->currentText());
  row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
  row->setCheckState(kPortId, Qt::Unchecked);
  channel_choice_->setCurrentIndex(0);
  port_id_->clear();
}

void SetupDialog::remove_channel() {
  const auto selected = list_->selectedItems();
  if (!selected.isEmpty()) delete selected.front();
}

SetupFiles SetupDialog::files() const {
  SetupFiles f;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    const auto* row = list_->topLevelItem(i);
    QString line = row->text(kPortId) + ",";
    line += row->text(kType) == "Analog" ? "A," : "D,";
    line += row->text(kIO) == "Input" ? "I," : "O,";
    line += row->text(kModule) + "," + row->text(kAddress) + "," + row->text(kChannel);
    line += row->checkState(kPortId) == Qt::Checked ? ",Y" : ",N";
    f.channel_lines.push_back(line.toStdString());
  }
  f.module_line = "1,4017,A," + module_address_->text().trimmed().toStdString() + ",Y";
  // A port the list doesn't offer stays as it was rather than becoming 0.
  f.com_port = com_port_choice_->currentIndex() >= 0 ? com_port_choice_->currentIndex() + 1 : loaded_port_;
  return f;
}

void SetupDialog::save() {
  try {
    save_(files());
  } catch (const std::exception& e) {
    inform_(this, QString("Error : ") + e.what());
  }
}

void SetupDialog::done(int result) {
  inform_(this, "Please Restart Application for load new Config!");
  QDialog::done(result);
}

}  // namespace orvane::ui
