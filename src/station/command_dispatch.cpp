#include "station/command_dispatch.hpp"

#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/reply_writer.hpp"
#include "station/channel_table.hpp"
#include "station/command_handlers.hpp"
#include "station/operator_log.hpp"
#include "station/read_data_reply.hpp"
#include "station/realtime.hpp"
#include "station/settings.hpp"

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

namespace orvane {

const std::string& item(const Items& items, std::size_t k) {
  if (k >= items.size()) throw std::out_of_range("List index out of bounds (" + std::to_string(k) + ")");
  return items[k];
}

bool send_reply(Realtime& realtime, Connection& conn, std::string_view text) { return realtime.send(conn, text); }

void release_held_replies(Realtime& realtime, Connection& connection, MessageMarks& marks) {
  auto held = std::move(marks.held_replies);
  marks.held_replies.clear();
  marks.held_bytes = 0;
  for (const auto& reply : held) {
    if (reply.line >= marks.replies_dropped_from) break;
    if (!realtime.send(connection, reply.text)) break;
  }
}

bool send_reply(Realtime& realtime, const Request& request, std::string_view text) {
  auto& marks = request.marks;
  Connection& connection = *request.connection;
  if (marks.pending_files.empty()) {
    // Written by the line itself (a restart saves everything first): the
    // replies held for them go first.
    if (!marks.held_replies.empty()) release_held_replies(realtime, connection, marks);
    return realtime.send(connection, text);
  }
  // Closed, or more than the host may take at all: it fails now, as ever.
  const auto room = std::min(connection.send_room(), limits::kMaxWriteQueueBytes);
  if (!connection.is_open() || text.size() > room) return realtime.send(connection, text);
  marks.held_replies.push_back({marks.line, std::string(text)});
  marks.held_bytes += text.size();
  if (marks.held_bytes >= std::min(room / 2, limits::kHeldReplyBytes)) marks.write_due = true;
  return true;
}

namespace {

// When a command line that doesn't carry this station's identity is still
// taken.
enum class Unaddressed {
  refused,
  accepted,
  accepted_for_any_station,  // only with "*" as the factory item (READ_CONFIG)
};

// What a command needs done first of the work SET_ID, DELETE_ID and
// SET_CONFIG leave for the end of the message. DO_COMMAND sees to it
// itself, sub-command by sub-command and file by file.
enum class Needs {
  nothing,  // the sensor rows and the identity, changed at once
  memory,  // the links, the timers, the data mode, the clock (a start reads at once)
  history,  // the history files
};

// The parts of the station the configuration commands change.
ConfigParts config_parts(const DispatchContext& cx) { return {cx.settings, cx.table, cx.control, cx.log, cx.dir}; }

struct CommandEntry {
  std::string_view word;
  void (*handle)(const DispatchContext& cx, const Request& request);
  bool acknowledged;  // the message gets its one ACK when this command ran
  bool ends_receipt_lines;  // no "receive Command" log pair from here on in the message
  Unaddressed unaddressed;
  Needs needs;  // done before it runs
  // Its replies go out beside the message's (the realtime stream, another
  // connection): the files the message holds are written and its replies
  // sent first.
  bool sends_beside = false;
};

constexpr std::array kCommands{
    CommandEntry{
        "SET_CONFIG",
        [](const DispatchContext& cx, const Request& r) { handle_set_config(config_parts(cx), r.items, r.marks); },
        true, false, Unaddressed::accepted, Needs::nothing},
    CommandEntry{"SET_ID",
                 [](const DispatchContext& cx, const Request& r) { handle_set_id(config_parts(cx), r.items, r.marks); },
                 true, false, Unaddressed::refused, Needs::nothing},
    CommandEntry{
        "DELETE_ID",
        [](const DispatchContext& cx, const Request& r) { handle_delete_id(config_parts(cx), r.items, r.marks); }, true,
        false, Unaddressed::refused, Needs::nothing},
    CommandEntry{
        "READ_CONFIG",
        [](const DispatchContext& cx, const Request& r) { handle_read_config(cx.settings, cx.table, cx.realtime, r); },
        false, false, Unaddressed::accepted_for_any_station, Needs::nothing},
    CommandEntry{"READ_DATA",
                 [](const DispatchContext& cx, const Request& r) {
                   handle_read_data(cx.read_data, cx.clock, std::as_const(cx.table), cx.realtime, r);
                 },
                 false, false, Unaddressed::refused, Needs::memory},
    CommandEntry{"READ_HISTORY",
                 [](const DispatchContext& cx, const Request& r) {
                   handle_read_history(cx.dir, cx.clock, cx.log, cx.realtime, r);
                 },
                 false, false, Unaddressed::refused, Needs::history},
    CommandEntry{"BEGIN_REALTIME",
                 [](const DispatchContext& cx, const Request& r) { handle_begin_realtime(cx.realtime, r); }, false,
                 false, Unaddressed::refused, Needs::memory, true},
    CommandEntry{"END_REALTIME",
                 [](const DispatchContext& cx, const Request& r) { cx.realtime.end_by_command(*r.connection); }, false,
                 false, Unaddressed::refused, Needs::nothing, true},
    CommandEntry{"DO_COMMAND",
                 [](const DispatchContext& cx, const Request& r) {
                   handle_do_command({config_parts(cx), cx.private_files}, cx.realtime, r);
                 },
                 false, true, Unaddressed::accepted, Needs::nothing},
    CommandEntry{
        "SET_VALUE",
        [](const DispatchContext& cx, const Request& r) { handle_set_value(cx.clock, cx.table, cx.realtime, r); },
        false, false, Unaddressed::refused, Needs::memory},
};

static_assert(kCommands.size() < 16, "lines_by_command_ has a place per command and one for the rest");

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

}  // namespace

// A message as the dispatcher works through it: line i is header for 0,
// else rest[i - rest_from].
struct CommandDispatcher::Message {
  std::string_view header;
  const Items* first;  // line 1's items, for the ACK
  SplitLine* line;  // splits the line at hand
  const std::shared_ptr<Connection>* connection;
  std::span<const std::string_view> rest;
  std::size_t rest_from = 0;
  std::size_t count = 0;  // lines, the header included
  std::size_t next = 1;
  MessageMarks marks;
  // Closed by a line of its own ("problem command"), the connection still
  // has the message's other lines done, as ever. Given up for its replies
  // (the host doesn't take them), it has no more work done for it.
  bool closed_here = false;
  // Its end, over turns of the loop: the slice was half gone when the lines
  // were done (the end gets a turn of its own); then emulate.ini, the
  // history files, auto.con and sensor.con, each in a turn of its own
  // (a long list staged, committed in the last turn); the files SCFG left
  // in memory; the ACK.
  enum class Ending { not_begun, settings, history, auto_start, list, files, staged } ending = Ending::not_begun;
  SteadyTime::TimePoint slice_started{};
  // A line failed: the files of the lines before it are being written,
  // then the message ends with this failure.
  std::exception_ptr failure;

