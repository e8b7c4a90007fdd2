#include "fleet/thread_flush.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::fleet {

ThreadFlush::ThreadFlush(asio::io_context& ioc) : timer_(ioc) {}

ThreadFlush::~ThreadFlush() {
  for (const auto& [dev, fd] : folders_) ::close(fd);
}

void ThreadFlush::after_flush(const std::filesystem::path& file, std::function<void(bool)> done) {
  struct stat st {};
  dev_t dev = 0;
  if (::stat(file.c_str(), &st) == 0) {
    dev = st.st_dev;
    if (!folders_.count(dev)) {
      const int fd = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd >= 0) folders_.emplace(dev, fd);
    }
  }
  waiting_.push_back({dev, std::move(done)});
  ++appends_;
  if (scheduled_) return;
  scheduled_ = true;
  const auto now = std::chrono::steady_clock::now();
  // Right after the appends of this turn, unless the last flush was just now.
  const auto at = std::max(now, last_ + kMinGap);
  timer_.expires_at(at);
  timer_.async_wait([this](std::error_code ec) {
    if (!ec) flush();
  });
}

void ThreadFlush::flush_now() {
  timer_.cancel();
  flush();
}

void ThreadFlush::flush() {
  scheduled_ = false;
  if (waiting_.empty()) return;
  auto waiting = std::move(waiting_);
  waiting_.clear();
  last_ = std::chrono::steady_clock::now();
  std::map<dev_t, bool> flushed;
  for (const auto& w : waiting) {
    if (flushed.count(w.dev)) continue;
    const auto it = folders_.find(w.dev);
    // A file that could not be looked at can't be flushed: its lines don't count.
    flushed[w.dev] = it != folders_.end() && ::syncfs(it->second) == 0;
    ++flushes_;
  }
  for (auto& w : waiting) w.done(flushed[w.dev]);
}

}  // namespace orvane::fleet
