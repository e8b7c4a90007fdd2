#include "ui/main_window.hpp"

#include "station/station.hpp"
#include "ui/about_box.hpp"
#include "ui/app_icon.hpp"
#include "ui/channel_panel.hpp"
#include "ui/event_log_viewer.hpp"
#include "ui/setup_dialog.hpp"
#include "ui/station_link.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace orvane::ui {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

void set_text(QLineEdit* e, const std::string& s) {
  const auto t = q(s);
  if (e->text() != t) e->setText(t);
}

void set_text(QLabel* l, const QString& t) {
  if (l->text() != t) l->setText(t);
}

}  // namespace

MainWindow::MainWindow(Station& station, WindowOptions options)
    : link_(new StationLink(station, this)), options_(std::move(options)) {
  setObjectName("Tf_main");
  setWindowTitle("Emulator");
  setWindowIcon(app_icon());
  if (!options_.alert) {
    options_.alert = [](QWidget* parent, const QString& text) {
      // Non-blocking, so alerts never stack nested event loops.
      auto* box = new QMessageBox(QMessageBox::Warning, "Emulator", text, QMessageBox::Ok, parent);
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->open();
    };
  }
  switch (options_.tray) {
    case WindowOptions::Tray::automatic:
      use_tray_ = QSystemTrayIcon::isSystemTrayAvailable();
      break;
    case WindowOptions::Tray::on:
      use_tray_ = true;
      break;
    case WindowOptions::Tray::off:
      use_tray_ = false;
      break;
  }

  // ---- tool bar ----
  auto* bar = addToolBar("Tools");
  bar->setObjectName("ToolBar1");
  bar->setMovable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->setIconSize(QSize(20, 20));
  auto* st = style();
  auto* b1 =
      tool_button("ToolButton1", "Set Config", "Set Config", st->standardIcon(QStyle::SP_FileDialogDetailedView));
  auto* b4 =
      tool_button("tb_openlog", "Event Log", "Show Event Log", st->standardIcon(QStyle::SP_FileDialogContentsView));
  auto* b5 = tool_button("ToolButton5", "Hang Up", QString(), st->standardIcon(QStyle::SP_DialogCancelButton));
  auto* b2 = tool_button("ToolButton2", "About", "About", st->standardIcon(QStyle::SP_MessageBoxInformation));
  auto* b3 = tool_button("ToolButton3", "Exit", "Exit", st->standardIcon(QStyle::SP_DialogCloseButton));
  bar->addWidget(b1);
  bar->addWidget(b4)->setVisible(false);  // the event log is opened from no visible control
  bar->addWidget(b5);
  bar->addWidget(b2);
  auto* spacer = new QWidget(bar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar->addWidget(spacer);
  bar->addWidget(b3);
  connect(b1, &QToolButton::clicked, this, &MainWindow::open_setup);
  connect(b2, &QToolButton::clicked, this, &MainWindow::show_about);
  connect(b3, &QToolButton::clicked, this, &MainWindow::exit_station);
  connect(b4, &QToolButton::clicked, this, &MainWindow::open_event_log);
  connect(b5, &QToolButton::clicked, this, &MainWindow::hang_up);

  auto* central = new QWidget(this);
  central->setObjectName("central");
  setCentralWidget(central);

  // ---- header: title, identity, data mode, Start / Stop ----
  auto* header = new QFrame(central);
  header->setObjectName("header");
  header->setStyleSheet(
      "QFrame#header { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #17465f, stop:1 #24698c);"
      " border-radius: 8px; }"
      "QFrame#header QLabel { color: #e8f4fa; background: transparent; }"
      "QFrame#header QLineEdit { background: #0f3449; color: #ffffff; border: 1px solid #3d7fa3;"
      " border-radius: 4px; padding: 2px 6px; font-weight: bold; }");
  auto* title = new QLabel("Orvane Emulator", header);
  title->setObjectName("lbl_title");
  QFont tf = title->font();
  tf.setPointSizeF(tf.pointSizeF() * 1.8);
  tf.setBold(true);
  title->setFont(tf);

  factory_id_ = box("ed_facid", header);
  sensor_id_ = box("ed_sensorid", header);
  factory_id_->setFixedWidth(90);
  sensor_id_->setFixedWidth(90);
  host_ = box("ed_ip", header);
  telephone_ = box("ed_tel", header);
  history_interval_ = box("ed_historysam", header);
  event_interval_ = box("ed_eventsam", header);
  for (auto* hidden : {host_, telephone_, history_interval_, event_interval_}) hidden->hide();

  data_mode_label_ = new QLabel("Data Mode : Stop ", header);
  data_mode_label_->setObjectName("lbl_mode");
  data_mode_label_->setMinimumWidth(150);
  data_mode_label_->setAlignment(Qt::AlignCenter);
  QFont mf = data_mode_label_->font();
  mf.setBold(true);
  data_mode_label_->setFont(mf);

  auto* bt_read = new QPushButton(st->standardIcon(QStyle::SP_MediaPlay), "Start", header);
  bt_read->setObjectName("bt_read");
  bt_read->setToolTip("Read real data");
  auto* bt_stop = new QPushButton(st->standardIcon(QStyle::SP_MediaStop), "Stop", header);
  bt_stop->setObjectName("bt_stoprandom");
  connect(bt_read, &QPushButton::clicked, this, &MainWindow::read_real_data);
  connect(bt_stop, &QPushButton::clicked, this, &MainWindow::stop_data);

  auto* hl = new QHBoxLayout(header);
  hl->setContentsMargins(14, 8, 14, 8);
  hl->addWidget(title);
  hl->addSpacing(24);
  hl->addWidget(new QLabel("Factory", header));
  hl->addWidget(factory_id_);
  hl->addSpacing(8);
  hl->addWidget(new QLabel("Sensor", header));
  hl->addWidget(sensor_id_);
  hl->addStretch();
  hl->addWidget(data_mode_label_);
  hl->addSpacing(8);
  hl->addWidget(bt_read);
  hl->addWidget(bt_stop);

  // ---- the 32 panels, 4 rows of 8 ----
  auto* grid = new QGridLayout;
  grid->setSpacing(8);
  for (int n = 1; n <= limits::kChannels; ++n) {
    auto* p = new ChannelPanel(n, central);
    panels_[static_cast<std::size_t>(n - 1)] = p;
    grid->addWidget(p, (n - 1) / 8, (n - 1) % 8);
  }

  // ---- the operator log ----
  log_view_ = new QPlainTextEdit(central);
  log_view_->setObjectName("Memo1");
  log_view_->setReadOnly(true);
  log_view_->setMaximumBlockCount(static_cast<int>(limits::kMemoLines) + 1);
  log_view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  log_view_->setMinimumHeight(120);
  log_view_->setStyleSheet(
      "QPlainTextEdit#Memo1 { background: #fbfcfd; border: 1px solid #cfd8dc; border-radius: 6px; }");

  auto* vl = new QVBoxLayout(central);
  vl->setContentsMargins(10, 10, 10, 6);
  vl->setSpacing(10);
  vl->addWidget(header);
  vl->addLayout(grid, 3);
  vl->addSpacing(2);
  auto* memo_title = new QLabel("Operator log", central);
  memo_title->setStyleSheet("QLabel { color: #546e7a; font-weight: bold; }");
  vl->addWidget(memo_title);
  vl->addWidget(log_view_, 1);

  // ---- status line ----
  auto* sb = statusBar();
  auto status_field = [&](const char* name) {
    auto* l = new QLabel(sb);
    l->setObjectName(name);
    l->setContentsMargins(6, 0, 6, 0);
    sb->addWidget(l);
    return l;
  };
  status_mode_ = status_field("st_mode");
  status_host_ = status_field("st_host");
  status_events_ = status_field("st_events");
  status_realtime_ = status_field("st_realtime");
  status_dir_ = new QLabel(sb);
  status_dir_->setObjectName("st_dir");
  sb->addPermanentWidget(status_dir_);

  resize(1120, 720);

  build_tray();

  connect(link_, &StationLink::snapshot_ready, this, [this](std::shared_ptr<const StationSnapshot> s) { render(*s); });
  connect(link_, &StationLink::operator_alert, this, [this](const QString& text) { options_.alert(this, text); });
  link_->install_operator_alert();

  poll_ = new QTimer(this);
  poll_->setInterval(options_.snapshot_interval_ms);
  connect(poll_, &QTimer::timeout, link_, &StationLink::request_snapshot);
  poll_->start();
  link_->request_snapshot();
}

MainWindow::~MainWindow() = default;

QToolButton* MainWindow::tool_button(const char* name, const QString& text, const QString& hint, const QIcon& icon) {
  auto* b = new QToolButton(this);
  b->setObjectName(name);
  b->setText(text);
  b->setToolTip(hint);
  b->setIcon(icon);
  b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  b->setAutoRaise(true);
  return b;
}

QLineEdit* MainWindow::box(const char* name, QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(name);
  e->setReadOnly(true);
  e->setFocusPolicy(Qt::ClickFocus);
  return e;
}

void MainWindow::build_tray() {
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("PopupMenu1");
  connect(tray_menu_->addAction("Show"), &QAction::triggered, this, &MainWindow::restore_window);
  connect(tray_menu_->addAction("About"), &QAction::triggered, this, &MainWindow::show_about);
  connect(tray_menu_->addAction("Setup"), &QAction::triggered, this, &MainWindow::open_setup);
  tray_menu_->addSeparator();
  connect(tray_menu_->addAction("Exit"), &QAction::triggered, this, &MainWindow::exit_station);
  if (!use_tray_) return;
  tray_ = new QSystemTrayIcon(app_icon(), this);
  tray_->setObjectName("CoolTrayIcon1");
  tray_->setToolTip("ORVANE EMULATOR");
  tray_->setContextMenu(tray_menu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) restore_window();
  });
  tray_->show();
}

