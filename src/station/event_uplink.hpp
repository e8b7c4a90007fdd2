// The FTP client the event uplink stores events with, as the station sees
// it: connect (login included), change directory, store one event as a file
// of its own, disconnect. The implementation lives in net/ (libcurl).
#pragma once
#include <string>
#include <string_view>

namespace orvane {

struct UplinkTarget {
  std::string host;
  int port = 8000;
  std::string user;
  std::string password;
};

class EventUplink {
 public:
  virtual ~EventUplink() = default;
  // Opens one control connection and logs in. Throws on failure.
  virtual void connect(const UplinkTarget& target) = 0;
  virtual bool connected() const = 0;
  // Changes to the remote folder (absolute paths as given). Throws.
  virtual void change_dir(const std::string& path) = 0;
  // Stores the bytes as the remote file `name` in the current folder,
  // replacing a file of that name. Throws on failure.
  virtual void store(const std::string& name, std::string_view bytes) = 0;
  virtual void disconnect() noexcept = 0;
  // From any thread: the station is closing. The operation under way and
  // every later one fail at once (throw), disconnecting included waits on
  // nothing.
  virtual void cancel() noexcept {}
};

}  // namespace orvane
