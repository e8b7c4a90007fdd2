#include "ui_fixture.hpp"

#include <QThread>

// Qt's font and D-Bus libraries keep caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\nleak:libdbus\n"; }

namespace orvane::test {

QApplication& qt_app() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: Qt's own statics go first at exit.
  static QApplication* app = new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  return *app;
}

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

}  // namespace orvane::test
