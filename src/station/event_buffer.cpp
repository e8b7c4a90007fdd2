#include "station/event_buffer.hpp"

#include "core/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace orvane {
namespace {

[[noreturn]] void throw_errno(int err, const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(err, std::generic_category(), what + " " + path.string());
}

// Opened without blocking and read only when it is a regular file: a FIFO
// in its place must not hold the start-up, and the error says what is wrong.
std::string read_whole(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw_errno(errno, "Cannot open file", path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw_errno(errno, "Cannot read file", path);
  if (S_ISDIR(st.st_mode)) throw_errno(EISDIR, "Cannot read file", path);
  if (!S_ISREG(st.st_mode)) throw std::runtime_error("Cannot read file " + path.string() + ": not a regular file");
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) bytes.resize(bytes.size() * 2 + 4096);
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_errno(errno, "Cannot read file", path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

FileIdentity identity_of_fd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

// "<dev> <ino> <offset>": where the undelivered lines of which file start.
BufferPosition read_head(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string dev, ino, offset;
  if (!(in >> dev >> ino >> offset)) return {};
  BufferPosition pos{{true, 0, 0}, 0};
  auto number = [](const std::string& text, auto& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
  };
  if (!number(dev, pos.file.dev) || !number(ino, pos.file.ino) || !number(offset, pos.offset)) return {};
  return pos;
}

void write_all_at(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(errno, "Cannot write file", path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Copies bytes [from, to) of `src` to the end of `dst`.
void copy_range(int src, int dst, std::uint64_t from, std::uint64_t to, const std::filesystem::path& path) {
  std::vector<char> chunk(1 << 20);
  while (from < to) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), to - from));
    const ssize_t n = ::pread(src, chunk.data(), want, static_cast<off_t>(from));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw_errno(n < 0 ? errno : EIO, "Cannot read file", path);
    write_all_at(dst, {chunk.data(), static_cast<std::size_t>(n)}, path);
    from += static_cast<std::uint64_t>(n);
  }
}

}  // namespace

FileIdentity identity_of(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

EventBuffer::EventBuffer(DataSync data_sync) : data_sync_(std::move(data_sync)) {}

int EventBuffer::data_sync(int fd) const { return data_sync_ ? data_sync_(fd) : ::fdatasync(fd); }

std::filesystem::path EventBuffer::head_file() const {
  std::lock_guard lock(mutex_);
  return file_.parent_path() / (file_.stem().string() + ".Head");
}

EventBuffer::LoadResult EventBuffer::load(const std::filesystem::path& file) {
  use_file(file);
  std::lock_guard lock(mutex_);
  LoadResult result;
  lines_.clear();
  head_ = live_bytes_ = 0;
  const auto head_path = file.parent_path() / (file.stem().string() + ".Head");
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    std::filesystem::remove(head_path, ec);
    return result;
  }
  const std::string bytes = read_whole(file);
  // A head of another file (replaced since, by a compaction cut short or by
  // hand) or one that does not fall on a line start says nothing here.
  const BufferPosition head = read_head(head_path);
  std::size_t start = 0;
  if (head.file == identity_of(file) && head.offset <= bytes.size() &&
      (head.offset == 0 || bytes[static_cast<std::size_t>(head.offset) - 1] == '\n'))
    start = static_cast<std::size_t>(head.offset);
  else if (std::filesystem::exists(head_path, ec))
    std::filesystem::remove(head_path, ec);  // a later file could be given its inode
  head_ = start;
  while (start < bytes.size()) {
    const auto end = bytes.find('\n', start);
    if (end == std::string::npos) {
      lines_.push_back({bytes.substr(start), static_cast<std::uint32_t>(bytes.size() - start + 2)});
      result.torn_last_line = true;
      break;
    }
    std::size_t stop = end;
    if (stop > start && bytes[stop - 1] == '\r') --stop;
    lines_.push_back({bytes.substr(start, stop - start), static_cast<std::uint32_t>(end + 1 - start)});
    start = end + 1;
  }
  for (const auto& l : lines_) live_bytes_ += l.bytes;
  // Later adds append: the torn line must end first, or the next event would
  // be glued to it. Appending keeps the file (and the head's hold on it).
  if (result.torn_last_line) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) throw_errno(errno, "Cannot open file", file);
    const bool ok = ::write(fd, "\r\n", 2) == 2 && data_sync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok) throw_errno(err, "Cannot write file", file);
  }
  return result;
}

