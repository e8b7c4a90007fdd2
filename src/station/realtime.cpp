// Realtime reports: BEGIN_REALTIME / END_REALTIME, the subscriber list keyed
// by host address, and the realtime tick that sends the batches and counts the
// subscriptions down.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
bool send_realtime_end(Station& st, Connection& conn) {
  const auto& rt = st.commands.realtime;
  ReplyWriter ack;
  ack.line("ACK ", stamp_yyyymmddhhnn(st.now()), " ", rt.fac, " ", rt.sen, ' ');
  st.log(stamp_hh_nn_ss(st.now()) + " End Loop RealTime");
  return send_reply(st, conn, std::move(ack).end());
}

}  // namespace

void cancel_realtime(Station& st) {
  st.commands.realtime.subscribers.clear();
  st.realtime_timer.set_enabled(false);
  st.log("Emulator : Program Cancel send realtime");
}

void Station::on_realtime_tick() {
  auto& subs = commands.realtime.subscribers;
  if (subs.empty()) {
    apply_sampling_intervals();
    realtime_timer.set_enabled(false);
    return;
  }
  const auto batch = realtime_batch(*this);
  log(stamp_hh_nn_ss(now()) + " sendrealtime");
  for (std::size_t i = 0; i < subs.size(); ++i) {
    const auto conn = subs[i].connection;  // the entry may go while sending
    if (!send_reply(*this, *conn, batch) && subs.empty()) return;  // realtime was cancelled
  }
  const auto step = static_cast<std::int64_t>(std::lround(realtime_timer.interval() / 1000.0));
  for (std::size_t i = 0; i < subs.size();) {
    subs[i].remaining_s -= step;
    if (subs[i].remaining_s > 0) {
      ++i;
      continue;
    }
    const auto conn = subs[i].connection;
    subs.erase(subs.begin() + static_cast<std::ptrdiff_t>(i));
    send_realtime_end(*this, *conn);  // may cancel realtime: the loop then ends on an empty list
  }
}

void handle_begin_realtime(Station& st, const Request& request) {
  const auto& items = request.items;
  const auto& conn = request.connection;
  st.realtime_timer.set_enabled(false);
  // The opening of a long reply: its lines come with each tick, its end
  // with the subscription's.
  const auto reply = ReplyWriter::answering(request.header).take();
  auto& rt = st.commands.realtime;
  rt.fac = item(items, 2);
  rt.sen = item(items, 3);
  const std::int64_t period_s = std::max<std::int64_t>(to_int_or_throw(trim(item(items, 4))), limits::kMinRealtimePeriodS);
  const auto duration_s = to_int_or_throw(trim(item(items, 5)));
  const auto period_ms = std::min<std::int64_t>(period_s * 1000, std::numeric_limits<int>::max() / 1000 * 1000);
  st.realtime_timer.set_interval(static_cast<int>(period_ms));
  rt.subscribers.push_back({conn->remote_address(), conn, duration_s});
  send_reply(st, *conn, reply);
  st.on_realtime_tick();
  st.realtime_timer.set_enabled(true);
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
