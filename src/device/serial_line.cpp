#include "device/serial_line.hpp"

#include "core/limits.hpp"
#include "device/result_codes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace orvane {
namespace {

bool baud_constant(int baud, speed_t& out) {
  switch (baud) {
    case 1200:
      out = B1200;
      return true;
    case 2400:
      out = B2400;
      return true;
    case 4800:
      out = B4800;
      return true;
    case 9600:
      out = B9600;
      return true;
    case 19200:
      out = B19200;
      return true;
    case 38400:
      out = B38400;
      return true;
    case 57600:
      out = B57600;
      return true;
    case 115200:
      out = B115200;
      return true;
    default:
      return false;
  }
}

using SteadyClock = std::chrono::steady_clock;

int remaining_ms(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string com_port_path(int port, const ComPortMap& overrides) {
  if (const auto it = overrides.find(port); it != overrides.end()) return it->second;
  if (port < 1) return {};
  return "/dev/ttyS" + std::to_string(port - 1);
}

std::pair<int, std::string> parse_com_mapping(const std::string& text) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 >= text.size())
    throw std::invalid_argument("expected N=PATH, got '" + text + "'");
  int port = 0;
  for (std::size_t i = 0; i < eq; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9' || port > 100000) throw std::invalid_argument("bad COM port number in '" + text + "'");
    port = port * 10 + (c - '0');
  }
  if (port < 1) throw std::invalid_argument("COM port numbers start at 1: '" + text + "'");
  return {port, text.substr(eq + 1)};
}

SerialDeviceLine::~SerialDeviceLine() { close(); }

void SerialDeviceLine::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int open_serial_device(const std::string& path, int baud, int& fd_out) {
  if (path.empty()) return rc::kPortError;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return rc::kPortError;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return rc::kPortError;  // not a terminal
  }
  speed_t speed{};
  if (!baud_constant(baud, speed)) {
    ::close(fd);
    return rc::kBaudRateError;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // A non-blocking read of an empty line then says "would block"; with VMIN
  // 0 it would return 0, which an asynchronous reader takes for a hang-up.
  // The setting belongs to the device, not the descriptor, so every client
  // of the line sets the same.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    return rc::kBaudRateError;
  }
  fd_out = fd;
  return rc::kNoError;
}

int SerialDeviceLine::open(int port, int baud) {
  close();
  return open_serial_device(com_port_path(port, overrides_), baud, fd_);
}

int SerialDeviceLine::read_module(int address, bool checksum, std::chrono::milliseconds timeout, AnalogReadings& area) {
  if (fd_ < 0) return rc::kComPortNotOpen;
  const auto deadline = SteadyClock::now() + timeout;

  // A late reply to an earlier request must not be taken for this one.
  ::tcflush(fd_, TCIFLUSH);

  const std::string request = dcon_read_all_request(address, checksum);
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::write(fd_, request.data() + sent, request.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      const int left = remaining_ms(deadline);
      if (left == 0) return rc::kTimeOut;
      if (::poll(&p, 1, left) < 0 && errno != EINTR) return rc::kSendCommandError;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return rc::kSendCommandError;
      continue;
    }
    return rc::kSendCommandError;  // the device went away (EIO) or refused
  }

  std::string reply;
  for (;;) {
    const int left = remaining_ms(deadline);
    if (left == 0) return rc::kTimeOut;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      return rc::kReadComPortStatusError;
    }
    if (r == 0) return rc::kTimeOut;
    if (!(p.revents & POLLIN) && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return rc::kReadComPortStatusError;
    char buf[128];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return rc::kReadComPortStatusError;
    }
    if (n == 0) return rc::kReadComPortStatusError;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\r') return dcon_parse_read_all_reply(reply, checksum, area);
      reply.push_back(buf[i]);
    }
    if (reply.size() > limits::kMaxDconReplyBytes) return rc::kResultStringCheckError;
  }
}

}  // namespace orvane
