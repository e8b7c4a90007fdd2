#include "platform/standard_streams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvane {

void open_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one; inherited by children, as a
    // standard descriptor is.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace orvane
