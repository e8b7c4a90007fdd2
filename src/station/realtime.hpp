// Realtime reports: the subscriptions BEGIN_REALTIME opens and the timer that
// serves them. Each subscription keeps its own period and time left; the
// timer runs at the greatest common divisor of the periods (and of the waits
// to the next batches), so every subscriber's batches fall on its ticks, and
// stops when the last subscriber is gone. A host that reads its batches
// slower than they come skips those due while its last one still waits to
// be taken: its time runs on, and nothing piles up for it.
#pragma once
#include "platform/clock.hpp"
#include "station/channel_model.hpp"
#include "station/connection.hpp"
#include "station/operator_log.hpp"
#include "station/station_timer.hpp"

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// One subscription: its own period and time left, so a later subscription
// never changes the rhythm or the end of an earlier one.
struct RealtimeSubscriber {
  std::string address;  // host's IP address, the key of the entry
  std::shared_ptr<Connection> connection;  // where its batches go
  std::int64_t remaining_s = 0;  // subscription time left, whole seconds
  std::int64_t period_s = 1;  // seconds between its batches
  std::int64_t next_batch_s = 0;  // seconds until its next batch
  bool due = false;  // gets the batch being served
  bool lagging = false;  // ... but skips it: its connection still queues the last one
};

class Realtime {
 public:
  // What realtime uses of the rest of the station.
  struct Wiring {
    OperatorLog& log;
    const Clock& clock;
    const ChannelRecords& channels;  // a batch has a line per enabled channel
    std::function<void()> period_changed;  // the read cycle keeps up with a shorter period
  };

  Realtime(asio::io_context& ioc, SteadyTime& time, Wiring wiring);

  // Runs on each tick of the timer; the station wraps on_tick in its guard.
  void set_tick_handler(std::function<void()> handler) { timer_.set_handler(std::move(handler)); }
  void on_tick();

  // BEGIN_REALTIME: the opening of the long reply, the first batch at once
  // to the new subscriber only, then one every `period_s` for `duration_s`.
  // `fac` and `sen` are used in every later line and end acknowledgement.
  // Throws std::runtime_error, with nothing changed, when the connection or
  // the station already has the most subscriptions it may.
  void subscribe(std::string_view header, std::string fac, std::string sen,
                 const std::shared_ptr<Connection>& connection, std::int64_t period_s, std::int64_t duration_s);
  // END_REALTIME: ends the connection's first subscription, or when it has
  // none, the first of its host's address; the end acknowledgement goes on
  // the connection that subscription's batches went to.
  void end_by_command(Connection& connection);
  // Ends every subscription served on `connection` (its send failed); the
  // timer stops when nobody is left.
  void end_of(const Connection& connection);

  // Sends a reply; a failed send is logged ("Error : Cannot Connect socket
  // or socket close!") and ends the subscriptions served on that connection.
  bool send(Connection& connection, std::string_view text);

  bool running() const { return timer_.enabled(); }
  std::chrono::milliseconds period() const { return std::chrono::milliseconds(timer_.interval()); }
  const std::vector<RealtimeSubscriber>& subscribers() const { return subscribers_; }

 private:
  std::string batch() const;
  void send_end(Connection& connection);
  void serve(std::size_t from);
  void log(std::string text) { wiring_.log.log(std::move(text)); }

  StationTimer timer_;
  Wiring wiring_;
  std::string fac_;  // items 2 and 3 of the latest BEGIN_REALTIME
  std::string sen_;
  std::vector<RealtimeSubscriber> subscribers_;
};

}  // namespace orvane
