// The event check: at each event tick every watched channel's value is
// compared with its thresholds (analog) or last state (digital); the events
// of one check are buffered together with one flush, logged to the day's
// event files, and the buffer is handed to the uplink.
#pragma once
#include "platform/clock.hpp"

#include <filesystem>

namespace orvane {

class ChannelTable;
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

  // One event tick. With the host 127.0.0.1 states are taken, but no events
  // are made and nothing is sent.
  void run();

 private:
  const StationSettings& settings_;
  ChannelTable& table_;
  EventPath& events_;
  const Clock& clock_;
  OperatorLog& log_;
  const std::filesystem::path& dir_;  // log/ for the day's event files
};

}  // namespace orvane
