#include "platform/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace orvane {

std::optional<InstanceLock> InstanceLock::acquire(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot open lock file " + path.string());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return std::nullopt;
    throw std::system_error(err, std::generic_category(), "Cannot lock " + path.string());
  }
  return InstanceLock(fd);
}

std::filesystem::path InstanceLock::default_path() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::filesystem::path dir = (runtime && *runtime) ? runtime : "/tmp";
  return dir / "OrvaneEmulator.lock";
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

}  // namespace orvane
