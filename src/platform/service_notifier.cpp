#include "platform/service_notifier.hpp"

#include <systemd/sd-daemon.h>

namespace orvane {

ServiceNotifier::ServiceNotifier(asio::io_context& ioc) : timer_(ioc) {
  std::uint64_t usec = 0;
  // Fed at half the period, as the service manager's documentation advises.
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) interval_ = std::chrono::microseconds(usec / 2);
}

void ServiceNotifier::ready(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
  if (interval_.count() > 0) feed();
}

void ServiceNotifier::stopping() {
  timer_.cancel();
  sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::status(const std::string& text) { sd_notify(0, ("STATUS=" + text).c_str()); }

void ServiceNotifier::feed() {
  if (!healthy_ || healthy_()) sd_notify(0, "WATCHDOG=1");
  timer_.expires_after(interval_);
  timer_.async_wait([this](std::error_code ec) {
    if (!ec) feed();
  });
}

}  // namespace orvane
