#include "ui/main_window.hpp"
#include "ui/channel_panel.hpp"
#include "ui_fixture.hpp"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

namespace orvane::ui {
namespace {

using test::pump_until;
using test::RunningStation;

template <class T>
T* child(QWidget& w, const QString& name) {
  auto* c = w.findChild<T*>(name);
  EXPECT_NE(c, nullptr) << name.toStdString();
  return c;
}

TEST(MainWindow, ControlsCarryTheirNamesCaptionsAndHints) {
  test::qt_app();
  RunningStation rs;
  MainWindow w(rs.station(), {.tray = WindowOptions::Tray::off});
  w.show();
  EXPECT_EQ(w.windowTitle(), "Emulator");
  for (int n = 1; n <= 32; ++n) {
    const auto s = QString::number(n);
    ASSERT_NE(child<QWidget>(w, "pnl_" + s), nullptr);
    EXPECT_EQ(child<QLabel>(w, "lbl_" + s)->text(), "None");
    EXPECT_FALSE(child<QLineEdit>(w, "value_" + s)->isVisible());
    auto* mask = child<QLineEdit>(w, "mask_" + s);
    EXPECT_TRUE(mask->isVisible());
    EXPECT_TRUE(mask->isReadOnly());
  }
  EXPECT_EQ(w.findChild<QWidget*>("pnl_33"), nullptr);
  for (const char* name : {"ed_facid", "ed_sensorid", "ed_ip", "ed_tel", "ed_historysam", "ed_eventsam"})
    EXPECT_TRUE(child<QLineEdit>(w, name)->isReadOnly()) << name;
  EXPECT_TRUE(child<QLineEdit>(w, "ed_facid")->isVisible());
  EXPECT_FALSE(child<QLineEdit>(w, "ed_tel")->isVisible());
  auto* memo = child<QPlainTextEdit>(w, "Memo1");
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->maximumBlockCount(), 201);
  EXPECT_EQ(child<QPushButton>(w, "bt_read")->text(), "Start");
  EXPECT_EQ(child<QPushButton>(w, "bt_read")->toolTip(), "Read real data");
  EXPECT_EQ(child<QPushButton>(w, "bt_stoprandom")->text(), "Stop");
  EXPECT_EQ(child<QToolButton>(w, "ToolButton1")->toolTip(), "Set Config");
  EXPECT_EQ(child<QToolButton>(w, "ToolButton2")->toolTip(), "About");
  EXPECT_EQ(child<QToolButton>(w, "ToolButton3")->toolTip(), "Exit");
  EXPECT_EQ(child<QToolButton>(w, "tb_openlog")->toolTip(), "Show Event Log");
  EXPECT_FALSE(child<QToolButton>(w, "tb_openlog")->isVisible());
  EXPECT_TRUE(child<QToolButton>(w, "ToolButton5")->toolTip().isEmpty());

