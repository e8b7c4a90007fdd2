#include "ui/screenshots.hpp"

#include "ui/about_box.hpp"
#include "ui/event_log_viewer.hpp"
#include "ui/main_window.hpp"
#include "ui/setup_dialog.hpp"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

namespace orvane::ui {

namespace {

void save(QWidget& w, const QString& dir, const char* name) {
  QApplication::processEvents();
  const QString path = QDir(dir).filePath(name);
  if (w.grab().save(path)) {
    std::fprintf(stderr, "screenshot: %s\n", qPrintable(path));
  } else {
    std::fprintf(stderr, "screenshot: cannot write %s\n", qPrintable(path));
  }
}

void shoot(MainWindow& window, const QString& dir) {
  QDir().mkpath(dir);
  save(window, dir, "main.png");

  SetupDialog setup(
      window.station_dir().toStdString(), &window, [](const SetupFiles&) {}, [](QWidget*, const QString&) {});
  setup.show();
  save(setup, dir, "setup.png");
  setup.hide();

  const auto logs = QDir(window.station_dir() + "/log").entryInfoList({"*.log"}, QDir::Files, QDir::Time);
  if (!logs.isEmpty()) {
    EventLogViewer viewer(logs.front().absoluteFilePath(), &window);
    viewer.show();
    QElapsedTimer t;
    t.start();
    while (viewer.model()->loading() && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    save(viewer, dir, "eventlog.png");
    viewer.hide();
  }

  AboutBox about(&window);
  about.show();
  save(about, dir, "about.png");
  about.hide();
}

}  // namespace

void schedule_screenshots(MainWindow& window, const QString& dir, int delay_ms) {
  QTimer::singleShot(delay_ms, &window, [&window, dir] {
    shoot(window, dir);
    QApplication::exit(0);
  });
}

}  // namespace orvane::ui
