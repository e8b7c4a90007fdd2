// What the command server needs from the station, and what the station needs
// from the command server: the server hands over whole framed messages and
// writes its own troubles to the operator log; the station opens the server's
// listening socket at start-up. Neither side sees the other's class.
#pragma once
#include "core/limits.hpp"
#include "station/connection.hpp"

#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace orvane {

// Takes the framed messages of every host connection. Station thread.
class MessageHandler {
 public:
  virtual ~MessageHandler() = default;
  // One whole message from `from`: line 0 is the header, then the command
  // lines. A failure is logged "Error : " + message here; the caller carries on.
  // False when the message is long and its rest is worked on later, in
  // slices, so that other hosts and the station's timers get their turns
  // meanwhile: the lines are copied, and `from->message_done()` is called
  // when it is done (whether the host is still there or not). Until then
  // the caller hands over nothing more from that connection.
  virtual bool handle_message(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& from) = 0;
  // A line for the operator log.
  virtual void log_line(std::string text) = 0;
  // Whether the station sends to `connection` unasked (a realtime
  // subscriber): such a connection is never idle.
  virtual bool sends_unasked_to(const Connection&) const { return false; }
};

// What the command server is opened with, from emulate.ini's [Connection].
struct ListenSettings {
  int port = 5000;  // ClientPort
  std::string allow_hosts;  // AllowHosts: addresses and prefixes; empty: every host
  int max_hosts = limits::kDefaultMaxHosts;  // MaxHosts: hosts connected at once
  int idle_seconds = limits::kDefaultIdleSeconds;  // IdleSeconds: an idle connection is closed after it; 0: never
  // The address to listen on, an IPv4 or IPv6 literal; empty: every
  // interface, IPv6 and IPv4. Set by whoever runs the station (a fleet
  // gives each station its own), not by emulate.ini.
  std::string address;
};

// Opens the command server's listening socket during start-up. Throws when
// the port can't be opened.
class CommandListener {
 public:
  virtual ~CommandListener() = default;
  virtual void listen(const ListenSettings& settings) = 0;
  // An injected fault: while set, every host connection is closed, those
  // there now and each one that comes (a port that drops its hosts).
  virtual void close_connections(bool on) { (void)on; }
};

}  // namespace orvane
