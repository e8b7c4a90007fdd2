// The stations the HTTP endpoint shows, by name: for each, the view its own
// thread last published and the way to run an action on that thread. The
// endpoint's threads read views under the board's lock and never touch a
// station; a fleet registers each of its stations the same way.
#pragma once
#include "station/snapshot.hpp"
#include "station/station_counters.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvane {
class Station;
}

namespace orvane::http {

// A station as the endpoint shows it, copied on the station's thread.
struct StationView {
  StationSnapshot snapshot;  // memo_new holds the memo's last lines
  StationCounters counters;
  std::size_t hosts_connected = 0;
  std::uint64_t hosts_refused = 0;
  bool listening = false;  // the command port is open
  std::chrono::steady_clock::time_point taken;  // when the station thread copied it
};

class StationBoard {
 public:
  // Runs `action` on the station's thread (asio::post into its loop).
  using Post = std::function<void(std::function<void(Station&)> action)>;

  // Before the endpoint serves; `name` is the path's and the metrics'
  // `station` label.
  void add(const std::string& name, Post post);
  // From the station's thread: its newest view replaces the one before.
  void publish(const std::string& name, std::shared_ptr<const StationView> view);

  struct Entry {
    std::string name;
    std::shared_ptr<const StationView> view;  // null until the first publish
  };
  // Every station in the order added, with its newest view.
  std::vector<Entry> entries() const;
  // False when no station has that name.
  bool has(const std::string& name) const;
  std::shared_ptr<const StationView> view(const std::string& name) const;
  // Posts `action` to the named station's thread; false when unknown.
  bool post(const std::string& name, std::function<void(Station&)> action) const;

 private:
  struct Slot {
    std::string name;
    Post post;
    std::shared_ptr<const StationView> view;
  };
  const Slot* find(const std::string& name) const;

  mutable std::mutex mutex_;
  std::vector<Slot> slots_;  // few for a station; a fleet would index them by name
};

}  // namespace orvane::http
