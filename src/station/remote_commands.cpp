// DO_COMMAND: the host's remote sub-commands (files, data modes, clock,
// automatic start, restart and power-off).
#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/limits.hpp"
#include "core/protocol.hpp"
#include "core/reply_writer.hpp"
#include "core/text_file.hpp"
#include "station/channel_table.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station_control.hpp"
#include "station/station_files.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <utility>

namespace orvane {

std::optional<std::filesystem::path> resolve_station_file(const std::filesystem::path& station_root,
                                                          std::string_view name) {
  namespace fs = std::filesystem;
  // Hosts write Windows paths; either slash separates.
  std::string text(trim(name));
  for (auto& c : text)
    if (c == '\\') c = '/';
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  if (text.size() >= 2 && text[1] == ':') return std::nullopt;  // drive letter: absolute
  const fs::path relative(text);
  if (relative.is_absolute() || relative.has_root_name()) return std::nullopt;
  const fs::path& root = station_root;
  std::error_code ec;
  // Symbolic links of the existing part are followed, so a link out of the
  // directory is caught as well as "..".
  const fs::path target = fs::weakly_canonical(root / relative, ec);
  if (ec) return std::nullopt;
  const auto rel = target.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  return target;
}

namespace {

namespace fs = std::filesystem;

// Temporary files of the station's replacements: "NAME.tmp", "NAME.tmpNNNNNN",
// "Event.Sav.compact".
bool temporary_name(std::string_view name) {
  if (name.ends_with(".tmp") || name.ends_with(".compact")) return true;
  const auto dot = name.rfind(".tmp");
  if (dot == std::string_view::npos || dot + 4 == name.size()) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot + 4), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

const ResolvedFiles* resolved_files(const RemoteParts& parts, MessageMarks& marks) {
  if (marks.files) return &*marks.files;
  std::error_code ec;
  ResolvedFiles f;
  f.root = fs::canonical(parts.config.dir, ec);
  if (ec) return nullptr;
  const auto resolved = [&](const fs::path& path) {
    std::error_code failed;
    auto r = fs::weakly_canonical(path, failed);
    return failed ? fs::absolute(path, failed).lexically_normal() : r;
  };
  for (const char* own : {station_files::kEventBuffer, station_files::kEventHead, station_files::kSendJournal})
    f.kept.push_back(resolved(f.root / own));
  for (const auto& own : parts.private_files) f.kept.push_back(resolved(own));
  f.sensors = resolved(f.root / station_files::kSensors);
  f.settings = resolved(f.root / station_files::kSettings);
  f.auto_start = resolved(f.root / station_files::kAutoStart);
  f.history = resolved(f.root / "history");
  return &*(marks.files = std::move(f));
}

// A file a host names, as a station file. Its own state is kept from hosts
// as if it lay outside the directory: the event buffer and its companions
// (written under the live buffer they would repeat or lose events; read,
// they tell a host the identities to forge them with), the lock, the flag
// and the temporary files of replacements.
struct HostFile {
  fs::path path;  // resolved, inside the station directory
  const ResolvedFiles& files;
  bool in_history() const {
    const auto rel = path.lexically_relative(files.history);
    return !rel.empty() && *rel.begin() != "..";
  }
};

std::optional<HostFile> host_file(const RemoteParts& parts, MessageMarks& marks, std::string_view name) {
  const auto* files = resolved_files(parts, marks);
  if (!files) return std::nullopt;
  auto path = resolve_station_file(files->root, name);
  if (!path || temporary_name(path->filename().string()) ||
      std::find(files->kept.begin(), files->kept.end(), *path) != files->kept.end())
    return std::nullopt;
  return HostFile{std::move(*path), *files};
}

// auto.con as it reads once ENB or DIS wrote `first` into it: only a file
// with a line gets it, as write_auto_start does.
std::optional<std::string> auto_start_text(const fs::path& path, const std::string& first, std::size_t max_bytes) {
  auto content = read_regular_file(path, max_bytes);
  if (!content) return std::nullopt;
  auto lines = split_lines(*content);
  if (lines.empty()) return content;
  lines.front() = first;
  auto text = join_crlf(lines);
  if (text.size() > max_bytes) return std::nullopt;
  return text;
}

// RCFG: the file's lines become the sub-field list; the reply gets its text,
// a line without its ETX. Only a regular file is read, and only when it fits
// what the connection can still take: a bigger file, a FIFO, a device or a
// directory is answered as an unreadable file. A host already gone costs no
// read at all. A file the message has changed but not yet saved
// (sensor.con, emulate.ini, auto.con, a file SCFG replaced) is read as it
// will be saved.
void read_station_file(RemoteParts& parts, MessageMarks& marks, const Items& items, std::vector<std::string>& fields,
                       ReplyWriter& reply, const Connection& conn) {
  const auto& name = item(fields, 1);
  if (!conn.is_open()) return;
  const auto file = host_file(parts, marks, name);
  if (!file) return;
  const auto room = std::min(conn.send_room(), limits::kMaxWriteQueueBytes);
  std::optional<std::string> content;
  if (marks.list_unsaved && file->path == file->files.sensors) {
    content = parts.config.table.sensor_file_text(room);
  } else if (marks.settings_unsaved && file->path == file->files.settings) {
    content = settings_text(file->path, *marks.settings_unsaved, room);
  } else if (marks.auto_start && file->path == file->files.auto_start) {
    content = auto_start_text(file->path, *marks.auto_start, room);
  } else if (const auto* pending = marks.pending_file(file->path)) {
    if (pending->content.size() <= room) content = pending->content;
  } else {
    if (file->in_history()) finish_history(parts.config, marks);
    content = read_regular_file(file->path, room);
  }
  if (!content) return;  // unreadable: nothing added
  auto lines = split_lines(*content);
  std::string base(trim(name));
  if (const auto slash = base.find_last_of("/\\"); slash != std::string::npos) base.erase(0, slash + 1);
  reply.open_line(" ", item(items, 0), " ", item(items, 1), " ", item(items, 2), " ", item(items, 3), " ", base,
                  proto::ENQ);
  for (const auto& line : lines) reply.add(line, proto::ENQ);
  fields = std::move(lines);
}

// SCFG: sub-fields 2 onward are the lines of the file. The name must be a
// plain file name inside the station directory (subfolders allowed): never
// the directory itself, ".", "..", an existing directory, FIFO or device,
// nor a name holding control characters. The file and its temporary
// companion are both written beside the target, so inside the directory.
// What the message left pending for the same file is written first, so
// the file ends as line-by-line work would leave it.
void write_station_file(RemoteParts& parts, MessageMarks& marks, std::vector<std::string>& fields) {
  const auto& name = item(fields, 1);
  if (fields.size() < 3) throw std::runtime_error("SCFG without a line to write");
  const auto refuse = [&] { return std::runtime_error("Cannot create file \"" + name + "\""); };
  const std::string_view plain = trim(name);
  if (std::any_of(plain.begin(), plain.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
    throw refuse();
  if (!plain.empty() && (plain.back() == '/' || plain.back() == '\\')) throw refuse();
  const auto file = host_file(parts, marks, name);
  if (!file) throw refuse();
  const auto file_name = file->path.filename();
  if (file_name.empty() || file_name == "." || file_name == ".." || file->path == file->files.root) throw refuse();
  std::error_code ec;
  const auto status = fs::status(file->path, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) throw refuse();
  const bool settings = file->path == file->files.settings;
  const bool sensors = file->path == file->files.sensors;
  if (settings) finish_settings_file(parts.config, marks);
  if (file->path == file->files.auto_start) finish_auto_start(parts.config, marks);
  if (file->in_history()) finish_history(parts.config, marks);
  std::vector<std::string> lines(fields.begin() + 2, fields.end());
  if (settings || sensors || file->path == file->files.auto_start || file->in_history()) {
    // The files the station itself writes (or empties) at the end of the
    // message: written at once, in their order with that work.
    write_lines_atomic(file->path, lines, settings ? NewFile::owner_only : NewFile::readable);
    // The list saved before this would be replaced by it.
    if (sensors) marks.list_unsaved = false;
    if (file->in_history()) marks.history_clean = false;
  } else {
    auto* pending = marks.pending_file(file->path);
    if (!pending) {
      marks.pending_index.emplace(file->path.native(), marks.pending_files.size());
      pending = &marks.pending_files.emplace_back(MessageMarks::PendingFile{file->path, {}, marks.line});
    }
    pending->content = join_crlf(lines);
  }
  fields = std::move(lines);
}

// What a sub-command sees: the command line, its sub-fields (the first is
// the sub-command, and what is left in it is echoed after "Complete"), the
// reply being built and the message's pending work.
struct SubCommand {
  const Items& items;
  std::vector<std::string>& fields;
  ReplyWriter& reply;
  const Connection& connection;
  MessageMarks& marks;
};

struct SubCommandEntry {
  std::string_view word;
  void (*run)(RemoteParts& parts, SubCommand& sub);
};

// The sub-commands that change the data mode, the clock or the machine
// first see what the message's earlier lines set going.
StationControl& after_memory(RemoteParts& parts, SubCommand& c) {
  finish_memory(parts.config, c.marks);
  return parts.config.control;
}

constexpr std::array kSubCommands{
    SubCommandEntry{"RCFG",
                    [](RemoteParts& parts, SubCommand& c) {
                      read_station_file(parts, c.marks, c.items, c.fields, c.reply, c.connection);
                    }},
    SubCommandEntry{"SCFG", [](RemoteParts& parts, SubCommand& c) { write_station_file(parts, c.marks, c.fields); }},
    SubCommandEntry{"CHT",
                    [](RemoteParts& parts, SubCommand& c) {
                      // Emptied already by this message and not written since: nothing to do.
                      c.marks.history_due = false;
                      if (std::exchange(c.marks.history_clean, true)) return;
                      empty_history_files(parts.config.dir);
                    }},
    SubCommandEntry{"STR", [](RemoteParts& parts, SubCommand& c) { after_memory(parts, c).stop_data(); }},
    SubCommandEntry{"STH", [](RemoteParts& parts, SubCommand& c) { after_memory(parts, c).set_clock_active(false); }},
    SubCommandEntry{"STA",
                    [](RemoteParts& parts, SubCommand& c) {
                      auto& control = after_memory(parts, c);
                      control.set_clock_active(false);
                      control.stop_data();
                    }},
    // auto.con is written once, at the end of the message.
    SubCommandEntry{"DIS",
                    [](RemoteParts& parts, SubCommand& c) {
                      auto& control = after_memory(parts, c);
                      control.set_clock_active(false);
                      control.stop_data();
                      c.marks.auto_start = "0";
                    }},
    SubCommandEntry{"ENB",
                    [](RemoteParts& parts, SubCommand& c) {
                      auto& control = after_memory(parts, c);
                      control.set_clock_active(true);
                      control.start_reading();
                      c.marks.auto_start = "1";
                    }},
    SubCommandEntry{"RCD",
                    [](RemoteParts& parts, SubCommand& c) { c.fields.front() = "RCD" + parts.config.dir.string(); }},
    // Everything the message changed is saved before the machine goes down.
    SubCommandEntry{"RBT",
                    [](RemoteParts& parts, SubCommand& c) {
                      finish_all(parts.config, c.marks);
                      write_pending_files(c.marks);
                      parts.config.control.restart_or_power_off(PowerAction::reboot);
                    }},
    SubCommandEntry{"SHD",
                    [](RemoteParts& parts, SubCommand& c) {
                      finish_all(parts.config, c.marks);
                      write_pending_files(c.marks);
                      parts.config.control.restart_or_power_off(PowerAction::power_off);
                    }},
};

}  // namespace

bool write_pending_files(MessageMarks& marks, std::size_t budget, const std::function<bool()>& go_on) {
  auto& pending = marks.pending_files;
  if (pending.empty()) return true;
  if (!marks.writing) {
    std::vector<Replacement> files;
    files.reserve(pending.size());
    for (const auto& p : pending) files.push_back({p.path, p.content});
    marks.writing = std::make_unique<ReplacementBatch>(std::move(files));
  }
  bool done = false;
  try {
    done = marks.writing->step(budget, go_on);
  } catch (...) {
    int from = std::numeric_limits<int>::max();
    for (std::size_t i = marks.writing->replaced(); i < pending.size(); ++i)
      from = std::min(from, pending[i].first_line);
    marks.replies_dropped_from = std::min(marks.replies_dropped_from, from);
    marks.writing.reset();
    marks.clear_pending();
    throw;
  }
  if (!done) return false;
  marks.writing.reset();
  marks.clear_pending();
  return true;
}

void write_pending_files(MessageMarks& marks) {
  while (!write_pending_files(marks, std::numeric_limits<std::size_t>::max(), {})) {}
}

void handle_do_command(RemoteParts parts, Realtime& replies, const Request& request) {
  const auto& items = request.items;
  auto fields = split_subfields(trim(item(items, 4)));
  const std::string sub = item(fields, 0);
  auto reply = ReplyWriter::answering(request.header);
  for (const auto& entry : kSubCommands) {
    if (entry.word != sub) continue;
    SubCommand command{items, fields, reply, *request.connection, request.marks};
    entry.run(parts, command);
    break;
  }
  // An empty file read leaves no entry.
  reply.line(" Complete ", fields.empty() ? std::string_view() : std::string_view(fields.front()), ' ');
  send_reply(replies, request, std::move(reply).end());
}

}  // namespace orvane
