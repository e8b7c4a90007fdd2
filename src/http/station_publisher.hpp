// Copies one station's state onto the board every kHttpPublishMs, on the
// station's thread (a timer of its loop). That copy is also the station's
// heartbeat: /livez fails once the newest is too old.
#pragma once
#include "http/station_board.hpp"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <functional>
#include <string>

namespace orvane::http {

// What the command port adds to a view; read on the station thread.
struct HostPort {
  std::size_t connected = 0;
  std::uint64_t refused = 0;
  bool listening = false;
};

class StationPublisher {
 public:
  StationPublisher(asio::io_context& ioc, Station& station, std::function<HostPort()> host_port, StationBoard& board,
                   std::string name);
  // Publishes at once and then every period; call on the station thread.
  void start();
  void stop() { timer_.cancel(); }

  // The view now, as published (station thread).
  std::shared_ptr<const StationView> take() const;

 private:
  void tick();

  asio::steady_timer timer_;
  Station& station_;
  std::function<HostPort()> host_port_;
  StationBoard& board_;
  std::string name_;
};

}  // namespace orvane::http
