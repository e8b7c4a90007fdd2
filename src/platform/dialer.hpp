// Dial-up links: the operations the station needs from the system's dialler
// (a phonebook of entries, dial an entry, the state of the active
// connections, hang up one), and ICMP echo to confirm a link.
#pragma once
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// A failed dialler call. `half_open` names a connection the failed dial left
// behind, to be hung up.
class DialError : public std::runtime_error {
 public:
  explicit DialError(const std::string& text, std::optional<int> half_open = std::nullopt)
      : std::runtime_error(text), half_open(half_open) {}
  std::optional<int> half_open;
};

// One active connection; `state` is a connection-state code of the table in
// dial_state.hpp (8192 connected, 8193 disconnected, ...).
struct DialConnection {
  int handle = 0;
  std::string entry;
  int state = 0;
};

class Dialer {
 public:
  virtual ~Dialer() = default;
  // The phonebook's entry names in order. Throws DialError.
  virtual std::vector<std::string> phonebook_entries() = 0;
  // Dials synchronously; returns the connection's handle. Throws DialError
  // with the system's text for the failure.
  virtual int dial(const std::string& entry, const std::string& number, const std::string& user,
                   const std::string& password) = 0;
  // The active connections. Throws DialError.
  virtual std::vector<DialConnection> connections() = 0;
  // Ends one connection. Throws DialError.
  virtual void hang_up(int handle) = 0;
};

class Pinger {
 public:
  virtual ~Pinger() = default;
  // One ICMP echo to `host`; true when its reply came within `timeout`.
  virtual bool ping(const std::string& host, std::chrono::milliseconds timeout) = 0;
};

// The names of the connection states, by code; empty for an unknown code.
std::string dial_state_name(int state);

inline constexpr int kDialStateConnected = 8192;
inline constexpr int kDialStateDisconnected = 8193;

}  // namespace orvane
