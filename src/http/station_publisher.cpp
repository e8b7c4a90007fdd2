#include "http/station_publisher.hpp"

#include "station/station.hpp"

#include <chrono>
#include <utility>

namespace orvane::http {

StationPublisher::StationPublisher(asio::io_context& ioc, StationControl control, StationBoard& board,
                                   StationBoard::Slot slot)
    : timer_(ioc), control_(std::move(control)), board_(board), slot_(slot) {}

void StationPublisher::start() { tick(); }

void StationPublisher::publish_now() {
  control_.station.guarded([this] { board_.publish(slot_, take_view(control_)); });
}

void StationPublisher::tick() {
  publish_now();
  timer_.expires_after(std::chrono::milliseconds(limits::kHttpPublishMs));
  timer_.async_wait([this](std::error_code ec) {
    if (!ec) tick();
  });
}

}  // namespace orvane::http
