// ICMP echo over an unprivileged datagram socket where the kernel allows it
// (net.ipv4.ping_group_range), a raw socket otherwise (root or CAP_NET_RAW).
#pragma once
#include "platform/dialer.hpp"

#include <atomic>

namespace orvane {

class IcmpPinger final : public Pinger {
 public:
  // False when the host can't be resolved, no socket can be opened, or no
  // echo reply came in time.
  bool ping(const std::string& host, std::chrono::milliseconds timeout) override;

 private:
  std::atomic<unsigned short> sequence_{0};
};

}  // namespace orvane
