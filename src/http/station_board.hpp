// The stations the HTTP endpoint shows, by name: for each, the view its own
// thread last published and the way to run an action on that thread. The
// endpoint's threads read views under the board's lock and never touch a
// station. A fleet registers each of its stations the same way, thousands
// of them: names are indexed, and a station thread publishes its stations'
// views in one batch.
#pragma once
#include "core/injected_faults.hpp"
#include "core/limits.hpp"
#include "station/snapshot.hpp"
#include "station/station_counters.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvane {
class Station;
struct SimulatedModules;
}  // namespace orvane

namespace orvane::http {

// What the command port adds to a view; read on the station thread.
struct HostPort {
  std::size_t connected = 0;
  std::uint64_t refused = 0;
  bool listening = false;
  std::string listen;  // "ADDR:PORT" while listening
  std::vector<std::string> addresses;  // the connected hosts'
};

// A station as the endpoint reaches it on its own thread: the station, its
// command port, and its simulated line and injected faults when it has them.
struct StationControl {
  Station& station;
  std::function<HostPort()> host_port;
  long index = 0;  // its place in the fleet file (0 for a station alone)
  SimulatedModules* modules = nullptr;  // the simulated line, if the station reads one
  FaultSet* faults = nullptr;  // null: faults can't be injected into this station
};

// A station as the endpoint shows it, copied on the station's thread.
struct StationView {
  StationSnapshot snapshot;  // memo_new holds the memo's last lines
  StationCounters counters;
  long index = 0;
  std::size_t hosts_connected = 0;
  std::uint64_t hosts_refused = 0;
  bool listening = false;  // the command port is open
  std::string listen;
  std::vector<std::string> host_addresses;
  bool simulated = false;  // its modules are simulated in the process
  std::vector<int> module_addresses;  // the simulated line's modules
  // Each channel's value source ("sine:10:8:60"), empty where the channel
  // reads no simulated input.
  std::array<std::string, limits::kChannels> sources;
  bool faults_injectable = false;
  std::vector<InjectedFault> faults;
  std::chrono::steady_clock::time_point taken;  // when the station thread copied it
};

// The view of `control`'s station now (on its thread).
std::shared_ptr<const StationView> take_view(const StationControl& control);
// The simulated module address and input channel `n` (1..32) reads, when
// it reads one.
std::optional<std::pair<int, int>> channel_input(const Station& station, int n);

class StationBoard {
 public:
  using Action = std::function<void(StationControl&)>;
  // Runs `action` on the station's thread (asio::post into its loop). An
  // action the station never runs (it ended first) is destroyed unrun.
  using Post = std::function<void(Action action)>;
  using Slot = std::size_t;

  // Before the endpoint serves; `name` is the path's and the metrics'
  // `station` label. Throws std::invalid_argument for a name taken.
  Slot add(const std::string& name, Post post);
  // From the station's thread: its newest view replaces the one before.
  void publish(Slot slot, std::shared_ptr<const StationView> view);
  // Many stations' newest views under one taking of the lock.
  void publish(std::vector<std::pair<Slot, std::shared_ptr<const StationView>>> views);

  struct Entry {
    std::string name;
    std::shared_ptr<const StationView> view;  // null until the first publish
  };
  // Every station in the order added, with its newest view.
  std::vector<Entry> entries() const;
  std::size_t size() const;
  std::optional<Slot> find(const std::string& name) const;
  std::shared_ptr<const StationView> view(Slot slot) const;
  // Posts `action` to the named station's thread; false when unknown.
  bool post(const std::string& name, Action action) const;
  void post(Slot slot, Action action) const;

 private:
  struct Station {
    std::string name;
    Post post;
    std::shared_ptr<const StationView> view;
  };

  mutable std::mutex mutex_;
  std::vector<Station> stations_;
  std::unordered_map<std::string, Slot> by_name_;
};

}  // namespace orvane::http
