// A station's operator log appended to a file in its directory: the lines
// of a few milliseconds go out in one append, and the file is open only
// while they are written, so thousands of stations' logs hold no
// descriptor at rest. The file is bounded: past its size it is moved to
// NAME.1 (the one before is dropped) and begun again.
#pragma once
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace orvane::fleet {

class LogFile {
 public:
  static constexpr std::uint64_t kMaxBytes = 16u << 20;  // then one older file of as much

  LogFile(asio::io_context& ioc, std::filesystem::path file, std::uint64_t max_bytes = kMaxBytes);
  ~LogFile();  // writes what is pending
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Station thread: the line (without its line end) is appended soon.
  void add(std::string_view line);
  void flush() noexcept;

 private:
  asio::steady_timer timer_;
  std::filesystem::path file_;
  std::uint64_t max_bytes_;
  std::string pending_;
  bool due_ = false;
  bool failed_ = false;  // one note on stderr, not one per line
};

}  // namespace orvane::fleet
