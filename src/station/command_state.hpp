// What the command server keeps in the station between messages: the
// realtime subscribers with their shared identifiers, and the hook through
// which SET_CONFIG reports its failure.
#pragma once
#include "station/connection.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

// One subscription: its own period and time left, so a later subscription
// never changes the rhythm or the end of an earlier one.
struct RealtimeSubscriber {
  std::string address;                     // host's IP address, the key of the entry
  std::shared_ptr<Connection> connection;  // where its batches go
  std::int64_t remaining_s = 0;            // subscription time left, whole seconds
  std::int64_t period_s = 1;               // seconds between its batches
  std::int64_t next_batch_s = 0;           // seconds until its next batch
  std::uint64_t id = 0;                    // tells apart two subscriptions of one connection
};

struct RealtimeState {
  std::string fac;  // items 2 and 3 of the latest BEGIN_REALTIME,
  std::string sen;  // used in every realtime line and end acknowledgement
  std::vector<RealtimeSubscriber> subscribers;
  std::uint64_t last_id = 0;
};

struct CommandState {
  RealtimeState realtime;
  // Shows "Set Config Error!"; the window puts up a message box (it must post
  // to its own thread), headless runs log the text when this is empty.
  std::function<void(const std::string& text)> show_set_config_error;
};

}  // namespace orvane