  std::string_view at(std::size_t i) const { return i == 0 ? header : rest[i - rest_from]; }
};

// A long message's rest, owned while it is worked on slice by slice.
struct CommandDispatcher::Job {
  std::string text;  // the lines still to do, one after another
  std::vector<std::string_view> views;  // the header, then those lines
  Items first;
  SplitLine line;
  std::shared_ptr<Connection> connection;
  // One bound on repeated log lines for the whole message, however many
  // slices it takes (other messages dispatched meanwhile share it).
  std::unique_ptr<OperatorLog::RepeatBound> log_bound;
  Message message;
  std::unique_ptr<SteadyTime::Alarm> delay;  // an injected reply delay
};

namespace {

// Before the loop's other work runs between two slices: the station's
// memory as the lines so far leave it (the timers and READ_DATA of other
// hosts see it), and nothing kept that other work may change meanwhile.
void pause_message(ConfigParts parts, MessageMarks& marks) {
  finish_memory(parts, marks);
  marks.history_clean = false;  // the hourly history may be written meanwhile
  marks.files.reset();
}

}  // namespace

void log_message_failure(OperatorLog& log) {
  try {
    throw;
  } catch (const std::exception& e) {
    // What a failed line reports may quote its items (a number that isn't
    // one, a file name): a host must not make a log line of its own with them.
    log.log("Error : " + with_controls_escaped(e.what()));
  } catch (...) {
    log.log("Error : unknown error");
  }
}

CommandDispatcher::CommandDispatcher(DispatchContext parts) : parts_(parts) {}

CommandDispatcher::~CommandDispatcher() { *alive_ = false; }

bool CommandDispatcher::dispatch(std::span<const std::string_view> lines,
                                 const std::shared_ptr<Connection>& connection) {
  if (lines.empty()) return true;
  const DispatchContext& cx = parts_;
  const OperatorLog::RepeatBound log_bound(cx.log);  // the log pair repeats for every line
  // A message dispatched inside another (not done today) splits into lines of its own.
  SplitLine own_first, own_line;
  const bool nested = dispatching_;
  SplitLine& first_line = nested ? own_first : first_;
  SplitLine& line = nested ? own_line : line_;
  dispatching_ = true;
  struct Done {
    CommandDispatcher& d;
    SplitLine &first, &line;
    bool nested;
    ~Done() {
      first.release_large();
      line.release_large();
      if (!nested) d.dispatching_ = false;
    }
  } done{*this, first_line, line, nested};
  // The ACK carries items 2 and 3 of the first command line, whatever it is.
  const Items& first = first_line.split(lines.size() > 1 ? lines[1] : std::string_view());
  Message m{.header = lines[0],
            .first = &first,
            .line = &line,
            .connection = &connection,
            .rest = lines,
            .count = lines.size()};
  m.marks.lines = lines.size();

  if (reply_delay_.count() > 0) {
    // Not a line done before its time: all of it waits.
    Job& job = keep_rest(m, lines, connection);
    job.delay = parts_.time.make_alarm(parts_.ioc);
    job.delay->set(parts_.time.now() + reply_delay_, [this, &job, alive = alive_] {
      if (*alive) post_slice(job);  // not from inside the alarm, which the job's end frees
    });
    return false;
  }
  // A long message is only taken in this turn, which framed it: its
  // slices come in turns of their own.
  if (lines.size() > limits::kLinesPerSlice) {
    post_slice(keep_rest(m, lines, connection));
    return false;
  }
  try {
    if (advance(m)) return true;
  } catch (...) {
    if (!failing(m)) throw;
  }
  post_slice(keep_rest(m, lines, connection));
  return false;
}

bool CommandDispatcher::advance(Message& m) {
  if (m.failure) {
    // The files of the lines before the failed one are written first.
    if (!write_files(m)) return false;
    std::rethrow_exception(std::exchange(m.failure, nullptr));
  }
  if (!work(m)) {
    pause_message(config_parts(parts_), m.marks);
    return false;
  }
  return finish(m);
}

bool CommandDispatcher::failing(Message& m) {
  if (!m.failure && !m.marks.pending_files.empty()) {
    m.failure = std::current_exception();
    return true;
  }
  if (m.failure) {
    // Those files could not be written: the line that failed first is
    // reported too.
    try {
      std::rethrow_exception(std::exchange(m.failure, nullptr));
    } catch (...) {
      log_message_failure(parts_.log);
    }
  }
  // The rest of the message is abandoned; what its earlier lines changed
  // is still saved.
  abandon(m);
  return false;
}

// The rest waits for the loop's other work: copied, since the lines given
// live only for the call.
CommandDispatcher::Job& CommandDispatcher::keep_rest(Message& m, std::span<const std::string_view> lines,
                                                     const std::shared_ptr<Connection>& connection) {
  Job& job = jobs_.emplace_back();
  job.log_bound = std::make_unique<OperatorLog::RepeatBound>(parts_.log);  // before the caller's bound ends
  job.connection = connection;
  job.first = *m.first;
  std::size_t bytes = lines[0].size();
  for (std::size_t i = m.next; i < lines.size(); ++i) bytes += lines[i].size();
  job.text.reserve(bytes);
  job.text.append(lines[0]);
  for (std::size_t i = m.next; i < lines.size(); ++i) job.text.append(lines[i]);
  job.views.reserve(1 + lines.size() - m.next);
  job.views.emplace_back(job.text.data(), lines[0].size());
  std::size_t at = lines[0].size();
  for (std::size_t i = m.next; i < lines.size(); ++i) {
    job.views.emplace_back(job.text.data() + at, lines[i].size());
    at += lines[i].size();
  }
  job.message = Message{.header = job.views[0],
                        .first = &job.first,
                        .line = &job.line,
                        .connection = &job.connection,
                        .rest = std::span<const std::string_view>(job.views).subspan(1),
                        .rest_from = m.next,
                        .count = m.count,
                        .next = m.next,
                        .marks = std::move(m.marks),
                        .closed_here = m.closed_here,
                        .ending = m.ending,
                        .failure = std::move(m.failure)};
  return job;
}

bool CommandDispatcher::work(Message& m) {
  const DispatchContext& cx = parts_;
  const auto started = m.slice_started = cx.time.now();
  const auto slice = std::chrono::microseconds(limits::kSliceMicroseconds);
  const auto& connection = *m.connection;
  auto& marks = m.marks;
  // Files being written (or due to be), and the replies held for them,
  // take the turns until they are done.
  if ((marks.writing || marks.write_due || marks.pending_files.size() >= limits::kMaxPendingFiles ||
       (marks.pending_files.empty() && !marks.held_replies.empty())) &&
      !write_files(m))
    return false;
  std::size_t done = 0;
  while (m.next < m.count) {
    const std::size_t i = m.next++;
    if (!m.closed_here && !connection->is_open()) {
      m.next = m.count;
      break;
    }
    marks.line = static_cast<int>(i);
    const std::string_view text = m.at(i);
    if (!trim(text).empty()) {
      // Line 1 was split for the ACK already.
      const Items& items = i == 1 ? *m.first : m.line->split(text);
      const CommandEntry* entry = find_command(items.front());
      auto& count = lines_by_command_[entry ? static_cast<std::size_t>(entry - kCommands.data()) : kCommands.size()];
      // Its replies would pass the held ones: the files are written first,
      // then the line is taken again.
      if (entry && entry->sends_beside && !(marks.pending_files.empty() && marks.held_replies.empty()) &&
          !write_files(m)) {
        --m.next;
        return false;
      }
      ++count;
      if (!addressed(cx.settings, items) && !taken_unaddressed(entry, items)) {
        cx.log.log("problem command");
        m.closed_here |= connection->is_open();
        connection->close();
      } else if (entry) {
        if (entry->needs == Needs::memory) finish_memory(config_parts(cx), marks);
        if (entry->needs == Needs::history) finish_history(config_parts(cx), marks);
        if (entry->ends_receipt_lines) marks.do_command_seen = true;
        entry->handle(cx, Request{m.header, items, connection, marks});
        if (entry->acknowledged) marks.ack_due = true;
        // Written by the line itself (a restart saves everything first).
        if (marks.pending_files.empty() && !marks.held_replies.empty())
          release_held_replies(cx.realtime, *connection, marks);
      }
    }
    if (!marks.do_command_seen) {
      cx.log.log_copy("Emulator : receive Command");
      cx.log.log_copy("Emulator : do command ");
    }
    // The clock is read after every line: a line may write a file durably.
    if (m.next < m.count && (++done >= limits::kLinesPerSlice || cx.time.now() - started >= slice || marks.write_due ||
                             marks.pending_files.size() >= limits::kMaxPendingFiles))
      return false;
  }
  return true;
}

bool CommandDispatcher::finish(Message& m) {
  const DispatchContext& cx = parts_;
  const auto parts = config_parts(cx);
  auto& marks = m.marks;
  using Ending = Message::Ending;
  if (m.ending == Ending::not_begun) {
    m.ending = Ending::settings;
    if (marks.work_left() &&
        cx.time.now() - m.slice_started >= std::chrono::microseconds(limits::kSliceMicroseconds / 2)) {
      pause_message(parts, marks);
      return false;
    }
  }
  // Each file flushed in a turn of its own.
  if (m.ending == Ending::settings) {
    m.ending = Ending::history;
    finish_memory(parts, marks);
    if (marks.settings_unsaved) {
      finish_settings_file(parts, marks);
      return false;
    }
  }
  if (m.ending == Ending::history) {
    m.ending = Ending::auto_start;
    const bool emptied = marks.history_due && !marks.history_clean;
    finish_history(parts, marks);
    if (emptied) return false;
  }
  if (m.ending == Ending::auto_start) {
    m.ending = Ending::list;
    if (marks.auto_start) {
      finish_auto_start(parts, marks);
      return false;
    }
  }
  if (m.ending == Ending::list) {
    m.ending = Ending::files;
    if (marks.list_unsaved) {
      // Megabytes of cells in a long list: written out in this turn,
      // flushed and renamed in another.
      finish_sensor_file(parts, marks, cx.table.sensors().row_count() > static_cast<int>(limits::kLinesPerSlice));
      return false;
    }
  }
  if (m.ending == Ending::files) {
    if (!write_files(m)) return false;
    m.ending = Ending::staged;
    if (marks.list_staged) return false;
  }
  commit_staged_files(parts, marks);
  // A SET_CONFIG that wasn't saved gets no ACK: the host sends it again.
  if (!m.marks.ack_due || m.marks.config_failed) return true;
  const Items& first = *m.first;
  const auto item_or_empty = [&](std::size_t k) { return first.size() > k ? std::string_view(first[k]) : ""; };
  auto ack = ReplyWriter::answering(m.header);
  ack.open_line("ACK ", stamp_yyyymmddhhnn(cx.clock.now()), ' ', item_or_empty(2), ' ', item_or_empty(3)).close_line();
  ack.add(' ');
  send_reply(cx.realtime, **m.connection, std::move(ack).end());
  cx.log.log("Emulator : Answer Ack");
  return true;
}

bool CommandDispatcher::write_files(Message& m) {
  auto& marks = m.marks;
  if (marks.pending_files.empty()) {
    // Written in an earlier turn: now the replies held for them.
    marks.write_due = false;
    if (!marks.held_replies.empty()) release_held_replies(parts_.realtime, **m.connection, marks);
    return true;
  }
  try {
    // Half a slice's time, as the lines' share of the turn may be used.
    const auto until = parts_.time.now() + std::chrono::microseconds(limits::kSliceMicroseconds / 2);
    if (!write_pending_files(marks, limits::kFilesWrittenPerTurn, [&] { return parts_.time.now() < until; }))
      return false;
  } catch (...) {
    release_held_replies(parts_.realtime, **m.connection, marks);
    throw;
  }
  return false;  // the replies in a turn of their own
}

void CommandDispatcher::abandon(Message& m) {
  auto& marks = m.marks;
  // Files still in memory here are those of a write that failed.
  marks.writing.reset();
  marks.clear_pending();
  release_held_replies(parts_.realtime, **m.connection, marks);
  finish_all(config_parts(parts_), marks);
  commit_staged_files(config_parts(parts_), marks);
}

void CommandDispatcher::post_slice(Job& job) {
  asio::post(parts_.ioc, [this, &job, alive = alive_] {
    if (*alive) run_slice(job);
  });
}

void CommandDispatcher::run_slice(Job& job) {
  const DispatchContext& cx = parts_;
  try {
    try {
      if (!advance(job.message)) {
        post_slice(job);
        return;
      }
    } catch (...) {
      if (failing(job.message)) {
        post_slice(job);
        return;
      }
      throw;
    }
  } catch (...) {
    log_message_failure(cx.log);
  }
  const auto connection = std::move(job.connection);
  jobs_.remove_if([&](const Job& j) { return &j == &job; });  // its bound ends: the held log lines come
  connection->message_done();
}

std::vector<CommandCount> CommandDispatcher::command_counts() const {
  std::vector<CommandCount> counts;
  counts.reserve(kCommands.size() + 1);
  for (std::size_t i = 0; i < kCommands.size(); ++i) counts.push_back({kCommands[i].word, lines_by_command_[i]});
  counts.push_back({"other", lines_by_command_[kCommands.size()]});
  return counts;
}

}  // namespace orvane