void EventBuffer::use_file(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  file_ = file;
  dir_synced_ = false;
}

namespace {

// The lines as they go on disk; a line holding a CR or LF is refused.
std::string event_bytes(const std::vector<std::string>& lines) {
  std::string bytes;
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  bytes.reserve(size);
  for (const auto& line : lines) {
    if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }))
      throw std::invalid_argument("event line holds a line break");
    bytes += line;
    bytes += "\r\n";
  }
  return bytes;
}

}  // namespace

int EventBuffer::open_to_append(off_t& size) const {
  if (file_.empty()) throw std::logic_error("event buffer has no file");
  const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw_errno(errno, "Cannot open file", file_);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw_errno(err, "Cannot read file", file_);
  }
  size = st.st_size;
  return fd;
}

std::size_t EventBuffer::add_all(const std::vector<std::string>& lines) {
  const std::string bytes = event_bytes(lines);
  std::lock_guard lock(mutex_);
  if (!unflushed_.empty() || cut_waiting_ > 0) throw std::logic_error("event buffer: lines wait for their flush");
  if (lines.empty()) {
    if (file_.empty()) throw std::logic_error("event buffer has no file");
    return lines_.size();
  }
  off_t before = 0;
  const int fd = open_to_append(before);
  int err = 0;
  try {
    write_all_at(fd, bytes, file_);
  } catch (const std::system_error& e) {
    err = e.code().value();
  }
  if (err == 0 && data_sync(fd) != 0) err = errno;
  if (err != 0) {
    // Half a line would glue itself to the next event, and lines whose flush
    // failed don't count: cut them all off.
    if (::ftruncate(fd, before) == 0) data_sync(fd);
    ::close(fd);
    throw_errno(err, "Cannot write file", file_);
  }
  ::close(fd);
  if (before == 0 && !dir_synced_) {
    sync_dir(file_);
    dir_synced_ = true;
  }
  for (const auto& line : lines) {
    lines_.push_back({line, static_cast<std::uint32_t>(line.size() + 2)});
    live_bytes_ += line.size() + 2;
  }
  return lines_.size();
}

void EventBuffer::append_unflushed(const std::vector<std::string>& lines) {
  const std::string bytes = event_bytes(lines);
  std::lock_guard lock(mutex_);
  off_t before = 0;
  const int fd = open_to_append(before);
  try {
    write_all_at(fd, bytes, file_);
  } catch (const std::system_error& e) {
    if (::ftruncate(fd, before) == 0) data_sync(fd);
    ::close(fd);
    throw;
  }
  ::close(fd);
  unflushed_.push_back({lines, static_cast<std::uint64_t>(before)});
}

std::optional<std::size_t> EventBuffer::commit_appended(bool flushed) {
  std::lock_guard lock(mutex_);
  // Appends cut off with an earlier one come before any made since.
  if (cut_waiting_ > 0) {
    --cut_waiting_;
    return std::nullopt;
  }
  if (unflushed_.empty()) return lines_.size();
  Unflushed u = std::move(unflushed_.front());
  unflushed_.pop_front();
  if (!flushed) {
    // As add_all after a failed flush: none of them counts, none is kept,
    // and neither are the appends after them, written past them.
    cut_waiting_ += unflushed_.size();
    unflushed_.clear();
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CLOEXEC);
    const bool cut = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(u.before)) == 0 && data_sync(fd) == 0;
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (!cut) throw_errno(err, "Cannot write file", file_);
    return std::nullopt;
  }
  if (u.before == 0 && !dir_synced_) {
    sync_dir(file_);
    dir_synced_ = true;
  }
  for (auto& line : u.lines) {
    const auto bytes = static_cast<std::uint32_t>(line.size() + 2);
    live_bytes_ += bytes;
    lines_.push_back({std::move(line), bytes});
  }
  return lines_.size();
}

