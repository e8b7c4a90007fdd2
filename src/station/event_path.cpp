#include "station/event_path.hpp"

#include "core/comma_text.hpp"

namespace orvane {

DeliverySettings delivery_settings(const StationSettings& settings) {
  DeliverySettings s;
  s.target.host = trim_copy(settings.host);
  s.target.port = settings.server_port;
  s.target.user = settings.user;
  s.target.password = settings.password;
  s.eventpath = settings.event_path;
  s.dial_up = settings.connect_type == ConnectType::dial_up;
  s.dial.number = settings.telephone;
  s.dial.user = settings.user;
  s.dial.password = settings.password;
  s.dial.host = settings.host;
  s.dial.confirm_by_ping = settings.connect_mode == ConnectMode::confirm_by_ping;
  return s;
}

EventPath::EventPath(OperatorLog& log, const Clock& clock, SteadyTime& steady, const std::filesystem::path& buffer_file,
                     Links links)
    : log_(log),
      buffer_file_(buffer_file),
      delivery_(std::make_unique<EventDelivery>(
          buffer_, [&log](std::string line) { log.log(std::move(line)); }, clock, links.uplink, links.dialer,
          links.pinger, dial_online_, steady, links.upload_pool)) {
  buffer_.use_file(buffer_file_);
}

void EventPath::load() {
  if (buffer_.load(buffer_file_).torn_last_line)
    log_.log("Events : Event.Sav ended inside a line (an interrupted write); the line is kept as it is");
  dial_online_ = false;
}

void EventPath::hang_up_all() {
  if (auto* d = delivery_->dial_up()) d->hang_up_all();
}

}  // namespace orvane
