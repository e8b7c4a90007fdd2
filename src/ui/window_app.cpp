#include "ui/window_app.hpp"

#include <QApplication>
#include <QMainWindow>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>

#include <asio/post.hpp>

namespace orvane::ui {

int run_window(int argc, char** argv, Station& station, OperatorLog& log, bool show,
               std::function<void()>& quit) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("ORVANE EMULATOR");
  QMainWindow window;
  window.setObjectName("Tf_main");
  window.setWindowTitle("Emulator");
  auto* memo = new QPlainTextEdit(&window);
  memo->setObjectName("Memo1");
  memo->setReadOnly(true);
  memo->setMaximumBlockCount(201);
  window.setCentralWidget(memo);
  window.resize(640, 480);

  QPointer<QPlainTextEdit> memo_ptr(memo);
  // Observers are added on the station thread, which owns the log.
  asio::post(station.io_context(), [&log, memo_ptr] {
    QStringList earlier;
    for (const auto& line : log.memo()) earlier << QString::fromStdString(line);
    QMetaObject::invokeMethod(
        memo_ptr, [memo_ptr, earlier] {
          if (memo_ptr) memo_ptr->setPlainText(earlier.join('\n'));
        },
        Qt::QueuedConnection);
    log.add_observer([memo_ptr](const std::string& line) {
      QMetaObject::invokeMethod(
          memo_ptr, [memo_ptr, text = QString::fromStdString(line)] {
            if (memo_ptr) memo_ptr->appendPlainText(text);
          },
          Qt::QueuedConnection);
    });
  });
  quit = [] { QMetaObject::invokeMethod(qApp, [] { QApplication::quit(); }, Qt::QueuedConnection); };
  if (show) {
    window.show();
  } else {
    window.showMinimized();
  }
  return app.exec();
}

}  // namespace orvane::ui
