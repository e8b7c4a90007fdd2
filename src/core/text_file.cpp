#include "core/text_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <system_error>
#include <utility>

namespace orvane {
namespace {

[[noreturn]] void throw_errno(const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

void write_all(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("Cannot write", path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// A number for a temporary file's name, from the kernel's random source:
// two writers of one file (two stations, two threads) never share a state
// that could give both the same name.
std::uint64_t temporary_name_number() {
  std::uint64_t n = 0;
  if (::getrandom(&n, sizeof n, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof n))
    n = static_cast<std::uint64_t>(::getpid()) * 1000003u ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return n % 1000000;
}

}  // namespace

std::vector<std::string> read_lines(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errno = errno ? errno : ENOENT;
    throw_errno("Cannot open file", path);
  }
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    line.clear();
  }
  if (in.bad()) throw_errno("Cannot read file", path);
  return lines;
}

std::vector<std::string> read_lines_if_exists(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return {};
  try {
    return read_lines(path);
  } catch (const std::system_error&) {
    return {};
  }
}

std::optional<std::string> read_regular_file(const std::filesystem::path& path, std::size_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > max_bytes)
    return std::nullopt;
  // The file may grow while it is read: one byte beyond the bound tells.
  std::string content(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == content.size()) {
      if (content.size() > max_bytes) return std::nullopt;
      content.resize(std::min(max_bytes + 1, content.size() * 2 + 4096));
    }
    const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > max_bytes) return std::nullopt;
  content.resize(got);
  return content;
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    auto line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string join_crlf(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const auto& l : lines) size += l.size() + 2;
  std::string out;
  out.reserve(size);
  for (const auto& l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

bool take_mode_of(const std::filesystem::path& path, int fd) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Owner first: a change of owner may clear the mode's set-id bits.
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
  (void)::fchmod(fd, st.st_mode & 07777);
  return true;
}

namespace {
// A new file of its own beside `path`, holding `content`, flushed or on its
// way to the disk:
// another writer's temporary file of the same name is never written into.
// It has the mode of the file it is to replace, so a file kept private
// (emulate.ini with its password) stays so.
std::filesystem::path write_temporary(const std::filesystem::path& path, std::string_view content, bool flush,
                                      NewFile created, dev_t* device = nullptr) {
  std::filesystem::path tmp;
  int fd = -1;
  // A replacement is made private first and given the old file's mode
  // before anything is written: a file kept private is never readable to
  // others, not even for a moment.
  struct stat old {};
  const bool replaces = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const mode_t mode = replaces || created == NewFile::owner_only ? 0600 : 0644;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    tmp = path;
    tmp += ".tmp" + std::to_string(temporary_name_number());
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw_errno("Cannot create file", path);
  if (replaces) take_mode_of(path, fd);
  try {
    write_all(fd, content, path);
    if (flush && ::fsync(fd) != 0) throw_errno("Cannot flush file", path);
    // Not flushed now: its write-back starts, so the flush to come waits less.
    if (!flush) (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    struct stat st {};
    if (device && ::fstat(fd, &st) != 0) throw_errno("Cannot create file", path);
    if (device) *device = st.st_dev;
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  return tmp;
}
}  // namespace

ReplacementBatch::ReplacementBatch(std::vector<Replacement> files) : files_(std::move(files)) {
  tmps_.reserve(files_.size());
}

ReplacementBatch::~ReplacementBatch() {
  for (std::size_t i = replaced_; i < tmps_.size(); ++i) ::unlink(tmps_[i].c_str());
}

bool ReplacementBatch::step(std::size_t budget, const std::function<bool()>& go_on) {
  std::size_t done = 0;
  const auto enough = [&] { return done == budget || (done > 0 && go_on && !go_on()); };
  // Each written, none flushed yet.
  for (; !failed_ && tmps_.size() < files_.size(); ++done) {
    if (enough()) return false;
    const auto& f = files_[tmps_.size()];
    dev_t device{};
    try {
      tmps_.push_back(write_temporary(f.path, f.content, false, f.created, &device));
    } catch (...) {
      failed_ = std::current_exception();
      break;
    }
    if (std::none_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d.first == device; }))
      devices_.emplace_back(device, tmps_.size() - 1);
  }
  // Then one flush of each file system they are on (one file: its own
  // fsync, the cheaper), in a step of its own.
  if (!flushed_ && !tmps_.empty()) {
    if (done > 0) return false;
    for (const auto& [device, first] : devices_) {
      const int fd = ::open(tmps_[first].c_str(), O_RDONLY | O_CLOEXEC);
      const bool flushed = fd >= 0 && (tmps_.size() == 1 ? ::fsync(fd) : ::syncfs(fd)) == 0;
      const int saved = errno;
      if (fd >= 0) ::close(fd);
      if (!flushed) {
        errno = saved;
        throw_errno("Cannot flush file", files_[first].path);
      }
    }
    flushed_ = true;
    return false;
  }
  flushed_ = true;
  for (; replaced_ < tmps_.size(); ++replaced_, ++done) {
    if (enough()) return false;
    if (::rename(tmps_[replaced_].c_str(), files_[replaced_].path.c_str()) != 0)
      throw_errno("Cannot replace file", files_[replaced_].path);
  }
  if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
  return true;
}

StagedReplacement::StagedReplacement(const std::filesystem::path& path, std::string_view content, NewFile created)
    : path_(path), tmp_(write_temporary(path, content, false, created)) {}

StagedReplacement::~StagedReplacement() {
  if (!tmp_.empty()) ::unlink(tmp_.c_str());
}

void StagedReplacement::commit() {
  const auto tmp = std::exchange(tmp_, {});
  const int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  bool done = fd >= 0 && ::fsync(fd) == 0;
  int saved = errno;
  if (fd >= 0) ::close(fd);
  if (done) {
    done = ::rename(tmp.c_str(), path_.c_str()) == 0;
    saved = errno;
  }
  if (done) return;
  ::unlink(tmp.c_str());
  errno = saved;
  throw_errno("Cannot replace file", path_);
}

void write_file_atomic(const std::filesystem::path& path, std::string_view content, NewFile created) {
  const auto tmp = write_temporary(path, content, true, created);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    throw_errno("Cannot replace file", path);
  }
}

