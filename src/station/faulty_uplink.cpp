#include "station/faulty_uplink.hpp"

#include "core/limits.hpp"

#include <stdexcept>

namespace orvane {

UplinkFaultWaits default_uplink_fault_waits() {
  using std::chrono::milliseconds;
  return {milliseconds(limits::kFtpConnectTimeoutMs + 4 * limits::kFtpResponseTimeoutMs),
          milliseconds(limits::kFtpResponseTimeoutMs), milliseconds(limits::kFtpTransferTimeoutMs)};
}

void FaultyUplink::time_out(std::chrono::milliseconds after) {
  time_.pause_until(time_.now() + after, cancelled_);
  if (cancelled_) throw std::runtime_error("FTP: the station is closing");
  throw std::runtime_error("FTP: Timeout was reached");
}

void FaultyUplink::connect(const UplinkTarget& target) {
  connected_ = false;
  switch (fault_.kind) {
    case UplinkFault::Kind::refusing:
      throw std::runtime_error("FTP: Couldn't connect to server");
    case UplinkFault::Kind::black_hole:
      time_out(waits_.connect);
    default:
      real_.connect(target);
      connected_ = real_.connected();
  }
}

void FaultyUplink::change_dir(const std::string& path) {
  if (fault_.kind == UplinkFault::Kind::black_hole) time_out(waits_.response);
  real_.change_dir(path);
}

void FaultyUplink::store(const std::string& name, std::string_view bytes) {
  if (fault_.kind == UplinkFault::Kind::black_hole) time_out(waits_.response);
  if (fault_.kind == UplinkFault::Kind::slow && fault_.bytes_per_s > 0) {
    const auto takes = std::chrono::milliseconds(static_cast<std::int64_t>(bytes.size()) * 1000 / fault_.bytes_per_s);
    if (takes > waits_.transfer) time_out(waits_.transfer);
    time_.pause_until(time_.now() + takes, cancelled_);
    if (cancelled_) throw std::runtime_error("FTP: the station is closing");
  }
  real_.store(name, bytes);
}

void FaultyUplink::disconnect() noexcept {
  connected_ = false;
  real_.disconnect();
}

}  // namespace orvane
