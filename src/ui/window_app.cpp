#include "ui/window_app.hpp"

#include "ui/app_icon.hpp"
#include "ui/main_window.hpp"

#include <QApplication>
#include <QMetaObject>

namespace orvane::ui {

int run_window(int argc, char** argv, Station& station, OperatorLog& /*log*/, bool show,
               std::function<void()>& quit) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("ORVANE EMULATOR");
  QApplication::setApplicationVersion(ORVANE_VERSION);
  QApplication::setWindowIcon(app_icon());
  // Closing the window puts it in the tray; only Exit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  Tf_main window(station);
  quit = [] { QMetaObject::invokeMethod(qApp, [] { QApplication::quit(); }, Qt::QueuedConnection); };
  window.start(show);
  const int rc = QApplication::exec();
  quit = nullptr;
  return rc;
}

}  // namespace orvane::ui
