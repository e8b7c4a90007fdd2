#include "ui/window_app.hpp"

#include "ui/app_icon.hpp"
#include "ui/main_window.hpp"
#include "ui/screenshots.hpp"

#include <QApplication>
#include <QMetaObject>

namespace orvane::ui {

int run_window(int argc, char** argv, Station& station, OperatorLog& /*log*/, bool show, WindowQuit& quit) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("ORVANE EMULATOR");
  QApplication::setApplicationVersion(ORVANE_VERSION);
  QApplication::setWindowIcon(app_icon());
  // Closing the window puts it in the tray; only Exit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  MainWindow window(station);
  quit.bind([] {
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::exit(0); }, Qt::QueuedConnection);
  });
  const QString shots = qEnvironmentVariable("ORVANE_SCREENSHOTS");
  if (!shots.isEmpty()) {
    window.start(true);
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("ORVANE_SCREENSHOT_DELAY_MS", &ok);
    schedule_screenshots(window, shots, ok ? delay : 2500);
  } else {
    window.start(show);
  }
  const int rc = QApplication::exec();
  quit.bind({});
  return rc;
}

}  // namespace orvane::ui
