#include "station/command_dispatch.hpp"

#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/reply_writer.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <utility>

namespace orvane {

const std::string& item(const Items& items, std::size_t k) {
  if (k >= items.size()) throw std::out_of_range("List index out of bounds (" + std::to_string(k) + ")");
  return items[k];
}

bool send_reply(Realtime& realtime, Connection& conn, std::string_view text) { return realtime.send(conn, text); }

namespace {

// When a command line that doesn't carry this station's identity is still
// taken.
enum class Unaddressed {
  refused,
  accepted,
  accepted_for_any_station,  // only with "*" as the factory item (READ_CONFIG)
};

// What a command sees of the work SET_ID, DELETE_ID and SET_CONFIG leave
// for the end of the message: that work is done before it runs.
enum class Sees {
  nothing,  // the sensor rows and identity in memory only, changed at once
  memory,  // channel links, panels, timers, data mode
  files,  // station files too (sensor.con, emulate.ini, history)
};

// The parts of the station the configuration commands change.
ConfigParts config_parts(Station& st) { return {st.settings(), st.channel_table(), st, st.operator_log(), st.dir()}; }

struct CommandEntry {
  std::string_view word;
  void (*handle)(Station& st, const Request& request);
  bool acknowledged;  // the message gets its one ACK when this command ran
  bool ends_receipt_lines;  // no "receive Command" log pair from here on in the message
  Unaddressed unaddressed;
  Sees sees;
};

constexpr std::array kCommands{
    CommandEntry{"SET_CONFIG",
                 [](Station& st, const Request& r) { handle_set_config(config_parts(st), r.items, r.marks); }, true,
                 false, Unaddressed::accepted, Sees::nothing},
    CommandEntry{"SET_ID", [](Station& st, const Request& r) { handle_set_id(config_parts(st), r.items, r.marks); },
                 true, false, Unaddressed::refused, Sees::nothing},
    CommandEntry{"DELETE_ID",
                 [](Station& st, const Request& r) { handle_delete_id(config_parts(st), r.items, r.marks); }, true,
                 false, Unaddressed::refused, Sees::nothing},
    CommandEntry{
        "READ_CONFIG",
        [](Station& st, const Request& r) { handle_read_config(st.settings(), st.channel_table(), st.realtime(), r); },
        false, false, Unaddressed::accepted_for_any_station, Sees::nothing},
    CommandEntry{"READ_DATA",
                 [](Station& st, const Request& r) {
                   handle_read_data(st.clock(), std::as_const(st).channel_table(), st.realtime(), r);
                 },
                 false, false, Unaddressed::refused, Sees::memory},
    CommandEntry{"READ_HISTORY",
                 [](Station& st, const Request& r) {
                   handle_read_history(st.dir(), st.clock(), st.operator_log(), st.realtime(), r);
                 },
                 false, false, Unaddressed::refused, Sees::files},
    CommandEntry{"BEGIN_REALTIME", [](Station& st, const Request& r) { handle_begin_realtime(st.realtime(), r); },
                 false, false, Unaddressed::refused, Sees::memory},
    CommandEntry{"END_REALTIME", [](Station& st, const Request& r) { st.realtime().end_by_command(*r.connection); },
                 false, false, Unaddressed::refused, Sees::nothing},
    CommandEntry{"DO_COMMAND",
                 [](Station& st, const Request& r) {
                   handle_do_command({st, st.dir()}, st.realtime(), r);
                 },
                 false, true, Unaddressed::accepted, Sees::files},
    CommandEntry{
        "SET_VALUE",
        [](Station& st, const Request& r) { handle_set_value(st.clock(), st.channel_table(), st.realtime(), r); },
        false, false, Unaddressed::refused, Sees::memory},
};

const CommandEntry* find_command(std::string_view word) {
  for (const auto& entry : kCommands)
    if (entry.word == word) return &entry;
  return nullptr;
}

bool addressed(const StationSettings& settings, const Items& items) {
  if (items.size() < 4) return false;
  const auto fac = trim(settings.factory_id);
  const auto sen = trim(settings.sensor_id);
  if (items[2] != fac) return false;
  return items[3] == sen || (items[3].size() == fac.size() + sen.size() && items[3].starts_with(fac) &&
                             std::string_view(items[3]).substr(fac.size()) == sen);
}

bool taken_unaddressed(const CommandEntry* entry, const Items& items) {
  if (!entry) return false;
  switch (entry->unaddressed) {
    case Unaddressed::refused:
      return false;
    case Unaddressed::accepted:
      return true;
    case Unaddressed::accepted_for_any_station:
      return items.size() > 2 && items[2] == "*";
  }
  return false;
}

// A command line's items, kept with the line they came from: hosts send the
// same line again and again (the same poll), and a line equal to the one
// before is not split again. Its strings are reused for the next line.
class SplitLine {
 public:
  const Items& split(std::string_view line) {
    if (!valid_ || line != source_) {
      valid_ = false;
      split_command_line(line, items_);
      // Whether the items now hold more storage than is kept: told once per
      // split, not at the end of every message.
      large_ = items_.size() > kKeptItems ||
               std::any_of(items_.begin(), items_.end(), [](const auto& i) { return i.capacity() > kKeptLineBytes; });
      if (line.size() <= kKeptLineBytes) {
        source_.assign(line);
        valid_ = true;
      }
    }
    return items_;
  }
  // After a big line: its storage is given back rather than kept.
  void release_large() {
    if (!large_) return;
    Items().swap(items_);
    valid_ = false;
    large_ = false;
  }

