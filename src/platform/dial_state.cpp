#include "platform/dialer.hpp"

#include <array>
#include <utility>

namespace orvane {

std::string dial_state_name(int state) {
  constexpr std::array<std::pair<int, const char*>, 28> names{{
      {0, "Opening port"},
      {1, "Port opened"},
      {2, "Connecting device"},
      {3, "Device connected"},
      {4, "All devices connected"},
      {5, "Start authenticating"},
      {6, "Authentication: notify"},
      {7, "Authentication: retry"},
      {8, "Authentication: callback"},
      {9, "Authentication: change password"},
      {10, "Authentication: projecting"},
      {11, "Authentication: link speed"},
      {12, "Authentication: acknowledge"},
      {13, "Authentication: reauthenticate"},
      {14, "Authenticated"},
      {15, "Preparing for callback"},
      {16, "Waiting for modem reset"},
      {17, "Waiting for callback"},
      {18, "Projected"},
      {19, "Start authentication"},
      {20, "Callback complete"},
      {21, "Logging on network"},
      {4096, "Interactive"},
      {4097, "Retry Authentication"},
      {4098, "Callback set by caller"},
      {4099, "Password expired"},
      {8192, "Connected"},
      {8193, "Disconnected"},
  }};
  for (const auto& [code, name] : names)
    if (code == state) return name;
  return {};
}

}  // namespace orvane
