// DO_COMMAND: the host's remote sub-commands (files, data modes, clock,
// automatic start, restart and power-off).
#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/limits.hpp"
#include "core/protocol.hpp"
#include "core/reply_writer.hpp"
#include "core/text_file.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station_control.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace orvane {

std::optional<std::filesystem::path> resolve_station_file(const std::filesystem::path& station_dir,
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
  std::error_code ec;
  const fs::path root = fs::canonical(station_dir, ec);
  if (ec) return std::nullopt;
  // Symbolic links of the existing part are followed, so a link out of the
  // directory is caught as well as "..".
  const fs::path target = fs::weakly_canonical(root / relative, ec);
  if (ec) return std::nullopt;
  const auto rel = target.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  return target;
}

namespace {

// RCFG: the file's lines become the sub-field list; the reply gets its text,
// a line without its ETX. Only a regular file is read, and only when it fits
// what the connection can still take: a bigger file, a FIFO, a device or a
// directory is answered as an unreadable file. A host already gone costs no
// read at all.
void read_station_file(const std::filesystem::path& dir, const Items& items, std::vector<std::string>& fields,
                       ReplyWriter& reply, const Connection& conn) {
  const auto& name = item(fields, 1);
  if (!conn.is_open()) return;
  const auto path = resolve_station_file(dir, name);
  if (!path) return;
  const auto content = read_regular_file(*path, std::min(conn.send_room(), limits::kMaxWriteQueueBytes));
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
void write_station_file(const std::filesystem::path& dir, std::vector<std::string>& fields) {
  const auto& name = item(fields, 1);
  if (fields.size() < 3) throw std::runtime_error("SCFG without a line to write");
  const auto refuse = [&] { return std::runtime_error("Cannot create file \"" + name + "\""); };
  const std::string_view plain = trim(name);
  if (std::any_of(plain.begin(), plain.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
    throw refuse();
  if (!plain.empty() && (plain.back() == '/' || plain.back() == '\\')) throw refuse();
  const auto path = resolve_station_file(dir, name);
  if (!path) throw refuse();
  const auto file_name = path->filename();
  if (file_name.empty() || file_name == "." || file_name == "..") throw refuse();
  std::error_code ec;
  const auto root = std::filesystem::canonical(dir, ec);
  if (ec || *path == root) throw refuse();
  const auto status = std::filesystem::status(*path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) throw refuse();
  std::vector<std::string> lines(fields.begin() + 2, fields.end());
  write_lines_atomic(*path, lines);
  fields = std::move(lines);
}

// What a sub-command sees: the command line, its sub-fields (the first is
// the sub-command, and what is left in it is echoed after "Complete") and
// the reply being built.
struct SubCommand {
  const Items& items;
  std::vector<std::string>& fields;
  ReplyWriter& reply;
  const Connection& connection;
};

struct SubCommandEntry {
  std::string_view word;
  void (*run)(RemoteParts& parts, SubCommand& sub);
};

constexpr std::array kSubCommands{
    SubCommandEntry{"RCFG",
                    [](RemoteParts& parts, SubCommand& c) {
                      read_station_file(parts.dir, c.items, c.fields, c.reply, c.connection);
                    }},
    SubCommandEntry{"SCFG", [](RemoteParts& parts, SubCommand& c) { write_station_file(parts.dir, c.fields); }},
    SubCommandEntry{"CHT", [](RemoteParts& parts, SubCommand&) { empty_history_files(parts.dir); }},
    SubCommandEntry{"STR", [](RemoteParts& parts, SubCommand&) { parts.control.stop_data(); }},
    SubCommandEntry{"STH", [](RemoteParts& parts, SubCommand&) { parts.control.set_clock_active(false); }},
    SubCommandEntry{"STA",
                    [](RemoteParts& parts, SubCommand&) {
                      parts.control.set_clock_active(false);
                      parts.control.stop_data();
                    }},
    SubCommandEntry{"DIS",
                    [](RemoteParts& parts, SubCommand&) {
                      parts.control.set_clock_active(false);
                      parts.control.stop_data();
                      parts.control.write_auto_start("0");
                    }},
    SubCommandEntry{"ENB",
                    [](RemoteParts& parts, SubCommand&) {
                      parts.control.set_clock_active(true);
                      parts.control.start_reading();
                      parts.control.write_auto_start("1");
                    }},
    SubCommandEntry{"RCD", [](RemoteParts& parts, SubCommand& c) { c.fields.front() = "RCD" + parts.dir.string(); }},
    SubCommandEntry{"RBT",
                    [](RemoteParts& parts, SubCommand&) { parts.control.restart_or_power_off(PowerAction::reboot); }},
    SubCommandEntry{
        "SHD", [](RemoteParts& parts, SubCommand&) { parts.control.restart_or_power_off(PowerAction::power_off); }},
};

}  // namespace

void handle_do_command(RemoteParts parts, Realtime& replies, const Request& request) {
  const auto& items = request.items;
  auto fields = split_subfields(trim(item(items, 4)));
  const std::string sub = item(fields, 0);
  auto reply = ReplyWriter::answering(request.header);
  for (const auto& entry : kSubCommands) {
    if (entry.word != sub) continue;
    SubCommand command{items, fields, reply, *request.connection};
    entry.run(parts, command);
    break;
  }
  // An empty file read leaves no entry.
  reply.line(" Complete ", fields.empty() ? std::string_view() : std::string_view(fields.front()), ' ');
  send_reply(replies, *request.connection, std::move(reply).end());
}

}  // namespace orvane
