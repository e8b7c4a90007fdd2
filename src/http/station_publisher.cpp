#include "http/station_publisher.hpp"

#include "core/limits.hpp"
#include "station/station.hpp"

#include <chrono>
#include <utility>

namespace orvane::http {

StationPublisher::StationPublisher(asio::io_context& ioc, Station& station, std::function<HostPort()> host_port,
                                   StationBoard& board, std::string name)
    : timer_(ioc), station_(station), host_port_(std::move(host_port)), board_(board), name_(std::move(name)) {}

std::shared_ptr<const StationView> StationPublisher::take() const {
  auto view = std::make_shared<StationView>();
  const auto logged = station_.operator_log().appended();
  view->snapshot = station_.snapshot(logged > limits::kHttpMemoLines ? logged - limits::kHttpMemoLines : 0);
  view->counters = station_.counters();
  const auto port = host_port_ ? host_port_() : HostPort{};
  view->hosts_connected = port.connected;
  view->hosts_refused = port.refused;
  view->listening = port.listening;
  view->taken = std::chrono::steady_clock::now();
  return view;
}

void StationPublisher::start() { tick(); }

void StationPublisher::tick() {
  station_.guarded([this] { board_.publish(name_, take()); });
  timer_.expires_after(std::chrono::milliseconds(limits::kHttpPublishMs));
  timer_.async_wait([this](std::error_code ec) {
    if (!ec) tick();
  });
}

}  // namespace orvane::http
