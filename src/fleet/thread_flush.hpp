// The flush of one station thread's event appends: whatever its stations
// appended since the last flush is made durable by one syncfs() per file
// system, at most every kMinGap, and each station is told afterwards. So
// ten thousand stations crossing thresholds cost a few flushes a second,
// not ten thousand. The flush itself runs on a worker of its own: the
// station thread never waits on the disk.
#pragma once
#include "station/event_flush.hpp"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace orvane::fleet {

class ThreadFlush final : public EventFlushGroup {
 public:
  static constexpr std::chrono::milliseconds kMinGap{20};
  // Stations told of a flush in one turn of the thread: thousands of them
  // writing their day logs at once would hold its timers and hosts back.
  static constexpr std::size_t kTellBatch = 64;

  explicit ThreadFlush(asio::io_context& ioc);
  ~ThreadFlush() override;  // flush_now() first
  ThreadFlush(const ThreadFlush&) = delete;
  ThreadFlush& operator=(const ThreadFlush&) = delete;

  // Station thread.
  void after_flush(const std::filesystem::path& file, std::function<void(bool flushed)> done) override;
  void after_file_flush(const std::filesystem::path& file, std::function<void(bool flushed)> done) override;
  // The end: waits for the flush under way and flushes what waits, on the
  // calling (station) thread, telling every station.
  void flush_now();

  std::uint64_t flushes() const { return flushes_; }
  std::uint64_t appends() const { return appends_; }
  // From asking for a flush to telling its stations, the longest so far.
  std::chrono::steady_clock::duration longest() const { return longest_; }

 private:
  struct Waiting {
    dev_t dev;
    std::function<void(bool)> done;
  };
  void wait_for_flush(const std::filesystem::path& file, std::function<void(bool)> done);
  void schedule();
  void start_flush();
  void finish(std::map<dev_t, bool> flushed);  // station thread
  void tell(std::size_t at_most);  // station thread
  std::map<dev_t, bool> sync(const std::vector<std::pair<dev_t, int>>& folders) const;
  void work();

  asio::io_context& ioc_;
  asio::steady_timer timer_;
  bool scheduled_ = false;
  bool in_flight_ = false;
  std::chrono::steady_clock::time_point last_{};
  std::vector<Waiting> waiting_;  // appended since the flush under way began
  std::vector<Waiting> flushing_;  // covered by the flush under way
  std::deque<std::pair<Waiting, bool>> telling_;  // flushed (or not), in order, yet to be told
  bool telling_posted_ = false;
  std::map<dev_t, int> folders_;  // a descriptor on each file system, for syncfs
  std::uint64_t flushes_ = 0;
  std::uint64_t appends_ = 0;
  std::chrono::steady_clock::duration longest_{};

  // The worker and what it is handed.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::vector<std::pair<dev_t, int>>> request_;
  std::optional<std::map<dev_t, bool>> result_;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace orvane::fleet