void MainWindow::start(bool show) {
  if (show) {
    this->show();
  } else if (!use_tray_) {
    showMinimized();
  }
  // With a tray the window stays hidden until the icon is clicked.
}

void MainWindow::restore_window() {
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    event->accept();
    return;
  }
  // The station goes on: closing only puts the window away.
  event->ignore();
  if (use_tray_) {
    hide();
  } else {
    showMinimized();
  }
}

void MainWindow::render(const StationSnapshot& s) {
  for (std::size_t i = 0; i < panels_.size(); ++i) panels_[i]->render(s.panels[i]);
  set_text(factory_id_, s.settings.factory_id);
  set_text(sensor_id_, s.settings.sensor_id);
  set_text(host_, s.settings.host);
  set_text(telephone_, s.settings.telephone);
  set_text(history_interval_, s.settings.history_sample.text);
  set_text(event_interval_, s.settings.event_sample.text);
  const bool reading = s.data_mode == DataMode::reading;
  const QString mode = reading ? "Data Mode : Read" : "Data Mode : Stop ";
  if (data_mode_label_->text() != mode) {
    data_mode_label_->setText(mode);
    data_mode_label_->setStyleSheet(
        reading ? "QLabel { background: #2e7d32; color: white; border-radius: 10px; padding: 3px 10px; }"
                : "QLabel { background: #b0bec5; color: #263238; border-radius: 10px; padding: 3px 10px; }");
  }
  set_text(status_mode_, mode.trimmed());
  set_text(status_host_, QStringLiteral("Host %1%2").arg(q(s.settings.host), s.dial_online ? " (dial-up online)" : ""));
  set_text(status_events_, QStringLiteral("Events buffered %1").arg(s.events_buffered));
  set_text(status_realtime_, QStringLiteral("Realtime subscribers %1").arg(s.realtime_subscribers));
  station_dir_ = q(s.station_dir);
  set_text(status_dir_, station_dir_);
  render_memo(s);

  const auto tip = QStringLiteral("ORVANE EMULATOR\n%1\nEvents buffered %2").arg(mode.trimmed()).arg(s.events_buffered);
  if (tray_ && tip != tray_tip_) {
    tray_tip_ = tip;
    tray_->setToolTip(tip);
  }
}

