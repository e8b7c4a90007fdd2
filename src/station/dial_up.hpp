// Dial-up link management over a Dialer: dial the "vrn" entry and confirm
// the link (by ping or by watching its state), report the state by name,
// hang everything up. Used by the upload worker and the station thread.
#pragma once
#include "core/limits.hpp"
#include "platform/dialer.hpp"
#include "platform/steady_time.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

namespace orvane {

struct DialSettings {
  std::string number;  // the telephone number (Telphone)
  std::string user;  // User
  std::string password;  // Password
  std::string host;  // the uplink host (Host): pinged to confirm the link
  bool confirm_by_ping = false;  // Connectmode "1"
};

class DialUp {
 public:
  using Log = std::function<void(std::string)>;
  // `time` paces the pauses between state checks and after a hang-up.
  DialUp(Dialer& dialer, Pinger* pinger, std::atomic<bool>& online, Log log, SteadyTime& time);

  struct State {
    bool any = false;  // some connection is active
    std::string name;  // state name of the "vrn" connection, empty if none
  };
  State connection_state();
  // Dials and confirms the link; returns the online flag.
  bool dial(const DialSettings& settings);
  void hang_up_all();
  // Ends any confirmation loop and pause at once (the station is closing).
  void cancel() { cancelled_ = true; }

  static constexpr const char* kEntry = "vrn";
  static constexpr int kConfirmRounds = limits::kDialConfirmRounds;
  static constexpr int kAuthenticationRounds = limits::kDialAuthenticationRounds;

 private:
  void hang_up(int handle);
  void pause(std::chrono::milliseconds d);

  Dialer& dialer_;
  Pinger* pinger_;
  std::atomic<bool>& online_;
  Log log_;
  SteadyTime& time_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace orvane
