#include "station/event_buffer.hpp"

#include "core/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace orvane {
namespace {

[[noreturn]] void throw_errno(int err, const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(err, std::generic_category(), what + " " + path.string());
}

}  // namespace

EventBuffer::LoadResult EventBuffer::load(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  file_ = file;
  dir_synced_ = false;
  LoadResult result;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return result;
  std::ifstream in(file, std::ios::binary);
  if (!in) throw_errno(errno ? errno : EIO, "Cannot open file", file);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw_errno(EIO, "Cannot read file", file);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const auto end = bytes.find('\n', start);
    if (end == std::string::npos) {
      lines.emplace_back(bytes.substr(start));
      result.torn_last_line = true;
      break;
    }
    std::size_t stop = end;
    if (stop > start && bytes[stop - 1] == '\r') --stop;
    lines.emplace_back(bytes.substr(start, stop - start));
    start = end + 1;
  }
  // Later adds append: the torn line must end first, or the next event would
  // be glued to it.
  if (result.torn_last_line) write_lines_atomic(file, lines);
  lines_ = std::move(lines);
  return result;
}

void EventBuffer::use_file(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  file_ = file;
  dir_synced_ = false;
}

void EventBuffer::append_durably(const std::string& bytes) {
  const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw_errno(errno, "Cannot open file", file_);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw_errno(err, "Cannot read file", file_);
  }
  const off_t before = st.st_size;
  std::string_view rest = bytes;
  int err = 0;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (err == 0 && ::fdatasync(fd) != 0) err = errno;
  if (err != 0) {
    // Half a line would glue itself to the next event: cut it off.
    if (::ftruncate(fd, before) == 0) ::fdatasync(fd);
    ::close(fd);
    throw_errno(err, "Cannot write file", file_);
  }
  ::close(fd);
  if (before == 0 && !dir_synced_) {
    sync_dir(file_);
    dir_synced_ = true;
  }
}

std::size_t EventBuffer::add(const std::string& line) {
  if (line.find_first_of("\r\n") != std::string::npos)
    throw std::invalid_argument("event line holds a line break");
  std::lock_guard lock(mutex_);
  if (file_.empty()) throw std::logic_error("event buffer has no file");
  append_durably(line + "\r\n");
  lines_.push_back(line);
  return lines_.size();
}

void EventBuffer::remove_front(std::size_t count) {
  std::lock_guard lock(mutex_);
  count = std::min(count, lines_.size());
  if (count == 0) return;
  std::string content;
  for (std::size_t i = count; i < lines_.size(); ++i) {
    content += lines_[i];
    content += "\r\n";
  }
  write_file_atomic(file_, content);
  sync_dir(file_);
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
}

std::vector<std::string> EventBuffer::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
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
