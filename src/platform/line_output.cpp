#include "platform/line_output.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orvane {
namespace {

// Buffer capacity kept after a batch is out; a bigger one (left by a stall)
// is given back.
constexpr std::size_t kKeepCapacity = 16 << 10;

constexpr std::string_view kNoticeHead = "Emulator : ";
constexpr std::string_view kNoticeTail = " log lines dropped from stdout";

}  // namespace

LineOutput::LineOutput(asio::io_context& ioc, int fd, std::size_t max_buffered)
    : ioc_(ioc), fd_(fd), max_buffered_(max_buffered), flush_timer_(ioc) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    broken_ = true;  // nothing to write to
    return;
  }
  if (S_ISSOCK(st.st_mode)) {
    is_socket_ = true;  // send() takes MSG_DONTWAIT per call
    return;
  }
  if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) return;  // a file: writes don't wait on a reader
  // A pipe or a terminal: a handle of our own, non-blocking, so the
  // descriptor we inherited (and share with the shell or child processes)
  // keeps its blocking mode.
  const auto self = "/proc/self/fd/" + std::to_string(fd);
  const int own = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (own >= 0) {
    fd_ = own;
    own_fd_ = true;
    return;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) restore_flags_ = flags;
}

LineOutput::~LineOutput() {
  if (!broken_ && !waiting_) write_now();
  watch_.reset();
  if (restore_flags_ >= 0) ::fcntl(fd_, F_SETFL, restore_flags_);
  if (own_fd_) ::close(fd_);
}

std::string LineOutput::dropped_notice(std::uint64_t n) {
  return std::string(kNoticeHead).append(std::to_string(n)).append(kNoticeTail);
}

void LineOutput::add(std::string_view line) {
  if (append(line)) schedule_flush();
}

bool LineOutput::append(std::string_view line) {
  const std::size_t need = line.size() + 1;
  if (broken_ || (dropped_ > 0 && !put_dropped_notice(need)) || buffered() + need > max_buffered_) {
    ++dropped_;
    return false;
  }
  put(line);
  return true;
}

bool LineOutput::put_dropped_notice(std::size_t then) {
  // Checked without building the text: while a reader stalls, every line
  // that comes asks this.
  std::size_t digits = 1;
  for (auto n = dropped_; n >= 10; n /= 10) ++digits;
  const std::size_t size = kNoticeHead.size() + digits + kNoticeTail.size();
  if (buffered() + size + 1 + then > max_buffered_) return false;
  put(dropped_notice(dropped_));
  dropped_ = 0;
  return true;
}

void LineOutput::put(std::string_view line) {
  if (sent_ > 0 && sent_ >= buffer_.size() / 2) {
    buffer_.erase(0, sent_);
    sent_ = 0;
  }
  buffer_.append(line).push_back('\n');
}

void LineOutput::schedule_flush() {
  if (flush_due_ || waiting_) return;
  flush_due_ = true;
  flush_timer_.expires_after(kBatchWindow);
  flush_timer_.async_wait([this](std::error_code ec) {
    if (ec) return;  // the output is gone
    flush_due_ = false;
    flush();
  });
}

void LineOutput::flush() {
  if (waiting_ || broken_) return;
  if (!write_now()) {
    wait_writable();
    return;
  }
  // Output flows: tell what it missed, even if nothing else is logged.
  if (dropped_ > 0 && !broken_ && put_dropped_notice(0) && !write_now()) wait_writable();
}

bool LineOutput::write_now() {
  while (sent_ < buffer_.size()) {
    const char* data = buffer_.data() + sent_;
    const std::size_t size = buffer_.size() - sent_;
    const ssize_t n = is_socket_ ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_, data, size);
    if (n > 0) {
      sent_ += static_cast<std::size_t>(n);
      ++writes_;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // The reader is gone (EPIPE), or the output failed (EIO, ENOSPC): what
    // waits is lost to it. Only a reader that went away is final.
    const int error = n < 0 ? errno : EIO;
    dropped_ += static_cast<std::uint64_t>(
        std::count(buffer_.begin() + static_cast<std::ptrdiff_t>(sent_), buffer_.end(), '\n'));
    sent_ = buffer_.size();
    if (error == EPIPE || error == EBADF || error == EINVAL || error == ECONNRESET) broken_ = true;
  }
  buffer_.clear();
  sent_ = 0;
  if (buffer_.capacity() > kKeepCapacity) std::string().swap(buffer_);
  return true;
}

void LineOutput::wait_writable() {
  if (waiting_ || broken_) return;
  if (!watch_) {
    const int watched = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (watched < 0) return;  // tried again at the next line
    std::error_code ec;
    watch_.emplace(ioc_);
    watch_->assign(watched, ec);
    if (ec) {
      ::close(watched);
      watch_.reset();
      return;
    }
  }
  waiting_ = true;
  watch_->async_wait(asio::posix::descriptor_base::wait_write, [this](std::error_code ec) {
    waiting_ = false;
    if (ec == asio::error::operation_aborted) return;
    flush();
  });
}

}  // namespace orvane
