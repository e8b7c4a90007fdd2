#include "station/dial_up.hpp"

#include "core/comma_text.hpp"

#include <thread>

namespace orvane {

DialUp::DialUp(Dialer& dialer, Pinger* pinger, std::atomic<bool>& online, Log log, SteadyTime& time)
    : dialer_(dialer), pinger_(pinger), online_(online), log_(std::move(log)), time_(time) {}

void DialUp::pause(std::chrono::milliseconds d) {
  if (cancelled_) return;
  time_.pause_until(time_.now() + d, cancelled_);
}

DialUp::State DialUp::connection_state() {
  State state;
  try {
    for (const auto& c : dialer_.connections()) {
      state.any = true;
      if (c.entry == kEntry) state.name = dial_state_name(c.state);
    }
  } catch (const DialError&) {
    log_("RasEnumConnections failed.");
    return {};
  }
  return state;
}

bool DialUp::dial(const DialSettings& s) {
  log_("Dial : Start dial");
  std::vector<std::string> entries;
  try {
    entries = dialer_.phonebook_entries();
  } catch (const DialError&) {
    log_("Dial : RasEnumEntries failed.");
    return false;
  }
  if (entries.empty() || trim(entries.front()).empty()) return false;
  try {
    dialer_.dial(kEntry, s.number, s.user, s.password);
  } catch (const DialError& e) {
    log_("Dial : RasDial failed: " + std::string(e.what()).substr(0, 100));
    if (e.half_open) {
      try {
        dialer_.hang_up(*e.half_open);
      } catch (const DialError&) {}
    }
    return false;
  }
  online_ = true;
  if (s.confirm_by_ping) {
    for (int round = 0; round < kConfirmRounds && !cancelled_; ++round) {
      if (pinger_ && pinger_->ping(trim_copy(s.host), std::chrono::milliseconds(limits::kDialPingTimeoutMs))) break;
      if (!online_) break;
    }
  } else {
    int authenticating = 0;
    for (int round = 0; round < kConfirmRounds && !cancelled_; ++round) {
      const auto state = connection_state();
      if (state.any && !state.name.starts_with("Authentication:")) {
        if (state.name == "Authenticated" || state.name == "Connected") break;
        if (!online_) break;
      }
      if (state.name.starts_with("Authentication:") && ++authenticating > kAuthenticationRounds) {
        log_("dial : break loop Authen");
        break;
      }
      pause(std::chrono::seconds(1));
    }
  }
  return online_;
}

void DialUp::hang_up(int handle) {
  try {
    dialer_.hang_up(handle);
  } catch (const DialError&) {
    log_("Dial : No HangUp.");
    return;
  }
  online_ = false;
  pause(std::chrono::seconds(1));
  log_("Dial : Do HangUp.");
}

void DialUp::hang_up_all() {
  try {
    const auto first = dialer_.connections();
    if (!first.empty()) hang_up(first.front().handle);
  } catch (const DialError&) {
    // Nothing to hang up when nothing can be listed; the second pass says so.
  }
  std::vector<DialConnection> rest;
  try {
    rest = dialer_.connections();
  } catch (const DialError&) {
    log_("RasEnumConnections failed.");
    return;
  }
  for (const auto& c : rest) hang_up(c.handle);
}

}  // namespace orvane