bool EventBuffer::has_unflushed() const {
  std::lock_guard lock(mutex_);
  return !unflushed_.empty() || cut_waiting_ > 0;
}

std::vector<std::string> EventBuffer::head(std::size_t count) const {
  std::lock_guard lock(mutex_);
  count = std::min(count, lines_.size());
  std::vector<std::string> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(lines_[i].text);
  return out;
}

BufferPosition EventBuffer::position() const {
  std::lock_guard lock(mutex_);
  return {identity_of(file_), head_};
}

void EventBuffer::write_head(const FileIdentity& file, std::uint64_t offset) {
  const auto path = head_file();
  write_file_atomic(path,
                    std::to_string(file.dev) + " " + std::to_string(file.ino) + " " + std::to_string(offset) + "\r\n");
  sync_dir(path);
}

void EventBuffer::remove_front(std::size_t count) {
  std::uint64_t offset = 0;
  FileIdentity file;
  {
    std::lock_guard lock(mutex_);
    count = std::min(count, lines_.size());
    if (count == 0) return;
    offset = head_;
    for (std::size_t i = 0; i < count; ++i) offset += lines_[i].bytes;
    file = identity_of(file_);
  }
  // Only this thread removes or compacts, so the head stays where it was
  // while the new one is written; adds go on meanwhile.
  write_head(file, offset);
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < count; ++i) {
    live_bytes_ -= lines_.front().bytes;
    lines_.pop_front();
  }
  head_ = offset;
}

bool EventBuffer::compact(bool force, const BeforeReplace& before_replace) {
  std::unique_lock lock(mutex_);
  // Lines written but not yet counted sit past the copied range: leave the
  // file as it is until they are.
  if (file_.empty() || head_ == 0 || !unflushed_.empty()) return false;
  if (!force && !lines_.empty() && !(head_ >= live_bytes_ && head_ >= kCompactAtLeast)) return false;
  const auto path = file_;
  const std::uint64_t from = head_;
  std::uint64_t copied = head_ + live_bytes_;
  lock.unlock();

  auto tmp = path;
  tmp += ".compact";
  const int src = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) throw_errno(errno, "Cannot open file", path);
  const int dst = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (dst < 0) {
    const int err = errno;
    ::close(src);
    throw_errno(err, "Cannot create file", tmp);
  }
  take_mode_of(path, dst);  // the buffer keeps the mode an operator gave it
  auto fail = [&](int err) { throw_errno(err ? err : EIO, "Cannot write file", tmp); };
  FileIdentity next;
  try {
    // The bulk is copied and flushed while adds go on; only what they
    // appended meanwhile is copied under the lock.
    copy_range(src, dst, from, copied, path);
    if (data_sync(dst) != 0) fail(errno);
    lock.lock();
    if (!unflushed_.empty()) {
      ::close(src);
      ::close(dst);
      ::unlink(tmp.c_str());
      return false;
    }
    const std::uint64_t end = head_ + live_bytes_;
    if (end > copied) {
      copy_range(src, dst, copied, end, path);
      if (data_sync(dst) != 0) fail(errno);
    }
    next = identity_of_fd(dst);
    if (!next.valid) fail(errno);
    if (before_replace) before_replace({identity_of_fd(src), head_}, {next, 0});
    if (::rename(tmp.c_str(), path.c_str()) != 0) fail(errno);
  } catch (...) {
    ::close(src);
    ::close(dst);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(src);
  ::close(dst);
  sync_dir(path);
  head_ = 0;
  lock.unlock();
  // The old head names a file that is gone, so it reads as offset 0 already;
  // replacing it keeps a later file that gets the old inode from matching.
  try {
    write_head(next, 0);
  } catch (const std::system_error&) {}
  return true;
}

std::vector<std::string> EventBuffer::lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(lines_.size());
  for (const auto& l : lines_) out.push_back(l.text);
  return out;
}

std::size_t EventBuffer::size() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::filesystem::path EventBuffer::file() const {
  std::lock_guard lock(mutex_);
  return file_;
}

}  // namespace orvane