  auto* menu = w.findChild<QMenu*>("PopupMenu1");
  ASSERT_NE(menu, nullptr);
  QStringList items;
  for (auto* a : menu->actions()) items << (a->isSeparator() ? QString("-") : a->text());
  EXPECT_EQ(items, QStringList({"Show", "About", "Setup", "-", "Exit"}));
}

TEST(MainWindow, ShowsTheStationStateFromSnapshots) {
  test::qt_app();
  RunningStation rs;
  MainWindow w(rs.station(), {.tray = WindowOptions::Tray::off, .snapshot_interval_ms = 20});
  w.show();
  rs.on_station([](Station& s) {
    auto& table = s.channel_table();
    table.set_sensor_row(3, {"", "TEMP01", "A", "I", "Y", "0", "100", "40", "70"});
    table.set_sensor_row(2, {"", "FLOW", "A", "I", "N"});
    table.refresh_labels();  // "TEMP0", "FLOW"
    table.panel(3).shown = "72.5";
    table.panel(3).value = "725";
    table.panel(3).event_state = 3;  // at or above threshold 2
    s.settings().factory_id = "F9";
    s.settings().host = "10.1.2.3";
    s.start_reading();  // the scripted device line opens
    s.log("Emulator : receive Command");
    return 0;
  });
  auto* mask3 = child<QLineEdit>(w, "mask_3");
  ASSERT_TRUE(pump_until([&] { return mask3->text() == "72.5"; }));
  EXPECT_EQ(child<QLabel>(w, "lbl_3")->text(), "TEMP0");
  EXPECT_EQ(child<QLineEdit>(w, "value_3")->text(), "725");
  EXPECT_EQ(child<QLineEdit>(w, "value_3")->property("tag").toInt(), 3);
  EXPECT_EQ(w.findChild<ChannelPanel*>("pnl_3")->state(), PanelState::alarm2);
  EXPECT_EQ(w.findChild<ChannelPanel*>("pnl_2")->state(), PanelState::disabled);
  EXPECT_EQ(w.findChild<ChannelPanel*>("pnl_1")->state(), PanelState::no_sensor);
  // The label is cut to five characters; the tip names the whole Port ID.
  EXPECT_EQ(w.findChild<ChannelPanel*>("pnl_3")->toolTip(), "Channel 3: TEMP01 (above T2)");
  EXPECT_EQ(w.findChild<ChannelPanel*>("pnl_1")->toolTip(), "Channel 1: None (no sensor)");
  EXPECT_EQ(child<QLineEdit>(w, "ed_facid")->text(), "F9");
  EXPECT_EQ(child<QLineEdit>(w, "ed_ip")->text(), "10.1.2.3");
  EXPECT_EQ(child<QLabel>(w, "lbl_mode")->text(), "Data Mode : Read");
  EXPECT_EQ(child<QLabel>(w, "st_host")->text(), "Host 10.1.2.3");
  auto* memo = child<QPlainTextEdit>(w, "Memo1");
  ASSERT_TRUE(pump_until([&] { return memo->toPlainText().endsWith("Emulator : receive Command"); }));

  // The stop button acts on the station, and the window shows the result.
  child<QPushButton>(w, "bt_stoprandom")->click();
  ASSERT_TRUE(pump_until([&] { return child<QLabel>(w, "lbl_mode")->text() == "Data Mode : Stop "; }));
  EXPECT_EQ(rs.on_station([](Station& s) { return s.data_mode(); }), DataMode::stopped);
}

TEST(MainWindow, MemoKeepsTheLast201LinesAndEveryNewOneOnce) {
  test::qt_app();
  RunningStation rs;
  MainWindow w(rs.station(), {.tray = WindowOptions::Tray::off, .snapshot_interval_ms = 20});
  auto* memo = child<QPlainTextEdit>(w, "Memo1");
  // More than the memo holds between two snapshots.
  rs.on_station([](Station& s) {
    for (int i = 1; i <= 300; ++i) s.log("line " + std::to_string(i));
    return 0;
  });
  ASSERT_TRUE(pump_until([&] { return memo->toPlainText().endsWith("line 300"); }));
  EXPECT_EQ(memo->blockCount(), 201);
  EXPECT_TRUE(memo->toPlainText().startsWith("line 100\n"));
  // Then a few at a time: appended once each, oldest dropped.
  rs.on_station([](Station& s) {
    s.log("line 301");
    s.log("line 302");
    return 0;
  });
  ASSERT_TRUE(pump_until([&] { return memo->toPlainText().endsWith("line 302"); }));
  EXPECT_EQ(memo->blockCount(), 201);
  EXPECT_TRUE(memo->toPlainText().startsWith("line 102\n"));
  EXPECT_EQ(memo->toPlainText().count("line 301"), 1);
}

TEST(MainWindow, StationAlertsReachTheOperatorAsAMessage) {
  test::qt_app();
  RunningStation rs;
  QStringList shown;
  MainWindow w(rs.station(),
               {.tray = WindowOptions::Tray::off, .alert = [&](QWidget*, const QString& text) { shown << text; }});
  // The notifier is installed by a post; this one runs after it.
  rs.on_station([](Station& s) {
    s.alert_operator("Set Config Error!");
    return 0;
  });
  ASSERT_TRUE(pump_until([&] { return !shown.isEmpty(); }));
  EXPECT_EQ(shown, QStringList{"Set Config Error!"});
  // Not in the memo as well.
  EXPECT_EQ(rs.on_station([](Station& s) { return s.operator_log().last_line(); }), "");
}

TEST(MainWindow, AlertsGoToTheLogOnceTheWindowIsGone) {
  test::qt_app();
  RunningStation rs;
  {
    MainWindow w(rs.station(), {.tray = WindowOptions::Tray::off});
    rs.on_station([](Station&) { return 0; });  // notifier installed
  }
  rs.on_station([](Station& s) {
    s.alert_operator("Set Config Error!");
    return 0;
  });
  EXPECT_EQ(rs.on_station([](Station& s) { return s.operator_log().last_line(); }), "Set Config Error!");
}

TEST(MainWindow, ClosingPutsTheWindowAwayAndTheProgramGoesOn) {
  test::qt_app();
  RunningStation rs;
  {
    MainWindow w(rs.station(), {.tray = WindowOptions::Tray::on});
    w.show();
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isHidden());
    w.restore_window();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
  }
  {
    MainWindow w(rs.station(), {.tray = WindowOptions::Tray::off});
    w.show();
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isMinimized());
    EXPECT_FALSE(w.isHidden());
  }
  // The station still answers.
  EXPECT_EQ(rs.on_station([](Station& s) { return s.data_mode(); }), DataMode::stopped);
}

