// Realtime reports: BEGIN_REALTIME / END_REALTIME and the realtime tick. Each
// subscription keeps its own period and time left; the realtime timer runs at the
// greatest common divisor of the periods (and of the waits to the next
// batches), so every subscriber's batches fall on its ticks, and stops when
// the last subscriber is gone.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace orvane {
namespace {

std::string realtime_batch(Station& st) {
  const auto ts = stamp_yyyymmddhhnn(st.now());
  const auto& rt = st.commands.realtime;
  ReplyWriter batch;
  for (const auto& ch : st.channels) {
    if (!ch.enabled) continue;
    batch.line("RT ", ts, " ", rt.fac, " ", rt.fac, rt.sen, " ", ch.port_id, " IS ", ch.value, " ");
  }
  return std::move(batch).take();
}

// The end acknowledgement closes the long realtime reply: no SOH, no header.
void send_realtime_end(Station& st, Connection& conn) {
  const auto& rt = st.commands.realtime;
  ReplyWriter ack;
  ack.line("ACK ", stamp_yyyymmddhhnn(st.now()), " ", rt.fac, " ", rt.sen, ' ');
  st.log(stamp_hh_nn_ss(st.now()) + " End Loop RealTime");
  send_reply(st, conn, std::move(ack).end());
}

RealtimeSubscriber* find_subscriber(Station& st, std::uint64_t id) {
  auto& subs = st.commands.realtime.subscribers;
  const auto it = std::find_if(subs.begin(), subs.end(), [&](const auto& s) { return s.id == id; });
  return it == subs.end() ? nullptr : &*it;
}

// One batch to each of `due` still subscribed, in list order; then each
// counts its period down and those whose time is up get the end
// acknowledgement. A failed send removes its subscriber on the way.
void serve(Station& st, const std::vector<std::uint64_t>& due) {
  if (due.empty()) return;
  const auto batch = realtime_batch(st);
  st.log(stamp_hh_nn_ss(st.now()) + " sendrealtime");
  for (const auto id : due) {
    if (const auto* s = find_subscriber(st, id)) {
      const auto conn = s->connection;
      send_reply(st, *conn, batch);
    }
  }
  for (const auto id : due) {
    auto* s = find_subscriber(st, id);
    if (!s) continue;
    s->remaining_s -= s->period_s;
    s->next_batch_s = s->period_s;
    if (s->remaining_s > 0) continue;
    const auto conn = s->connection;
    auto& subs = st.commands.realtime.subscribers;
    subs.erase(subs.begin() + (s - subs.data()));
    send_realtime_end(st, *conn);
  }
}

// The timer's period: every subscriber's next batch and period are whole
// multiples of it.
std::int64_t common_period_s(const std::vector<RealtimeSubscriber>& subs) {
  std::int64_t g = 0;
  for (const auto& s : subs) g = std::gcd(std::gcd(g, s.period_s), s.next_batch_s);
  return g;
}

}  // namespace

void end_realtime_of(Station& st, const Connection& conn) {
  auto& subs = st.commands.realtime.subscribers;
  const auto gone = std::erase_if(subs, [&](const auto& s) { return s.connection.get() == &conn; });
  if (gone == 0) return;
  if (subs.empty()) st.realtime_timer.set_enabled(false);
  st.log("Emulator : Program Cancel send realtime");
}

void Station::on_realtime_tick() {
  auto& subs = commands.realtime.subscribers;
  if (subs.empty()) {
    apply_sampling_intervals();
    realtime_timer.set_enabled(false);
    return;
  }
  const auto step = static_cast<std::int64_t>(std::lround(realtime_timer.interval() / 1000.0));
  std::vector<std::uint64_t> due;
  for (auto& s : subs) {
    s.next_batch_s -= step;
    if (s.next_batch_s <= 0) due.push_back(s.id);
  }
  serve(*this, due);
  // Right after a tick the timer can take a new period without moving
  // anyone's next batch.
  const auto common = common_period_s(subs);
  if (common > 0 && common * 1000 != realtime_timer.interval()) {
    realtime_timer.set_interval(static_cast<int>(common * 1000));
    apply_sampling_intervals();
  }
}

void handle_begin_realtime(Station& st, const Request& request) {
  const auto& items = request.items;
  const auto& conn = request.connection;
  // Both numbers are read before anything changes: a bad request leaves
  // the other subscriptions running.
  const auto period_s = std::clamp<std::int64_t>(to_int_or_throw(trim(item(items, 4))), limits::kMinRealtimePeriodS,
                                                 limits::kMaxRealtimePeriodS);
  const auto duration_s = to_int_or_throw(trim(item(items, 5)));
  auto& rt = st.commands.realtime;
  rt.fac = item(items, 2);
  rt.sen = item(items, 3);
  const auto id = ++rt.last_id;
  rt.subscribers.push_back({conn->remote_address(), conn, duration_s, period_s, period_s, id});
  // The opening of a long reply: its lines come with each tick, its end
  // with the subscription's.
  send_reply(st, *conn, ReplyWriter::answering(request.header).take());
  serve(st, {id});  // the first batch at once, to the new subscriber only
  const auto common = rt.subscribers.empty() ? period_s : common_period_s(rt.subscribers);
  // A running timer keeps its phase unless the common period changes.
  if (!st.realtime_timer.enabled() || st.realtime_timer.interval() != common * 1000) {
    st.realtime_timer.set_interval(static_cast<int>(common * 1000));
    st.realtime_timer.set_enabled(true);
  }
  st.apply_sampling_intervals();
}

void handle_end_realtime(Station& st, Connection& conn) {
  auto& subs = st.commands.realtime.subscribers;
  st.log("num end realtime : " + int_text(static_cast<std::int64_t>(subs.size())));
  const auto address = conn.remote_address();
  const auto it = std::find_if(subs.begin(), subs.end(), [&](const auto& s) { return s.address == address; });
  if (it == subs.end()) return;
  st.log("end by command " + address);
  subs.erase(it);
  send_realtime_end(st, conn);
}

}  // namespace orvane
