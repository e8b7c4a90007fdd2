// The event check: at each event tick every watched channel's value is
// compared with its thresholds (analog) or last state (digital); the events
// of one check are buffered together with one flush, logged to the day's
// event files, and the buffer is handed to the uplink.
#pragma once
#include "core/local_time.hpp"
#include "platform/clock.hpp"

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
  // stations' and count once that flush is over; a check due before then
  // waits for the next tick.
  void set_flush_group(EventFlushGroup* group) { group_ = group; }

  // One event tick. With the host 127.0.0.1 states are taken, but no events
  // are made and nothing is sent.
  void run();

 private:
  struct Made;
  // After the lines are buffered (`count` lines now wait) or not (`error`).
  void finish(Made& made, std::size_t count, const std::string& error);

  EventFlushGroup* group_ = nullptr;
  bool waiting_for_flush_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  const StationSettings& settings_;
  ChannelTable& table_;
  EventPath& events_;
  const Clock& clock_;
  OperatorLog& log_;
  const std::filesystem::path& dir_;  // log/ for the day's event files
};

}  // namespace orvane