TEST(MainWindow, ExitEndsTheWindowLoopThoughCloseIsRefused) {
  auto& app = test::qt_app();
  RunningStation rs;
  MainWindow w(rs.station(), {.tray = WindowOptions::Tray::on});
  w.show();
  QTimer::singleShot(0, &w, [&] { child<QToolButton>(w, "ToolButton3")->click(); });
  QTimer::singleShot(5000, &app, [] { QApplication::exit(7); });  // a refused exit fails instead of hanging
  EXPECT_EQ(app.exec(), 0);
}

TEST(MainWindow, StartsInTheTrayUnlessAskedToShow) {
  test::qt_app();
  RunningStation rs;
  MainWindow tray(rs.station(), {.tray = WindowOptions::Tray::on});
  tray.start(false);
  EXPECT_TRUE(tray.isHidden());
  MainWindow minimised(rs.station(), {.tray = WindowOptions::Tray::off});
  minimised.start(false);
  EXPECT_TRUE(minimised.isMinimized());
  MainWindow shown(rs.station(), {.tray = WindowOptions::Tray::on});
  shown.start(true);
  EXPECT_TRUE(shown.isVisible());
  EXPECT_FALSE(shown.isMinimized());
}

TEST(ChannelPanelState, ColourFollowsSensorEnabledAndLevel) {
  PanelSnapshot p;
  EXPECT_EQ(panel_state(p), PanelState::no_sensor);
  p.has_sensor = true;
  EXPECT_EQ(panel_state(p), PanelState::disabled);
  p.enabled = true;
  const std::pair<int, PanelState> analog[] = {{0, PanelState::idle},   {1, PanelState::normal},
                                               {2, PanelState::alarm1}, {3, PanelState::alarm2},
                                               {4, PanelState::alarm3}, {9, PanelState::alarm3}};
  for (auto [tag, state] : analog) {
    p.event_state = tag;
    EXPECT_EQ(panel_state(p), state) << tag;
  }
  p.event_state = 2;
  EXPECT_EQ(panel_state_text(panel_state(p), p), "above T1");
  p.digital = true;
  p.event_state = 0;
  EXPECT_EQ(panel_state(p), PanelState::normal);
  p.event_state = 1;
  EXPECT_EQ(panel_state(p), PanelState::alarm1);
  EXPECT_EQ(panel_state_text(panel_state(p), p), "on");
}

}  // namespace
}  // namespace orvane::ui
