// EventLogViewer: a read-only view of one log file. The file is indexed by line
// on a background thread and its lines are read only as they scroll into
// view, so a file of hundreds of megabytes opens at once and never stalls the
// window.
#pragma once
#include "core/limits.hpp"

#include <QAbstractListModel>
#include <QDialog>
#include <QFile>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QLabel;
class QListView;

namespace orvane::ui {

class LogFileModel : public QAbstractListModel {
  Q_OBJECT

 public:
  // Longer lines are cut here: one huge line must not take the view down.
  static constexpr int kMaxLineBytes = limits::kViewerMaxLineBytes;

  explicit LogFileModel(QObject* parent = nullptr);
  ~LogFileModel() override;

  // Starts (re)loading the file; rows appear as the index grows.
  void open(const QString& path);
  bool loading() const { return loading_; }
  QString line(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 signals:
  void loaded(qint64 lines);
  void failed(const QString& message);

 private:
  void stop_indexer();
  void add_line_ends(unsigned generation, std::vector<std::int64_t> ends, bool last, QString error);

  QFile file_;
  std::vector<std::int64_t> ends_;  // offset just past each line
  unsigned generation_ = 0;
  bool loading_ = false;
  std::shared_ptr<std::atomic<bool>> cancel_;
  std::thread indexer_;
};

class EventLogViewer : public QDialog {
  Q_OBJECT

 public:
  using ErrorHandler = std::function<void(const QString& message)>;

  EventLogViewer(QString path, QWidget* parent = nullptr, ErrorHandler on_error = {});

  const QString& path() const { return path_; }
  LogFileModel* model() const { return model_; }

 public slots:
  void reload();  // Refresh: index the file again

 private:
  void copy_selection() const;

  QString path_;
  ErrorHandler on_error_;
  LogFileModel* model_;
  QListView* lines_view_;
  QLabel* status_;
};

}  // namespace orvane::ui
