#include "device/simulated_poller.hpp"

#include "core/limits.hpp"
#include "device/poll_sequence.hpp"
#include "device/result_codes.hpp"

#include <asio/post.hpp>

#include <chrono>
#include <string>

namespace orvane {

// The poll in progress and its timer. Handlers hold it by a shared pointer
// and carry the step they were started for: once the step has moved on (the
// module's read ended, the poll was cancelled or the poller went away) they
// do nothing.
struct SimulatedModulePoller::Poll : std::enable_shared_from_this<Poll> {
  Poll(asio::io_context& ioc, SimulatedModules& modules, std::function<double()>& seconds)
      : timer(ioc), modules(modules), seconds(seconds) {}

  asio::steady_timer timer;
  SimulatedModules& modules;
  std::function<double()>& seconds;
  PollSequence poll;

  void end() {
    poll.end();
    timer.cancel();
  }

  // Asks the next module as the DCON client would; its reply, if it gives
  // one in time, is read up to its CR as from the line. A reply later than
  // the time-out is never taken (the line is flushed before the next request).
  void next_module() {
    if (poll.finish()) return;
    const auto& options = poll.options;
    const int address = poll.next_address();
    auto request = dcon_read_all_request(address, options.checksum);
    request.pop_back();  // the CR ends the line on the wire
    const auto reply = modules.answer(request, seconds());
    const auto delay = std::chrono::milliseconds(modules.reply_delay_ms(address));
    const bool in_time = reply && delay < options.timeout;
    timer.expires_after(in_time ? delay : options.timeout);
    timer.async_wait(
        [self = shared_from_this(), my_step = poll.step, reply = in_time ? *reply : std::string()](std::error_code ec) {
          if (ec || my_step != self->poll.step) return;
          self->module_done(reply.empty() ? rc::kTimeOut : self->parse(reply));
        });
  }

  int parse(const std::string& reply) {
    const auto cr = reply.find('\r');
    if (cr == std::string::npos || cr > limits::kMaxDconReplyBytes) return rc::kResultStringCheckError;
    return dcon_parse_read_all_reply(std::string_view(reply).substr(0, cr), poll.options.checksum, poll.area);
  }

  void module_done(int code) {
    poll.record(code);
    timer.cancel();
    next_module();
  }
};

SimulatedModulePoller::SimulatedModulePoller(asio::io_context& ioc, SimulatedModules& modules,
                                             std::function<double()> seconds)
    : modules_(modules), seconds_(std::move(seconds)), poll_(std::make_shared<Poll>(ioc, modules_, seconds_)) {
  if (!seconds_) {
    const auto start = std::chrono::steady_clock::now();
    seconds_ = [start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  }
}

SimulatedModulePoller::~SimulatedModulePoller() { poll_->end(); }

int SimulatedModulePoller::open(int, int) {
  poll_->end();
  return rc::kNoError;
}

void SimulatedModulePoller::read_modules(std::vector<int> addresses, ModuleReadOptions options, AnalogReadings area,
                                         Done done) {
  auto& p = *poll_;
  p.end();
  p.poll.begin(std::move(addresses), options, area, std::move(done));
  asio::post(p.timer.get_executor(), [self = poll_, my_step = p.poll.step] {
    if (my_step == self->poll.step) self->next_module();
  });
}

void SimulatedModulePoller::cancel() { poll_->end(); }

}  // namespace orvane
