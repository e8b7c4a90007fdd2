#include "station/realtime.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"
#include "core/reply_writer.hpp"
#include "station/command_handlers.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

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

// One batch to each subscriber marked due, in list order, from the
// `from`th on (those before are not due); then each counts its period down
// and those whose time is up get the end acknowledgement. A failed send
// ends the subscriptions served on that connection.
void Realtime::serve(std::size_t from) {
  const auto text = batch();
  log(stamp_hh_nn_ss(wiring_.clock.now()) + " sendrealtime");
  std::vector<const Connection*> failed;
  const auto has_failed = [&](const Connection* c) {
    return std::find(failed.begin(), failed.end(), c) != failed.end();
  };
  for (std::size_t i = from; i < subscribers_.size(); ++i) {
    const auto& s = subscribers_[i];
    if (!s.due || s.lagging || has_failed(s.connection.get())) continue;
    if (s.connection->send(text)) continue;
    log("Error : Cannot Connect socket or socket close!");
    log("Emulator : Program Cancel send realtime");
    failed.push_back(s.connection.get());
  }
  if (!failed.empty()) {
    const auto before = subscribers_.size();
    std::erase_if(subscribers_, [&](const auto& s) { return has_failed(s.connection.get()); });
    from -= std::min(from, before - subscribers_.size());
    if (subscribers_.empty()) timer_.set_enabled(false);
  }
  std::vector<std::shared_ptr<Connection>> ended;
  for (std::size_t i = from; i < subscribers_.size(); ++i) {
    auto& s = subscribers_[i];
    if (!std::exchange(s.due, false)) continue;
    s.lagging = false;
    s.remaining_s -= s.period_s;
    s.next_batch_s = s.period_s;
    if (s.remaining_s <= 0) ended.push_back(s.connection);
  }
  if (ended.empty()) return;
  subscribers_.erase(std::remove_if(subscribers_.begin() + static_cast<std::ptrdiff_t>(from), subscribers_.end(),
                                    [](const auto& s) { return s.remaining_s <= 0; }),
                     subscribers_.end());
  for (const auto& conn : ended) send_end(*conn);
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
  bool any_due = false;
  for (auto& s : subscribers_) {
    s.next_batch_s -= step;
    if (s.next_batch_s > 0) continue;
    // Decided before this batch is queued anywhere, so that a connection's
    // second subscription doesn't take the first one's batch for a lag.
    s.due = any_due = true;
    s.lagging = s.connection->queued_bytes() > 0;
  }
  if (any_due) serve(0);
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
  if (subscribers_.size() >= limits::kMaxRealtimeSubscribers)
    throw std::runtime_error("realtime: " + std::to_string(limits::kMaxRealtimeSubscribers) + " subscriptions already");
  const auto own = std::count_if(subscribers_.begin(), subscribers_.end(),
                                 [&](const auto& s) { return s.connection == connection; });
  if (static_cast<std::size_t>(own) >= limits::kMaxRealtimePerConnection)
    throw std::runtime_error("realtime: " + std::to_string(limits::kMaxRealtimePerConnection) +
                             " subscriptions on this connection already");
  fac_ = std::move(fac);
  sen_ = std::move(sen);
  subscribers_.push_back({connection->remote_address(), connection, duration_s, period_s, period_s});
  // The opening of a long reply: its lines come with each tick, its end
  // with the subscription's.
  if (send(*connection, ReplyWriter::answering(header).take())) {
    subscribers_.back().due = true;
    serve(subscribers_.size() - 1);
  }
  // The running timer's period divides every other subscriber's period and
  // wait already: no need to look at each of them again.
  const auto common = timer_.enabled() ? std::gcd(timer_.interval() / 1000, period_s) : period_s;
  // A running timer keeps its phase unless the common period changes.
  if (!timer_.enabled() || timer_.interval() != common * 1000) {
    timer_.set_interval(static_cast<int>(common * 1000));
    timer_.set_enabled(true);
  }
  wiring_.period_changed();
}

void Realtime::end_by_command(Connection& connection) {
  log("num end realtime : " + int_text(static_cast<std::int64_t>(subscribers_.size())));
  // The connection's own subscription: another process of the same host
  // must not end this one's. Only a connection with none ends the first of
  // its host's (a host that asks on a new connection).
  auto it = std::find_if(subscribers_.begin(), subscribers_.end(),
                         [&](const auto& s) { return s.connection.get() == &connection; });
  if (it == subscribers_.end()) {
    const auto address = connection.remote_address();
    it = std::find_if(subscribers_.begin(), subscribers_.end(), [&](const auto& s) { return s.address == address; });
  }
  if (it == subscribers_.end()) return;
  log("end by command " + it->address);
  // The end closes that subscription's long reply, on its own connection.
  const auto ended = it->connection;
  subscribers_.erase(it);
  send_end(*ended);
}

void handle_begin_realtime(Realtime& realtime, const Request& request) {
  const auto& items = request.items;
  // Both numbers are read before anything changes: a bad request leaves
  // the other subscriptions running.
  const std::int64_t asked_s = to_int_or_throw(trim(item(items, 4)));
  // A period the timer's milliseconds can't hold would wrap to a short or
  // negative interval: refused as a bad number is.
  if (asked_s > limits::kMaxRealtimePeriodS)
    throw std::invalid_argument("realtime period " + std::to_string(asked_s) + " s is longer than " +
                                std::to_string(limits::kMaxRealtimePeriodS) + " s");
  const auto period_s = std::max<std::int64_t>(asked_s, limits::kMinRealtimePeriodS);
  const auto duration_s = to_int_or_throw(trim(item(items, 5)));
  realtime.subscribe(request.header, item(items, 2), item(items, 3), request.connection, period_s, duration_s);
}

}  // namespace orvane
