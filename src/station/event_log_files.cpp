#include "station/event_log_files.hpp"

#include "core/event_log_line.hpp"
#include "station/station_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

namespace orvane {
namespace {

// Appends the log form of an event line; false when it has none.
using LogForm = bool (*)(std::string&, std::string_view);

std::string error_text(int err, const char* what, const std::filesystem::path& path) {
  return std::system_error(err, std::generic_category(), what + std::string(" ") + path.string()).what();
}

// The lines of one event check go to the file in one write (an event storm
// would otherwise open the file twice per event): a last line the file
// holds without its end is ended first, as when appending one by one.
std::vector<std::string> append_log_lines(const std::filesystem::path& path, std::span<const std::string> event_lines,
                                          LogForm log_form) {
  std::vector<std::string> errors(event_lines.size());
  std::string bytes;
  std::vector<std::size_t> ends(event_lines.size(), 0);  // end of each line in `bytes`; 0 = nothing to write
  bytes.reserve(event_lines.size() * 48 + 2);
  bytes += "\r\n";  // room for ending the file's last line; cut off below when not needed
  for (std::size_t i = 0; i < event_lines.size(); ++i) {
    if (log_form(bytes, event_lines[i])) {
      bytes += "\r\n";
      ends[i] = bytes.size();
    }
  }
  if (bytes.size() == 2) return errors;

  // Non-blocking: a FIFO put in the file's place must not hold the station.
  constexpr int kFlags = O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  bool readable = true;
  int fd = ::open(path.c_str(), O_RDWR | kFlags, 0644);
  if (fd < 0 && errno == EACCES) {
    readable = false;  // a file we may only append to: its last line is taken as ended
    fd = ::open(path.c_str(), O_WRONLY | kFlags, 0644);
  }
  if (fd < 0) {
    const auto text = error_text(errno, "Cannot open file", path);
    for (std::size_t i = 0; i < ends.size(); ++i)
      if (ends[i]) errors[i] = text;
    return errors;
  }
  bool needs_break = false;
  struct stat st {};
  if (readable && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    char last = '\n';
    needs_break = ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
  }
  const std::size_t skip = needs_break ? 0 : 2;
  std::size_t done = skip;
  int err = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (err != 0) {
    // Lines the file took in whole are written; the rest failed.
    const auto text = error_text(err, "Cannot write", path);
    for (std::size_t i = 0; i < ends.size(); ++i)
      if (ends[i] > done) errors[i] = text;
  }
  return errors;
}

}  // namespace

std::vector<std::string> write_event_logs(const std::filesystem::path& dir, LocalTime now,
                                          std::span<const std::string> event_lines) {
  return append_log_lines(station_files::event_log_file(dir, now), event_lines, &append_event_log_line);
}

std::vector<std::string> write_raw_event_logs(const std::filesystem::path& dir, LocalTime now,
                                              std::span<const std::string> event_lines) {
  return append_log_lines(station_files::raw_event_log_file(dir, now), event_lines, &append_raw_event_log_line);
}

}  // namespace orvane
