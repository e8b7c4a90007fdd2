// Operator-log lines to a descriptor (stdout when headless): the lines that
// come within a few milliseconds of each other (so every line of one turn of
// the event loop) go out in one write, and a reader that stalls or goes away
// never blocks or ends the station. Lines that don't fit the
// bounded buffer are dropped from this output, counted, and reported by one
// line once output flows again.
#pragma once
#include "core/limits.hpp"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

class LineOutput {
 public:
  // `fd` stays open and keeps its own flags: writes go through a separate
  // non-blocking handle of the same file where one can be opened.
  LineOutput(asio::io_context& ioc, int fd, std::size_t max_buffered = limits::kStdoutBufferBytes);
  ~LineOutput();  // writes what the descriptor takes now, without waiting
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;

  // Station thread. The line (without its newline) is written at most
  // kBatchWindow later, with every other line added meanwhile: a busy
  // station writes a few times per window, not once per turn of its loop.
  void add(std::string_view line);
  static constexpr std::chrono::milliseconds kBatchWindow{5};

  // Lines dropped and not yet reported.
  std::uint64_t dropped() const { return dropped_; }
  // Writes made so far (each carries every line pending at that moment).
  std::uint64_t writes() const { return writes_; }
  // Bytes waiting for the descriptor.
  std::size_t buffered() const { return buffer_.size() - sent_; }

  // The text reporting `n` lines that didn't reach the output.
  static std::string dropped_notice(std::uint64_t n);

 private:
  bool append(std::string_view line);
  // Puts the dropped-lines notice if it and `then` more bytes fit.
  bool put_dropped_notice(std::size_t then);
  void put(std::string_view line);
  void schedule_flush();
  void flush();
  // Writes as much as the descriptor takes now; false when it is full.
  bool write_now();
  void wait_writable();

  asio::io_context& ioc_;
  int fd_;  // where the bytes go
  bool own_fd_ = false;  // fd_ is our non-blocking reopening of the caller's descriptor
  bool is_socket_ = false;
  int restore_flags_ = -1;  // the caller's flags, when O_NONBLOCK had to be set on its descriptor
  std::size_t max_buffered_;
  std::string buffer_;
  std::size_t sent_ = 0;  // bytes of buffer_ already written
  asio::steady_timer flush_timer_;
  bool flush_due_ = false;  // the timer runs for what is buffered
  bool waiting_ = false;  // for the descriptor to take bytes again
  bool broken_ = false;  // the reader is gone for good (EPIPE and the like)
  std::uint64_t dropped_ = 0;
  std::uint64_t writes_ = 0;
  std::optional<asio::posix::stream_descriptor> watch_;  // a duplicate of fd_, watched for writability
};

}  // namespace orvane
