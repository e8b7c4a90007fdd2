// Copies one station's state onto the board every kHttpPublishMs, on the
// station's thread (a timer of its loop). That copy is also the station's
// heartbeat: /livez fails once the newest is too old.
#pragma once
#include "http/station_board.hpp"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace orvane::http {

class StationPublisher {
 public:
  StationPublisher(asio::io_context& ioc, StationControl control, StationBoard& board, StationBoard::Slot slot);
  // Publishes at once and then every period; call on the station thread.
  void start();
  void stop() { timer_.cancel(); }
  // Publishes now (after an action, so that its answer and the view agree).
  void publish_now();
  StationControl& control() { return control_; }

 private:
  void tick();

  asio::steady_timer timer_;
  StationControl control_;
  StationBoard& board_;
  StationBoard::Slot slot_;
};

}  // namespace orvane::http
