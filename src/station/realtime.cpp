#include "station/realtime.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"
#include "core/reply_writer.hpp"
#include "station/command_handlers.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace orvane {
namespace {

// The timer's period: every subscriber's next batch and period are whole
// multiples of it.
std::int64_t common_period_s(const std::vector<RealtimeSubscriber>& subs) {
  std::int64_t g = 0;
  for (const auto& s : subs) g = std::gcd(std::gcd(g, s.period_s), s.next_batch_s);
  return g;
}

}  // namespace

Realtime::Realtime(asio::io_context& ioc, SteadyTime& time, Wiring wiring)
    : timer_(ioc, time, "realtime"), wiring_(std::move(wiring)) {}

std::string Realtime::batch() const {
  const auto ts = stamp_yyyymmddhhnn(wiring_.clock.now());
  ReplyWriter batch;
  for (const auto& ch : wiring_.channels) {
    if (!ch.enabled) continue;
    batch.line("RT ", ts, " ", fac_, " ", fac_, sen_, " ", ch.port_id, " IS ", ch.value, " ");
  }
  return std::move(batch).take();
}

bool Realtime::send(Connection& connection, std::string_view text) {
  if (connection.send(text)) return true;
  log("Error : Cannot Connect socket or socket close!");
  end_of(connection);
  return false;
}

// The end acknowledgement closes the long realtime reply: no SOH, no header.
void Realtime::send_end(Connection& connection) {
  const auto now = wiring_.clock.now();
  ReplyWriter ack;
  ack.line("ACK ", stamp_yyyymmddhhnn(now), " ", fac_, " ", sen_, ' ');
  log(stamp_hh_nn_ss(now) + " End Loop RealTime");
  send(connection, std::move(ack).end());
}

RealtimeSubscriber* Realtime::find(std::uint64_t id) {
  const auto it = std::find_if(subscribers_.begin(), subscribers_.end(), [&](const auto& s) { return s.id == id; });
  return it == subscribers_.end() ? nullptr : &*it;
}

// One batch to each of `due` still subscribed, in list order; then each
// counts its period down and those whose time is up get the end
// acknowledgement. A failed send removes its subscriber on the way.
void Realtime::serve(const std::vector<std::uint64_t>& due) {
  if (due.empty()) return;
  const auto text = batch();
  log(stamp_hh_nn_ss(wiring_.clock.now()) + " sendrealtime");
  for (const auto id : due) {
    if (const auto* s = find(id)) {
      const auto conn = s->connection;
      send(*conn, text);
    }
  }
  for (const auto id : due) {
    auto* s = find(id);
    if (!s) continue;
    s->remaining_s -= s->period_s;
    s->next_batch_s = s->period_s;
    if (s->remaining_s > 0) continue;
    const auto conn = s->connection;
    subscribers_.erase(subscribers_.begin() + (s - subscribers_.data()));
    send_end(*conn);
  }
}

void Realtime::end_of(const Connection& connection) {
  const auto gone = std::erase_if(subscribers_, [&](const auto& s) { return s.connection.get() == &connection; });
  if (gone == 0) return;
  if (subscribers_.empty()) timer_.set_enabled(false);
  log("Emulator : Program Cancel send realtime");
}

void Realtime::on_tick() {
  if (subscribers_.empty()) {
    wiring_.period_changed();
    timer_.set_enabled(false);
    return;
  }
  const auto step = static_cast<std::int64_t>(std::lround(timer_.interval() / 1000.0));
  std::vector<std::uint64_t> due;
  for (auto& s : subscribers_) {
    s.next_batch_s -= step;
    if (s.next_batch_s <= 0) due.push_back(s.id);
  }
  serve(due);
  // Right after a tick the timer can take a new period without moving
  // anyone's next batch.
  const auto common = common_period_s(subscribers_);
  if (common > 0 && common * 1000 != timer_.interval()) {
    timer_.set_interval(static_cast<int>(common * 1000));
    wiring_.period_changed();
  }
}

void Realtime::subscribe(std::string_view header, std::string fac, std::string sen,
                         const std::shared_ptr<Connection>& connection, std::int64_t period_s,
                         std::int64_t duration_s) {
  fac_ = std::move(fac);
  sen_ = std::move(sen);
  const auto id = ++last_id_;
  subscribers_.push_back({connection->remote_address(), connection, duration_s, period_s, period_s, id});
  // The opening of a long reply: its lines come with each tick, its end
  // with the subscription's.
  send(*connection, ReplyWriter::answering(header).take());
  serve({id});
  const auto common = subscribers_.empty() ? period_s : common_period_s(subscribers_);
  // A running timer keeps its phase unless the common period changes.
  if (!timer_.enabled() || timer_.interval() != common * 1000) {
    timer_.set_interval(static_cast<int>(common * 1000));
    timer_.set_enabled(true);
  }
  wiring_.period_changed();
}

void Realtime::end_by_command(Connection& connection) {
  log("num end realtime : " + int_text(static_cast<std::int64_t>(subscribers_.size())));
  const auto address = connection.remote_address();
  const auto it =
      std::find_if(subscribers_.begin(), subscribers_.end(), [&](const auto& s) { return s.address == address; });
  if (it == subscribers_.end()) return;
  log("end by command " + address);
  subscribers_.erase(it);
  send_end(connection);
}

void handle_begin_realtime(Realtime& realtime, const Request& request) {
  const auto& items = request.items;
  // Both numbers are read before anything changes: a bad request leaves
  // the other subscriptions running.
  const auto period_s = std::clamp<std::int64_t>(to_int_or_throw(trim(item(items, 4))), limits::kMinRealtimePeriodS,
                                                 limits::kMaxRealtimePeriodS);
  const auto duration_s = to_int_or_throw(trim(item(items, 5)));
  realtime.subscribe(request.header, item(items, 2), item(items, 3), request.connection, period_s, duration_s);
}

}  // namespace orvane
