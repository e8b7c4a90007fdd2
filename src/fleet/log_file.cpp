#include "fleet/log_file.hpp"

#include "core/limits.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvane::fleet {

namespace {
constexpr auto kBatchWindow = std::chrono::milliseconds(5);
// What one station may have waiting for its file; lines past it are dropped.
constexpr std::size_t kMaxPending = 1u << 20;
}  // namespace

LogFile::LogFile(asio::io_context& ioc, std::filesystem::path file, std::uint64_t max_bytes)
    : timer_(ioc), file_(std::move(file)), max_bytes_(max_bytes) {}

LogFile::~LogFile() { flush(); }

void LogFile::add(std::string_view line) {
  if (pending_.size() + line.size() + 2 > kMaxPending) return;
  pending_.append(line);
  pending_ += "\r\n";
  if (due_) return;
  due_ = true;
  timer_.expires_after(kBatchWindow);
  timer_.async_wait([this](std::error_code ec) {
    if (ec) return;
    flush();
  });
}

void LogFile::flush() noexcept {
  due_ = false;
  if (pending_.empty()) return;
  struct stat st {};
  if (::stat(file_.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) + pending_.size() > max_bytes_) {
    const auto older = file_.string() + ".1";
    (void)::rename(file_.c_str(), older.c_str());
  }
  const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
  bool ok = fd >= 0;
  if (ok) {
    std::size_t off = 0;
    while (off < pending_.size()) {
      const ssize_t n = ::write(fd, pending_.data() + off, pending_.size() - off);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      off += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  if (!ok && !failed_) {
    std::fprintf(stderr, "orvane-fleet: cannot write %s: %s\n", file_.c_str(), std::strerror(errno));
    failed_ = true;
  } else if (ok) {
    failed_ = false;
  }
  pending_.clear();
  if (pending_.capacity() > 4096) pending_.shrink_to_fit();
}

}  // namespace orvane::fleet
