#include "fleet/thread_flush.hpp"

#include <asio/post.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::fleet {

ThreadFlush::ThreadFlush(asio::io_context& ioc) : ioc_(ioc), timer_(ioc), worker_([this] { work(); }) {}

ThreadFlush::~ThreadFlush() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  for (const auto& [dev, fd] : folders_) ::close(fd);
}

void ThreadFlush::after_flush(const std::filesystem::path& file, std::function<void(bool)> done) {
  ++appends_;
  wait_for_flush(file, std::move(done));
}

void ThreadFlush::after_file_flush(const std::filesystem::path& file, std::function<void(bool)> done) {
  wait_for_flush(file, std::move(done));
}

void ThreadFlush::wait_for_flush(const std::filesystem::path& file, std::function<void(bool)> done) {
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
  schedule();
}

void ThreadFlush::schedule() {
  if (scheduled_ || in_flight_ || waiting_.empty()) return;
  scheduled_ = true;
  // Right after the appends of this turn, unless the last flush began just now.
  timer_.expires_at(std::max(std::chrono::steady_clock::now(), last_ + kMinGap));
  timer_.async_wait([this](std::error_code ec) {
    scheduled_ = false;
    if (!ec) start_flush();
  });
}

void ThreadFlush::start_flush() {
  if (in_flight_ || waiting_.empty()) return;
  flushing_ = std::move(waiting_);
  waiting_.clear();
  std::vector<std::pair<dev_t, int>> folders;
  for (const auto& w : flushing_) {
    const auto it = folders_.find(w.dev);
    if (it == folders_.end()) continue;
    bool known = false;
    for (const auto& f : folders) known = known || f.first == w.dev;
    if (!known) folders.emplace_back(*it);
  }
  in_flight_ = true;
  last_ = std::chrono::steady_clock::now();
  flushes_ += folders.size();
  {
    std::lock_guard lock(mutex_);
    request_ = std::move(folders);
  }
  wake_.notify_all();
}

std::map<dev_t, bool> ThreadFlush::sync(const std::vector<std::pair<dev_t, int>>& folders) const {
  std::map<dev_t, bool> flushed;
  for (const auto& [dev, fd] : folders) flushed[dev] = ::syncfs(fd) == 0;
  return flushed;
}

void ThreadFlush::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || request_.has_value(); });
    if (!request_) return;  // stopping, nothing asked
    const auto folders = std::move(*request_);
    request_.reset();
    lock.unlock();
    auto flushed = sync(folders);
    lock.lock();
    result_ = std::move(flushed);
    // The station thread takes it; flush_now() may take it first.
    asio::post(ioc_, [this] {
      std::optional<std::map<dev_t, bool>> r;
      {
        std::lock_guard l(mutex_);
        r = std::move(result_);
        result_.reset();
      }
      if (r) finish(std::move(*r));
    });
    wake_.notify_all();
  }
}

void ThreadFlush::finish(std::map<dev_t, bool> flushed) {
  in_flight_ = false;
  longest_ = std::max(longest_, std::chrono::steady_clock::now() - last_);
  // A file that could not be looked at can't be flushed: its lines don't count.
  for (auto& w : flushing_) {
    const bool ok = flushed.count(w.dev) ? flushed[w.dev] : false;
    telling_.emplace_back(std::move(w), ok);
  }
  flushing_.clear();
  schedule();
  tell(kTellBatch);
}

void ThreadFlush::tell(std::size_t at_most) {
  // Told in the order flushed, a batch per turn; what is left waits behind
  // the work that came meanwhile.
  for (std::size_t n = 0; n < at_most && !telling_.empty(); ++n) {
    auto [w, ok] = std::move(telling_.front());
    telling_.pop_front();
    w.done(ok);
  }
  if (telling_.empty() || telling_posted_) return;
  telling_posted_ = true;
  asio::post(ioc_, [this] {
    telling_posted_ = false;
    tell(kTellBatch);
  });
}

void ThreadFlush::flush_now() {
  timer_.cancel();
  scheduled_ = false;
  if (in_flight_) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return result_.has_value(); });
    auto r = std::move(*result_);
    result_.reset();
    lock.unlock();
    finish(std::move(r));
  }
  tell(telling_.size());
  timer_.cancel();
  scheduled_ = false;
  if (waiting_.empty()) return;
  flushing_ = std::move(waiting_);
  waiting_.clear();
  std::vector<std::pair<dev_t, int>> folders;
  for (const auto& [dev, fd] : folders_) folders.emplace_back(dev, fd);
  flushes_ += folders.size();
  in_flight_ = true;
  last_ = std::chrono::steady_clock::now();
  finish(sync(folders));
  tell(telling_.size());
  timer_.cancel();
  scheduled_ = false;
}

}  // namespace orvane::fleet
