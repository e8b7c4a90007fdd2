#include "station/settings.hpp"
#include "ui/about_box.hpp"
#include "ui/event_log_viewer.hpp"
#include "ui/setup_dialog.hpp"
#include "ui_fixture.hpp"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace orvane::ui {
namespace {

using test::pump_until;
using test::read_text;
using test::TempDir;
using test::write_text;

struct SetupUnderTest {
  explicit SetupUnderTest(const TempDir& dir)
      : dialog(dir.path(), nullptr, {}, [this](QWidget*, const QString& text) { notices << text; }) {}
  template <class T>
  T* get(const char* name) {
    auto* c = dialog.findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
  }
  void add(const QString& port, int channel, const QString& address = "1") {
    get<QLineEdit>("ed_portname")->setText(port);
    get<QComboBox>("cmb_channel")->setCurrentIndex(channel);
    get<QLineEdit>("ed_address")->setText(address);
    get<QPushButton>("ed_add")->click();
  }
  QTreeWidget* list() { return get<QTreeWidget>("ListView1"); }

  QStringList notices;
  SetupDialog dialog;
};

TEST(SetupDialog, AddTickSaveWritesTheExactFiles) {
  test::qt_app();
  TempDir dir;
  write_text(dir / "emulate.ini", "[Config]\r\nFactoryID=F2\r\n");
  SetupUnderTest s(dir);
  EXPECT_EQ(s.dialog.windowTitle(), "Setup");
  EXPECT_EQ(s.dialog.minimumSize(), s.dialog.maximumSize());
  EXPECT_EQ(s.list()->columnCount(), 6);
  EXPECT_EQ(s.get<QComboBox>("cmb_channel")->count(), 8);
  EXPECT_EQ(s.get<QComboBox>("cmb_comport")->count(), 6);
  // No READ/Port: COM port 3.
  EXPECT_EQ(s.get<QComboBox>("cmb_comport")->currentText(), "3");

  s.add("T01", 3, " 1 ");
  ASSERT_EQ(s.list()->topLevelItemCount(), 1);
  auto* row = s.list()->topLevelItem(0);
  EXPECT_EQ(row->text(1), "Analog");
  EXPECT_EQ(row->text(2), "Input");
  EXPECT_EQ(row->checkState(0), Qt::Unchecked);
  EXPECT_TRUE(s.get<QLineEdit>("ed_portname")->text().isEmpty());
  EXPECT_EQ(s.get<QComboBox>("cmb_channel")->currentText(), "0");
  row->setCheckState(0, Qt::Checked);
  s.add("T02", 7);
  s.get<QComboBox>("cmb_comport")->setCurrentIndex(4);
  s.get<QPushButton>("bt_save")->click();

  EXPECT_EQ(read_text(dir / "channel.con"), "T01,A,I,1,1,3,Y\r\nT02,A,I,1,1,7,N\r\n");
  EXPECT_EQ(read_text(dir / "module.con"), "1,4017,A,1,Y\r\n");
  const auto ini = load_profile(dir / "emulate.ini");
  EXPECT_EQ(ini.get_string("READ", "Port", ""), "5");
  EXPECT_EQ(ini.get_string("Config", "FactoryID", ""), "F2");

  // Reopened, the dialog shows what was saved.
  SetupUnderTest again(dir);
  ASSERT_EQ(again.list()->topLevelItemCount(), 2);
  EXPECT_EQ(again.list()->topLevelItem(0)->checkState(0), Qt::Checked);
  EXPECT_EQ(again.list()->topLevelItem(1)->text(5), "7");
  EXPECT_EQ(again.get<QLineEdit>("ed_address")->text(), "1");
  EXPECT_EQ(again.get<QComboBox>("cmb_comport")->currentText(), "5");
}

TEST(SetupDialog, AddNeedsAPortIdAndAChannel) {
  test::qt_app();
  TempDir dir;
  SetupUnderTest s(dir);
  // Nothing is chosen in the channel list when the dialog opens.
  EXPECT_EQ(s.get<QComboBox>("cmb_channel")->currentIndex(), -1);
  s.get<QLineEdit>("ed_portname")->setText("T01");
  s.get<QPushButton>("ed_add")->click();
  EXPECT_EQ(s.list()->topLevelItemCount(), 0);
  s.add("   ", 2);
  EXPECT_EQ(s.list()->topLevelItemCount(), 0);
  s.add("T01", 2);
  EXPECT_EQ(s.list()->topLevelItemCount(), 1);
}

TEST(SetupDialog, RemoveAndSaveAnEmptyList) {
  test::qt_app();
  TempDir dir;
  write_text(dir / "channel.con", "A1,D,O,2,3,4,Y\r\nbad line\r\nA2,A,I,1,1,0,N\r\n");
  write_text(dir / "module.con", "1,4017,A,7,Y\r\n");
  write_text(dir / "emulate.ini", "[READ]\r\nPort=9\r\n");
  SetupUnderTest s(dir);
  ASSERT_EQ(s.list()->topLevelItemCount(), 2);  // the bad line is left out
  EXPECT_EQ(s.list()->topLevelItem(0)->text(1), "Digital");
  EXPECT_EQ(s.list()->topLevelItem(0)->text(2), "Output");
  EXPECT_EQ(s.get<QLineEdit>("ed_address")->text(), "7");
  s.get<QPushButton>("ed_remove")->click();  // nothing selected
  EXPECT_EQ(s.list()->topLevelItemCount(), 2);
  while (s.list()->topLevelItemCount() > 0) {
    s.list()->setCurrentItem(s.list()->topLevelItem(0));
    s.get<QPushButton>("ed_remove")->click();
  }
  s.get<QPushButton>("bt_save")->click();
  EXPECT_EQ(read_text(dir / "channel.con"), "");
  EXPECT_EQ(read_text(dir / "module.con"), "1,4017,A,7,Y\r\n");
  // A port the list doesn't offer is kept, not turned into 0.
  EXPECT_EQ(read_text(dir / "emulate.ini"), "[READ]\r\nPort=9\r\n");
}

TEST(SetupDialog, EveryCloseAsksForARestart) {
  test::qt_app();
  TempDir dir;
  SetupUnderTest s(dir);
  s.dialog.show();
  s.get<QPushButton>("bt_close")->click();
  EXPECT_EQ(s.notices, QStringList{"Please Restart Application for load new Config!"});
  EXPECT_FALSE(s.dialog.isVisible());
  s.dialog.show();
  s.dialog.reject();  // the close box or Escape
  EXPECT_EQ(s.notices.size(), 2);
  EXPECT_FALSE(std::filesystem::exists(dir / "channel.con"));  // closing saves nothing
}

TEST(EventLogViewer, ShowsTheFileAndRefreshShowsNewLines) {
  test::qt_app();
  TempDir dir;
  write_text(dir / "20240101.log", "F1 S1 T01 1\r\nF1 S1 T02 2\r\nno end");
  EventLogViewer viewer(QString::fromStdString((dir / "20240101.log").string()));
  EXPECT_EQ(viewer.windowTitle(), "Event Log");
  auto* model = viewer.model();
  ASSERT_TRUE(pump_until([&] { return !model->loading(); }));
  ASSERT_EQ(model->rowCount(), 3);
  EXPECT_EQ(model->line(0), "F1 S1 T01 1");
  EXPECT_EQ(model->line(2), "no end");

  write_text(dir / "20240101.log", "F1 S1 T01 1\r\nF1 S1 T02 2\r\nF1 S1 T03 3\r\n" + std::string(20000, 'x') + "\n");
  viewer.findChild<QPushButton*>("bt_refresh")->click();
  ASSERT_TRUE(pump_until([&] { return !model->loading(); }));
  ASSERT_EQ(model->rowCount(), 4);
  EXPECT_EQ(model->line(2), "F1 S1 T03 3");
  EXPECT_EQ(model->line(3).size(), LogFileModel::kMaxLineBytes + 2);  // cut, with a mark
  EXPECT_TRUE(viewer.findChild<QLabel*>("lbl_status")->text().endsWith("4 lines"));
}

TEST(EventLogViewer, ManyLinesAreIndexedInBatches) {
  test::qt_app();
  TempDir dir;
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "F1 S1 T" + std::to_string(i) + " 1234\r\n";
  write_text(dir / "big.log", text);
  EventLogViewer viewer(QString::fromStdString((dir / "big.log").string()));
  ASSERT_TRUE(pump_until([&] { return !viewer.model()->loading(); }));
  EXPECT_EQ(viewer.model()->rowCount(), 100000);
  EXPECT_EQ(viewer.model()->line(99999), "F1 S1 T99999 1234");
  EXPECT_EQ(viewer.model()->line(32768), "F1 S1 T32768 1234");
}

TEST(EventLogViewer, AnUnreadableFileIsReported) {
  test::qt_app();
  TempDir dir;
  QStringList errors;
  EventLogViewer viewer(QString::fromStdString((dir / "missing.log").string()), nullptr,
                        [&](const QString& m) { errors << m; });
  EXPECT_EQ(viewer.model()->rowCount(), 0);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors.front().contains("missing.log"));
}

TEST(AboutBox, ShowsNameVersionAndAgreement) {
  test::qt_app();
  AboutBox about;
  EXPECT_EQ(about.findChild<QLabel*>("lbl_version")->text(), QString("Version ") + ORVANE_VERSION);
  EXPECT_TRUE(about.findChild<QLabel*>("lbl_name")->text().contains("Orvane Emulator"));
  EXPECT_TRUE(QString(end_user_agreement()).startsWith("END-USER AGREEMENT"));
}

}  // namespace
}  // namespace orvane::ui
