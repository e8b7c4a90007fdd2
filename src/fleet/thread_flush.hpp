// The flush of one station thread's event appends: whatever its stations
// appended since the last flush is made durable by one syncfs() per file
// system, at most every kMinGap, and each station is told afterwards. So
// ten thousand stations crossing thresholds cost a few flushes a second,
// not ten thousand.
#pragma once
#include "station/event_flush.hpp"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

namespace orvane::fleet {

class ThreadFlush final : public EventFlushGroup {
 public:
  static constexpr std::chrono::milliseconds kMinGap{20};

  explicit ThreadFlush(asio::io_context& ioc);
  ~ThreadFlush() override;  // closes its folders; run flush_now() first
  ThreadFlush(const ThreadFlush&) = delete;
  ThreadFlush& operator=(const ThreadFlush&) = delete;

  void after_flush(const std::filesystem::path& file, std::function<void(bool flushed)> done) override;
  // Flushes what waits and tells its stations, now (at the end).
  void flush_now();

  std::uint64_t flushes() const { return flushes_; }
  std::uint64_t appends() const { return appends_; }

 private:
  void flush();

  asio::steady_timer timer_;
  bool scheduled_ = false;
  std::chrono::steady_clock::time_point last_{};
  struct Waiting {
    dev_t dev;
    std::function<void(bool)> done;
  };
  std::vector<Waiting> waiting_;
  std::map<dev_t, int> folders_;  // a descriptor on each file system, for syncfs
  std::uint64_t flushes_ = 0;
  std::uint64_t appends_ = 0;
};

}  // namespace orvane::fleet