 private:
  static constexpr std::size_t kKeptLineBytes = 256;
  static constexpr std::size_t kKeptItems = 32;
  Items items_;
  std::string source_;
  bool valid_ = false;
  bool large_ = false;  // items_ holds more than kKeptItems or a string over kKeptLineBytes
};

// The split lines of a message: line 1 (kept for the ACK) and the line at
// hand. Every message of the thread uses the same two, so splitting costs no
// allocation once they have grown; a message dispatched while another is
// (not done today) splits into lines of its own.
class ItemLists {
 public:
  ItemLists() : shared_(!kept().in_use) {
    if (shared_) kept().in_use = true;
    else own_.emplace();
  }
  ~ItemLists() {
    first().release_large();
    line().release_large();
    if (shared_) kept().in_use = false;
  }
  ItemLists(const ItemLists&) = delete;
  ItemLists& operator=(const ItemLists&) = delete;

  SplitLine& first() { return shared_ ? kept().first : own_->first; }
  SplitLine& line() { return shared_ ? kept().line : own_->line; }

 private:
  struct Lines {
    SplitLine first, line;
  };
  struct Kept : Lines {
    bool in_use = false;
  };
  static Kept& kept() {
    thread_local Kept lines;
    return lines;
  }
  bool shared_;
  std::optional<Lines> own_;
};

}  // namespace

void dispatch_message(Station& st, std::span<const std::string_view> lines,
                      const std::shared_ptr<Connection>& connection) {
  if (lines.empty()) return;
  const std::string_view header = lines[0];
  const OperatorLog::RepeatBound log_bound(st.operator_log());  // the log pair repeats for every line
  MessageMarks marks;
  ItemLists lists;
  // The ACK carries items 2 and 3 of the first command line, whatever it is.
  const Items& first = lists.first().split(lines.size() > 1 ? lines[1] : std::string_view());

  try {
    for (std::size_t i = 1; i < lines.size(); ++i) {
      marks.line = static_cast<int>(i);
      if (!trim(lines[i]).empty()) {
        // Line 1 was split for the ACK already.
        const Items& items = i == 1 ? first : lists.line().split(lines[i]);
        const CommandEntry* entry = find_command(items.front());
        if (!addressed(st.settings(), items) && !taken_unaddressed(entry, items)) {
          st.log("problem command");
          connection->close();
        } else if (entry) {
          if (entry->sees != Sees::nothing && marks.work_left())
            finish_list_and_config(config_parts(st), marks, entry->sees == Sees::files);
          if (entry->ends_receipt_lines) marks.do_command_seen = true;
          entry->handle(st, Request{header, items, connection, marks});
          if (entry->acknowledged) marks.ack_due = true;
        }
      }
      if (!marks.do_command_seen) {
        st.operator_log().log_copy("Emulator : receive Command");
        st.operator_log().log_copy("Emulator : do command ");
      }
    }
    if (marks.work_left()) finish_list_and_config(config_parts(st), marks, true);
  } catch (...) {
    // The rest of the message is abandoned; what its earlier lines changed
    // is still saved.
    finish_list_and_config(config_parts(st), marks, true);
    throw;
  }

  // A SET_CONFIG that wasn't saved gets no ACK: the host sends it again.
  if (marks.ack_due && !marks.config_failed) {
    const auto item_or_empty = [&](std::size_t k) { return first.size() > k ? std::string_view(first[k]) : ""; };
    auto ack = ReplyWriter::answering(header);
    ack.open_line("ACK ", stamp_yyyymmddhhnn(st.now()), ' ', item_or_empty(2), ' ', item_or_empty(3)).close_line();
    ack.add(' ');
    send_reply(st.realtime(), *connection, std::move(ack).end());
    st.log("Emulator : Answer Ack");
  }
}

}  // namespace orvane
