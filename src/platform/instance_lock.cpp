#include "platform/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace orvane {

namespace {

// The start time of process `pid` (clock ticks since boot), empty when it
// doesn't run.
std::string start_time_of(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!in || !std::getline(in, stat)) return {};
  // Fields after the command name, which may itself hold blanks and ')'.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream rest(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) return field;
  return {};
}

std::string read_record(int fd) {
  char buf[128];
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Whether a record names a process that runs now.
bool record_alive(const std::string& record) {
  std::istringstream in(record);
  long pid = 0;
  std::string start;
  if (!(in >> pid >> start) || pid <= 0) return false;
  return start_time_of(pid) == start;
}

bool write_record(int fd, const std::string& record) {
  if (::ftruncate(fd, 0) != 0) return false;
  const std::string line = record + "\n";
  return ::pwrite(fd, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size());
}

}  // namespace

std::string lock_record_of_this_process() {
  const long pid = ::getpid();
  return std::to_string(pid) + " " + start_time_of(pid);
}

std::optional<InstanceLock> InstanceLock::acquire(const std::filesystem::path& path, Hold hold) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot open lock file " + path.string());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return std::nullopt;
    throw std::system_error(err, std::generic_category(), "Cannot lock " + path.string());
  }
  // Held by record (a fleet, or a station of this very process).
  if (record_alive(read_record(fd))) {
    ::close(fd);
    return std::nullopt;
  }
  if (!write_record(fd, lock_record_of_this_process())) {
    const int err = errno;
    ::close(fd);
    throw std::system_error(err, std::generic_category(), "Cannot write lock file " + path.string());
  }
  if (hold == Hold::descriptor) return InstanceLock(fd, path);
  ::close(fd);
  return InstanceLock(-1, path);
}

std::filesystem::path InstanceLock::default_path() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::filesystem::path dir = (runtime && *runtime) ? runtime : "/tmp";
  return dir / "OrvaneEmulator.lock";
}

InstanceLock::~InstanceLock() {
  if (path_.empty()) return;  // moved from
  int fd = fd_;
  if (fd < 0) {
    fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX) != 0) {
      ::close(fd);
      return;
    }
  }
  // Only our own record is cleared: a file replaced meanwhile is left.
  std::string record = read_record(fd);
  while (!record.empty() && (record.back() == '\n' || record.back() == '\r')) record.pop_back();
  if (record == lock_record_of_this_process()) (void)::ftruncate(fd, 0);
  ::close(fd);  // closing the descriptor releases the flock
}

}  // namespace orvane
