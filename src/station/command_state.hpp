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

struct RealtimeSubscriber {
  std::string address;                     // host's IP address, the key of the entry
  std::shared_ptr<Connection> connection;  // where its batches go
  std::int64_t remaining_s = 0;            // subscription time left, whole seconds
};

struct RealtimeState {
  std::string fac;  // items 2 and 3 of the latest BEGIN_REALTIME,
  std::string sen;  // used in every realtime line and end acknowledgement
  std::vector<RealtimeSubscriber> subscribers;
};

struct CommandState {
  RealtimeState realtime;
  // Shows "Set Config Error!"; the window puts up a message box (it must post
  // to its own thread), headless runs log the text when this is empty.
  std::function<void(const std::string& text)> show_set_config_error;
};

}  // namespace orvane