void MainWindow::render_memo(const StationSnapshot& s) {
  if (!s.memo_complete) {
    // More was logged than the memo keeps: show what it holds now.
    QStringList lines;
    for (const auto& l : s.memo_new) lines << q(l);
    log_view_->setPlainText(lines.join('\n'));
    log_view_->moveCursor(QTextCursor::End);
    return;
  }
  for (const auto& l : s.memo_new) log_view_->appendPlainText(q(l));
}

void MainWindow::open_setup() {
  if (station_dir_.isEmpty()) return;  // no snapshot yet
  SetupDialog setup(
      station_dir_.toStdString(), this,
      [this](const SetupFiles& files) {
        link_->post([files](Station& station) { write_setup_files(station.dir(), files); });
      },
      options_.inform);
  setup.exec();
}

void MainWindow::show_about() {
  AboutBox about(this);
  about.exec();
}

void MainWindow::exit_station() {
  exiting_ = true;
  if (tray_) tray_->hide();
  QApplication::exit(0);
}

void MainWindow::open_event_log() {
  const auto path = QFileDialog::getOpenFileName(this, "Open Event Log", station_dir_ + "/log/");
  if (path.isEmpty()) return;
  EventLogViewer viewer(path, this, [this](const QString& message) { link_->log("Error : " + message.toStdString()); });
  viewer.exec();
}

void MainWindow::hang_up() {
  link_->post([](Station& station) { station.hang_up_all(); });
}

void MainWindow::read_real_data() {
  link_->post([](Station& station) { station.start_reading(); });
  link_->request_snapshot();
}

void MainWindow::stop_data() {
  link_->post([](Station& station) { station.stop_data(); });
  link_->request_snapshot();
}

}  // namespace orvane::ui
