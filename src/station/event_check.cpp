#include "station/event_check.hpp"

#include "core/comma_text.hpp"
#include "core/event_record.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"
#include "station/channel_table.hpp"
#include "station/event_flush.hpp"
#include "station/event_log_files.hpp"
#include "station/event_path.hpp"
#include "station/settings.hpp"

#include <string>
#include <utility>
#include <vector>

namespace orvane {
namespace {
constexpr const char* kLoopbackHost = "127.0.0.1";
}  // namespace

int EventCheck::state_to_come(int row) const {
  for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it)
    for (const auto& c : it->changes)
      if (c.row == row) return c.state;
  return table_.panel(row).event_state;
}

void EventCheck::run() {
  if (waiting_.size() >= kMaxWaiting) return;
  const auto& settings = settings_;
  const auto& sensor_table = std::as_const(table_).sensors();
  auto& events = events_.buffer();
  const bool loopback = trim(settings.host) == kLoopbackHost;
  // One time for the whole check: its lines, their stamps and the day's log
  // files belong to the same instant.
  const LocalTime at = clock_.now();
  const auto stamp = stamp_yyyymmddhhnn(at);
  // The events of one check are buffered together, with one flush; each
  // counts (and its state is taken) only once that flush succeeded. An event
  // that could not be buffered is made again at the next check.
  Made made{at, {}, {}, {}};
  auto& changes = made.changes;
  auto& lines = made.lines;
  auto& raw_lines = made.raw_lines;
  for (int row = 1; row < sensor_table.row_count(); ++row) {
    if (!row_watched(sensor_table, row)) continue;
    // Rows past the last panel have no value to watch.
    if (!ChannelTable::has_panel(row)) continue;
    auto& p = table_.panel(row);
    const auto value = panel_value(p);
    const int state = row_event_state(sensor_table, row, value);
    if (state == state_to_come(row)) continue;
    if (loopback) {
      p.event_state = state;
      continue;
    }
    const char kind = row_digital(sensor_table, row) ? 'D' : 'A';
    const auto port_id = sensor_table.cell(row, col::kPortId);
    auto line = event_line(kind, stamp, settings.factory_id, settings.sensor_id, port_id, int_text(value));
    if (trim(line).empty()) continue;
    changes.push_back({row, state});
    lines.push_back(std::move(line));
    raw_lines.push_back(event_line(kind, stamp, settings.factory_id, settings.sensor_id, port_id, trim(p.value)));
  }
  if (lines.empty()) {
    if (!loopback) events_.check_and_send(settings);
    return;
  }
  if (group_) {
    try {
      events.append_unflushed(lines);
    } catch (const std::exception& e) {
      finish(made, 0, e.what());
      return;
    }
    waiting_.push_back(std::move(made));
    // Flushes end in the order they were asked for: each ends the oldest check.
    group_->after_flush(events.file(), [this, alive = std::weak_ptr<bool>(alive_)](bool flushed) {
      if (alive.expired() || waiting_.empty()) return;
      auto done = std::move(waiting_.front());
      waiting_.pop_front();
      std::size_t count = 0;
      std::string error;
      try {
        const auto counted = events_.buffer().commit_appended(flushed);
        if (counted)
          count = *counted;
        else
          error = "Cannot write file " + events_.buffer().file().string() + ": the flush failed";
      } catch (const std::exception& e) {
        error = e.what();
      }
      finish(done, count, error);
    });
    return;
  }
  std::size_t count = 0;
  std::string error;
  try {
    count = events.add_all(lines);
  } catch (const std::exception& e) {
    error = e.what();
  }
  finish(made, count, error);
}

void EventCheck::finish(Made& made, std::size_t count, const std::string& error) {
  auto& changes = made.changes;
  const auto& at = made.at;
  if (!error.empty()) {
    log_.log("Error : event not buffered: " + error);
    changes.clear();
  }
  if (!changes.empty()) {
    // Each day file takes the check's lines in one write; what each line met
    // is logged after its "Add Event", as if they had been written one by one.
    // The events are buffered: nothing here may keep their states from being taken.
    auto write_logs = [&](auto write, const std::vector<std::string>& of) {
      try {
        return write(dir_, at, of);
      } catch (const std::exception& e) {
        return std::vector<std::string>(of.size(), e.what());
      }
    };
    events_.counters().added += changes.size();
    const auto log_errors = write_logs(write_event_logs, made.lines);
    const auto raw_errors = write_logs(write_raw_event_logs, made.raw_lines);
    // This tick's lines are the buffer's last ones.
    for (std::size_t i = 0; i < changes.size(); ++i) {
      log_.log("Events : Add Event to buffer " + std::to_string(count - changes.size() + 1 + i) + " Events");
      if (!log_errors[i].empty()) log_.log("Error : " + log_errors[i]);
      if (!raw_errors[i].empty()) log_.log("Error : " + raw_errors[i]);
      table_.panel(changes[i].row).event_state = changes[i].state;
    }
  }
  if (trim(settings_.host) != kLoopbackHost) events_.check_and_send(settings_);
}

}  // namespace orvane
