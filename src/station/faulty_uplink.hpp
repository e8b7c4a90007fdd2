// An uplink fault an operator injects to see how the station and its host
// cope: the station's uploads go as if its FTP host refused every
// connection, swallowed them without a word, or took the bytes slowly. The
// host itself is never touched. The fault is set on the station thread and
// read by the upload threads, which also do the waiting, never the station.
#pragma once
#include "platform/steady_time.hpp"
#include "station/event_uplink.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace orvane {

struct UplinkFault {
  enum class Kind { none, refusing, black_hole, slow };
  Kind kind = Kind::none;
  std::int64_t bytes_per_s = 0;  // slow: the rate the "host" takes stored bytes at
};

// The waits a black-holed host makes an upload sit through, as the FTP
// client's own timeouts would.
struct UplinkFaultWaits {
  std::chrono::milliseconds connect;  // connecting and logging in
  std::chrono::milliseconds response;  // one reply
  std::chrono::milliseconds transfer;  // one whole store
};
UplinkFaultWaits default_uplink_fault_waits();

// Puts the fault between an upload and the real client: refused, a
// connection fails at once ("Couldn't connect to server"); black-holed,
// each step waits out its timeout and fails ("Timeout was reached"); slow,
// a store takes its bytes' time at the rate (failing as a timed-out
// transfer past the transfer timeout), then stores for real. Waits end at
// once when `cancelled` is set (the station is closing).
class FaultyUplink final : public EventUplink {
 public:
  FaultyUplink(EventUplink& real, UplinkFault fault, SteadyTime& time, const std::atomic<bool>& cancelled,
               UplinkFaultWaits waits = default_uplink_fault_waits())
      : real_(real), fault_(fault), time_(time), cancelled_(cancelled), waits_(waits) {}

  void connect(const UplinkTarget& target) override;
  bool connected() const override { return connected_; }
  void change_dir(const std::string& path) override;
  void store(const std::string& name, std::string_view bytes) override;
  void disconnect() noexcept override;
  void cancel() noexcept override { real_.cancel(); }

 private:
  [[noreturn]] void time_out(std::chrono::milliseconds after);

  EventUplink& real_;
  UplinkFault fault_;
  SteadyTime& time_;
  const std::atomic<bool>& cancelled_;
  UplinkFaultWaits waits_;
  bool connected_ = false;
};

}  // namespace orvane
