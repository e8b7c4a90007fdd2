// One double for each collaborator a station or its parts are built with,
// shared by the tests, the benchmarks and the fuzz targets. Each records
// what it is asked (bounded where long runs use it) and can be told to fail.
#pragma once
#include "device/module_poller.hpp"
#include "device/result_codes.hpp"
#include "platform/configured_flag.hpp"
#include "platform/dialer.hpp"
#include "platform/power_control.hpp"
#include "station/connection.hpp"
#include "station/event_flush.hpp"
#include "station/event_uplink.hpp"
#include "station/host_messages.hpp"

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::test {

// What a double keeps of a long run: the first requests, enough for any test.
inline constexpr std::size_t kRecorded = 1024;

// The configured flag, in memory.
class MemoryFlag final : public ConfiguredFlag {
 public:
  explicit MemoryFlag(bool initially = false) : value(initially) {}
  bool value;
  bool is_set() const override { return value; }
  void set() override { value = true; }
};

// Power requests recorded instead of carried out; granted unless told not.
class RecordingPower final : public PowerControl {
 public:
  explicit RecordingPower(bool grants = true) : result(grants) {}
  std::vector<PowerAction> requests;
  bool result;
  bool request(PowerAction a) override {
    if (requests.size() < kRecorded) requests.push_back(a);
    return result;
  }
};

// A device line that answers from a table (or from `answer` when set) and
// records which modules were asked. It opens unless told otherwise; a
// module not in the table times out. A poll completes one turn of the loop
// later, as a line never answers inside the call.
class ScriptedDeviceLine final : public ModulePoller {
 public:
  explicit ScriptedDeviceLine(asio::io_context& ioc) : ioc_(ioc) {}
  ~ScriptedDeviceLine() override { cancel(); }

  int open_code = 0;
  std::map<int, AnalogReadings> modules;  // address -> readings
  std::map<int, int> codes;  // address -> result code
  // Overrides the table: fills the area (kept only on 0), returns the code.
  std::function<int(int address, AnalogReadings& area)> answer;
  std::vector<int> asked;  // the addresses polled, in order
  int opened = 0;

  int open(int, int) override {
    ++opened;
    cancel();
    return open_code;
  }
  void read_modules(std::vector<int> addresses, ModuleReadOptions, AnalogReadings area, Done done) override {
    cancel();
    std::vector<ModuleRead> reads;
    for (const int a : addresses) {
      if (asked.size() < kRecorded) asked.push_back(a);
      AnalogReadings filled = area;
      const int code = answer ? answer(a, filled) : from_table(a, filled);
      if (code == rc::kNoError) area = filled;
      reads.push_back({code, area});
    }
    asio::post(ioc_, [live = live_, reads = std::move(reads), done = std::move(done)]() mutable {
      if (*live) done(std::move(reads));
    });
  }
  void cancel() override {
    *live_ = false;
    live_ = std::make_shared<bool>(true);
  }

 private:
  int from_table(int address, AnalogReadings& area) const {
    if (auto it = codes.find(address); it != codes.end() && it->second != 0) return it->second;
    if (auto it = modules.find(address); it != modules.end()) {
      area = it->second;
      return 0;
    }
    return rc::kTimeOut;
  }

  asio::io_context& ioc_;
  std::shared_ptr<bool> live_ = std::make_shared<bool>(true);
};

// A host's connection that keeps what the station sends. It can refuse
// sends (`fail_`) or have little room left in its queue (`room`).
class FakeConnection final : public Connection {
 public:
  explicit FakeConnection(std::string address = "10.0.0.1") : address_(std::move(address)) {}
  bool send(std::string_view bytes) override {
    if (!open_ || fail_) return false;
    sent.append(bytes);
    ++sends;
    return true;
  }
  void close() override { open_ = false; }
  std::string remote_address() const override { return address_; }
  bool is_open() const override { return open_; }
  std::size_t send_room() const override { return room; }
  void message_done() override { ++messages_done; }
  std::string take() { return std::exchange(sent, {}); }

  std::string sent;
  int sends = 0;
  int messages_done = 0;  // long messages finished in slices
  bool fail_ = false;
  bool open_ = true;
  std::size_t room = std::numeric_limits<std::size_t>::max();  // bytes it still takes

 private:
  std::string address_;
};

// The event uplink's FTP client: counts connections and keeps what is
// stored. A host that is down refuses every connect; `on_store` runs before
// a store (it may throw to fail it), `after_store` after it. With `forward_to`
// every call also goes to a real client.
struct RecordingUplink final : EventUplink {
  int connects = 0;
  bool host_down = false;
  bool up = false;
  std::vector<std::string> stored;
  std::function<void()> on_store;
  std::function<void()> after_store;
  EventUplink* forward_to = nullptr;

  void connect(const UplinkTarget& target) override {
    ++connects;
    if (host_down) throw std::runtime_error("host down");
    if (forward_to) forward_to->connect(target);
    up = true;
  }
  bool connected() const override { return forward_to ? forward_to->connected() : up; }
  void change_dir(const std::string& path) override {
    if (forward_to) forward_to->change_dir(path);
  }
  void store(const std::string& name, std::string_view bytes) override {
    if (on_store) on_store();
    if (forward_to) forward_to->store(name, bytes);
    stored.emplace_back(bytes);
    if (after_store) after_store();
  }
  void disconnect() noexcept override {
    if (forward_to) forward_to->disconnect();
    up = false;
  }
};

// The command server as the station starts it: records what it was asked to
// listen on, and can fail to bind.
class RecordingListener final : public CommandListener {
 public:
  std::vector<int> ports;
  std::string allow_hosts;
  int max_hosts = 0;
  bool fail = false;
  void listen(const ListenSettings& settings) override {
    ports.push_back(settings.port);
    allow_hosts = settings.allow_hosts;
    max_hosts = settings.max_hosts;
    if (fail) throw std::runtime_error("bind: Address already in use");
  }
};

// A dialler that plays a script: its phonebook, how dialling ends and the
// states the link passes through, one per look at the connections.
struct ScriptedDialer final : Dialer {
  std::mutex mutex;
  std::vector<std::string> entries{"vrn"};
  std::optional<DialError> dial_error;
  std::vector<int> states{kDialStateConnected};
  bool listing_fails = false;
  bool hang_up_fails = false;
  bool linked = false;
  std::size_t looks = 0;
  std::vector<std::string> calls;
  std::function<void()> during_dial;

  std::vector<std::string> phonebook_entries() override { return entries; }
  int dial(const std::string& entry, const std::string& number, const std::string& user,
           const std::string& password) override {
    if (during_dial) during_dial();
    std::lock_guard g(mutex);
    calls.push_back("dial " + entry + " " + number + " " + user + " " + password);
    if (dial_error) throw *dial_error;
    linked = true;
    return 7;
  }
  std::vector<DialConnection> connections() override {
    std::lock_guard g(mutex);
    if (listing_fails) throw DialError("no list");
    if (!linked) return {};
    const int state = states[std::min(looks++, states.size() - 1)];
    return {DialConnection{7, "vrn", state}};
  }
  void hang_up(int handle) override {
    std::lock_guard g(mutex);
    calls.push_back("hang up " + std::to_string(handle));
    if (hang_up_fails) throw DialError("busy");
    linked = false;
  }
};

// Counts pings; asks a real pinger when given one, else nobody answers.
struct CountingPinger final : Pinger {
  Pinger* real = nullptr;
  int pings = 0;
  explicit CountingPinger(Pinger* p = nullptr) : real(p) {}
  bool ping(const std::string& host, std::chrono::milliseconds timeout) override {
    ++pings;
    return real != nullptr && real->ping(host, timeout);
  }
};

// A shared flush that ends only when the test says so, and how.
struct HeldFlush : EventFlushGroup {
  std::vector<std::function<void(bool)>> appends;
  std::vector<std::function<void(bool)>> files;
  void after_flush(const std::filesystem::path&, std::function<void(bool)> done) override {
    appends.push_back(std::move(done));
  }
  void after_file_flush(const std::filesystem::path&, std::function<void(bool)> done) override {
    files.push_back(std::move(done));
  }
  static void end(std::vector<std::function<void(bool)>>& of, bool flushed) {
    auto done = std::move(of.front());
    of.erase(of.begin());
    done(flushed);
  }
};

}  // namespace orvane::test
