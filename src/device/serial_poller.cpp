#include "device/serial_poller.hpp"

#include "core/limits.hpp"
#include "device/poll_sequence.hpp"
#include "device/result_codes.hpp"

#include <asio/post.hpp>
#include <asio/serial_port.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>

namespace orvane {

// The port, its timer and the poll in progress. Handlers hold it by a shared
// pointer, so it outlives the poller until the last of them has run; each
// handler carries the step it was started for and does nothing once the
// step has moved on (its module's read ended, the poll was cancelled or the
// poller went away).
struct SerialModulePoller::Line : std::enable_shared_from_this<SerialModulePoller::Line> {
  explicit Line(asio::io_context& ioc) : port(ioc), timer(ioc) {}

  asio::serial_port port;
  asio::steady_timer timer;
  PollSequence poll;
  std::string request;
  std::string reply;
  std::array<char, 128> chunk{};

  void end_poll() {
    poll.end();
    timer.cancel();
    std::error_code ignored;
    if (port.is_open()) port.cancel(ignored);
  }

  void next_module() {
    if (poll.finish()) return;
    const auto my_step = poll.step;
    // A late reply to an earlier request must not be taken for this one.
    ::tcflush(port.native_handle(), TCIFLUSH);
    request = dcon_read_all_request(poll.next_address(), poll.options.checksum);
    reply.clear();
    timer.expires_after(poll.options.timeout);
    timer.async_wait([self = shared_from_this(), my_step](std::error_code ec) {
      if (!ec && my_step == self->poll.step) self->module_done(rc::kTimeOut);
    });
    asio::async_write(port, asio::buffer(request),
                      [self = shared_from_this(), my_step](std::error_code ec, std::size_t) {
                        if (my_step != self->poll.step) return;
                        if (ec)
                          return self->module_done(rc::kSendCommandError);  // the device went away (EIO) or refused
                        self->read_reply(my_step);
                      });
  }

  void read_reply(std::uint64_t my_step) {
    port.async_read_some(asio::buffer(chunk), [self = shared_from_this(), my_step](std::error_code ec, std::size_t n) {
      if (my_step != self->poll.step) return;
      if (ec) return self->module_done(rc::kReadComPortStatusError);
      for (std::size_t i = 0; i < n; ++i) {
        if (self->chunk[i] == '\r')
          return self->module_done(
              dcon_parse_read_all_reply(self->reply, self->poll.options.checksum, self->poll.area));
        self->reply.push_back(self->chunk[i]);
      }
      if (self->reply.size() > limits::kMaxDconReplyBytes) return self->module_done(rc::kResultStringCheckError);
      self->read_reply(my_step);
    });
  }

  void module_done(int code) {
    poll.record(code);
    timer.cancel();
    std::error_code ignored;
    port.cancel(ignored);
    next_module();
  }
};

SerialModulePoller::SerialModulePoller(asio::io_context& ioc, ComPortMap overrides)
    : overrides_(std::move(overrides)), line_(std::make_shared<Line>(ioc)) {}

SerialModulePoller::~SerialModulePoller() {
  line_->end_poll();
  std::error_code ignored;
  line_->port.close(ignored);
}

bool SerialModulePoller::is_open() const { return line_->port.is_open(); }

bool SerialModulePoller::polling() const { return static_cast<bool>(line_->poll.done); }

int SerialModulePoller::open(int port, int baud) {
  line_->end_poll();
  std::error_code ignored;
  line_->port.close(ignored);
  int fd = -1;
  const int code = open_serial_device(com_port_path(port, overrides_), baud, fd);
  if (code != rc::kNoError) return code;
  std::error_code ec;
  line_->port.assign(fd, ec);
  if (ec) {
    ::close(fd);
    return rc::kPortError;
  }
  return rc::kNoError;
}

void SerialModulePoller::read_modules(std::vector<int> addresses, ModuleReadOptions options, AnalogReadings area,
                                      Done done) {
  auto& l = *line_;
  l.end_poll();
  l.poll.begin(std::move(addresses), options, area, std::move(done));
  // Nothing to wait for on a closed port: every module reports it at once.
  if (!l.port.is_open()) l.poll.results.assign(l.poll.addresses.size(), ModuleRead{rc::kComPortNotOpen, area});
  asio::post(l.port.get_executor(), [self = line_, my_step = l.poll.step] {
    if (my_step == self->poll.step) self->next_module();
  });
}

void SerialModulePoller::cancel() { line_->end_poll(); }

}  // namespace orvane
