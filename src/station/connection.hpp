// A host's connection as the command handlers see it: send bytes, close,
// the remote address. The command server's TCP sessions implement it; tests
// use a recording double.
#pragma once
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace orvane {

class Connection {
 public:
  virtual ~Connection() = default;
  // Queues the whole text for the host. False when the connection is closed
  // (by either side) or its write queue would pass its bound; the connection
  // is closed then. Sending nothing still reports whether the host is there.
  virtual bool send(std::string_view bytes) = 0;
  // No further sends; what was already queued still goes out.
  virtual void close() = 0;
  // The host's IP address as text (dotted form for IPv4 hosts).
  virtual std::string remote_address() const = 0;
  virtual bool is_open() const = 0;
  // Bytes that can still be queued before the connection's write bound
  // closes it; unbounded for connections that have none.
  virtual std::size_t send_room() const { return std::numeric_limits<std::size_t>::max(); }
  // Bytes sent but not yet taken by the host's side (the kernel, for TCP).
  virtual std::size_t queued_bytes() const { return 0; }
  // A message its handler took on to finish later (see MessageHandler) is
  // done: what the host sent after it is taken now.
  virtual void message_done() {}
};

}  // namespace orvane