std::filesystem::path write_spare_unflushed(const std::filesystem::path& path, std::string_view content) {
  auto spare = path;
  spare += ".tmp";
  const int fd = ::open(spare.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) throw_errno("Cannot create file", path);
  try {
    // Not a FIFO or device put in its place: only a regular file is written.
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw_errno("Cannot create file", path);
    if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;
      throw_errno("Cannot create file", path);
    }
    write_all(fd, content, path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return spare;
}

bool exchange_spare(const std::filesystem::path& spare, const std::filesystem::path& path) {
  if (::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) return true;
  // Nothing to exchange with yet, or a file system without exchanges.
  if (errno != ENOENT && errno != EINVAL) return false;
  return ::rename(spare.c_str(), path.c_str()) == 0;
}

void write_lines_atomic(const std::filesystem::path& path, const std::vector<std::string>& lines, NewFile created) {
  write_file_atomic(path, join_crlf(lines), created);
}

void append_file(const std::filesystem::path& path, std::string_view bytes, bool durable) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw_errno("Cannot open file", path);
  try {
    write_all(fd, bytes, path);
    if (durable && ::fdatasync(fd) != 0) throw_errno("Cannot flush file", path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

void append_line(const std::filesystem::path& path, std::string_view line, bool durable) {
  bool needs_break = false;
  if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    char last = '\n';
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size > 0 && ::pread(fd, &last, 1, size - 1) == 1) needs_break = last != '\n';
    ::close(fd);
  }
  std::string bytes;
  bytes.reserve(line.size() + 4);
  if (needs_break) bytes += "\r\n";
  bytes += line;
  bytes += "\r\n";
  append_file(path, bytes, durable);
}

void sync_dir(const std::filesystem::path& file) {
  auto dir = file.parent_path();
  if (dir.empty()) dir = ".";
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace orvane
