// The event check: at each event tick every watched channel's value is
// compared with its thresholds (analog) or last state (digital); the events
// of one check are buffered together with one flush, logged to the day's
// event files, and the buffer is handed to the uplink.
#pragma once
#include "core/local_time.hpp"
#include "platform/clock.hpp"

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

class ChannelTable;
class EventFlushGroup;
class EventPath;
class OperatorLog;
struct StationSettings;

class EventCheck {
 public:
  EventCheck(const StationSettings& settings, ChannelTable& table, EventPath& events, const Clock& clock,
             OperatorLog& log, const std::filesystem::path& dir)
      : settings_(settings), table_(table), events_(events), clock_(clock), log_(log), dir_(dir) {}
  EventCheck(const EventCheck&) = delete;
  EventCheck& operator=(const EventCheck&) = delete;

  // With a flush group, a check's lines are flushed together with other
  // stations' and count once that flush is over. Checks due meanwhile go on
  // from the states the waiting ones will take (up to kMaxWaiting checks
  // wait; one due past that waits for the next tick); a failed flush drops
  // its check and every later one still waiting, so their events are made
  // again at the next check.
  void set_flush_group(EventFlushGroup* group) { group_ = group; }

  // One event tick. With the host 127.0.0.1 states are taken, but no events
  // are made and nothing is sent.
  void run();

 private:
  struct Made {
    LocalTime at;
    struct Change {
      int row;
      int state;
    };
    std::vector<Change> changes;
    std::vector<std::string> lines;  // as buffered
    std::vector<std::string> raw_lines;  // with the panel's text as the value, for the raw log
  };
  // After the lines are buffered (`count` lines now wait) or not (`error`).
  void finish(Made& made, std::size_t count, const std::string& error);

  static constexpr std::size_t kMaxWaiting = 4;
  // A row's state once the waiting checks count.
  int state_to_come(int row) const;

  EventFlushGroup* group_ = nullptr;
  std::deque<Made> waiting_;  // oldest first
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  const StationSettings& settings_;
  ChannelTable& table_;
  EventPath& events_;
  const Clock& clock_;
  OperatorLog& log_;
  const std::filesystem::path& dir_;  // log/ for the day's event files
};

}  // namespace orvane
