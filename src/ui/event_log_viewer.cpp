#include "ui/event_log_viewer.hpp"

#include "core/limits.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>

namespace orvane::ui {

namespace {

// Batches of line ends handed to the window: small enough to show the first
// page at once, large enough not to flood the event queue.
constexpr std::size_t kBatchLines = limits::kViewerBatchLines;
constexpr std::size_t kReadBlock = limits::kViewerReadBlockBytes;

}  // namespace

LogFileModel::LogFileModel(QObject* parent) : QAbstractListModel(parent) {}

LogFileModel::~LogFileModel() { stop_indexer(); }

void LogFileModel::stop_indexer() {
  if (cancel_) cancel_->store(true);
  if (indexer_.joinable()) indexer_.join();
}

void LogFileModel::open(const QString& path) {
  stop_indexer();
  beginResetModel();
  ends_.clear();
  file_.close();
  ++generation_;
  endResetModel();

  file_.setFileName(path);
  if (!file_.open(QIODevice::ReadOnly)) {
    loading_ = false;
    emit failed(QStringLiteral("%1: %2").arg(path, file_.errorString()));
    return;
  }
  loading_ = true;
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  // The thread ends (cancelled or done) before this model goes away, so the
  // batches it queues always have a live receiver.
  indexer_ = std::thread([this, cancel = cancel_, generation = generation_, name = path.toStdString()] {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) {
      const QString error = QString::fromLocal8Bit(std::strerror(errno));
      QMetaObject::invokeMethod(
          this, [this, generation, error] { add_line_ends(generation, {}, true, error); }, Qt::QueuedConnection);
      return;
    }
    std::vector<char> block(kReadBlock);
    std::vector<std::int64_t> batch;
    std::int64_t offset = 0;
    bool open_line = false;  // bytes seen since the last line end
    while (!cancel->load()) {
      const std::size_t n = std::fread(block.data(), 1, block.size(), f);
      if (n == 0) break;
      for (std::size_t i = 0; i < n; ++i) {
        if (block[i] == '\n') batch.push_back(offset + static_cast<std::int64_t>(i) + 1);
      }
      open_line = block[n - 1] != '\n';
      offset += static_cast<std::int64_t>(n);
      if (batch.size() >= kBatchLines) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, b = std::move(batch)]() mutable { add_line_ends(generation, std::move(b), false, {}); },
            Qt::QueuedConnection);
        batch = {};
      }
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (open_line) batch.push_back(offset);  // a last line without its end
    const QString error = failed ? QStringLiteral("read error") : QString();
    QMetaObject::invokeMethod(
        this,
        [this, generation, b = std::move(batch), error]() mutable {
          add_line_ends(generation, std::move(b), true, error);
        },
        Qt::QueuedConnection);
  });
}

void LogFileModel::add_line_ends(unsigned generation, std::vector<std::int64_t> ends, bool last, QString error) {
  if (generation != generation_) return;  // a batch of a load that was replaced
  if (!ends.empty()) {
    const int first = static_cast<int>(ends_.size());
    beginInsertRows({}, first, first + static_cast<int>(ends.size()) - 1);
    ends_.insert(ends_.end(), ends.begin(), ends.end());
    endInsertRows();
  }
  if (!last) return;
  loading_ = false;
  if (indexer_.joinable()) indexer_.join();
  if (!error.isEmpty()) {
    emit failed(QStringLiteral("%1: %2").arg(file_.fileName(), error));
  } else {
    emit loaded(static_cast<qint64>(ends_.size()));
  }
}

int LogFileModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(ends_.size());
}

QString LogFileModel::line(int row) const {
  if (row < 0 || row >= static_cast<int>(ends_.size())) return {};
  const std::int64_t begin = row == 0 ? 0 : ends_[static_cast<std::size_t>(row - 1)];
  const std::int64_t end = ends_[static_cast<std::size_t>(row)];
  const std::int64_t length = end - begin;
  auto& file = const_cast<QFile&>(file_);
  if (!file.seek(begin)) return {};
  QByteArray bytes = file.read(std::min<std::int64_t>(length, kMaxLineBytes));
  const bool cut = length > kMaxLineBytes;
  while (!cut && !bytes.isEmpty() && (bytes.endsWith('\n') || bytes.endsWith('\r'))) bytes.chop(1);
  QString text = QString::fromUtf8(bytes);
  if (cut) text += QStringLiteral(" …");
  return text;
}

QVariant LogFileModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  return line(index.row());
}

EventLogViewer::EventLogViewer(QString path, QWidget* parent, ErrorHandler on_error)
    : QDialog(parent), path_(std::move(path)), on_error_(std::move(on_error)) {
  setObjectName("Tf_eventlog");
  setWindowTitle("Event Log");
  setAttribute(Qt::WA_DeleteOnClose, false);

  model_ = new LogFileModel(this);
  lines_view_ = new QListView(this);
  lines_view_->setObjectName("memo_log");
  lines_view_->setModel(model_);
  lines_view_->setUniformItemSizes(true);  // what keeps millions of rows cheap
  lines_view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lines_view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lines_view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  lines_view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  lines_view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  auto* copy = new QAction(lines_view_);
  copy->setShortcut(QKeySequence::Copy);
  copy->setShortcutContext(Qt::WidgetShortcut);
  connect(copy, &QAction::triggered, this, &EventLogViewer::copy_selection);
  lines_view_->addAction(copy);

  status_ = new QLabel(this);
  status_->setObjectName("lbl_status");
  auto* refresh = new QPushButton("Refresh", this);
  refresh->setObjectName("bt_refresh");
  auto* close = new QPushButton("Close", this);
  close->setObjectName("bt_close");
  connect(refresh, &QPushButton::clicked, this, &EventLogViewer::reload);
  connect(close, &QPushButton::clicked, this, &QDialog::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(status_, 1);
  buttons->addWidget(refresh);
  buttons->addWidget(close);
  auto* box = new QVBoxLayout(this);
  box->addWidget(lines_view_, 1);
  box->addLayout(buttons);

  connect(model_, &LogFileModel::loaded, this,
          [this](qint64 lines) { status_->setText(QStringLiteral("%1  —  %2 lines").arg(path_).arg(lines)); });
  connect(model_, &LogFileModel::failed, this, [this](const QString& message) {
    status_->setText(QStringLiteral("Error : %1").arg(message));
    if (on_error_) on_error_(message);
  });
  setFixedSize(820, 520);
  reload();
}

void EventLogViewer::reload() {
  status_->setText(QStringLiteral("%1  —  loading…").arg(path_));
  model_->open(path_);
}

void EventLogViewer::copy_selection() const {
  auto rows = lines_view_->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  QStringList lines;
  for (const auto& index : rows) lines << model_->line(index.row());
  QApplication::clipboard()->setText(lines.join('\n'));
}

}  // namespace orvane::ui
