// DO_COMMAND: the host's remote sub-commands (files, data modes, clock,
// automatic start, restart and power-off).
#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/protocol.hpp"
#include "core/reply_writer.hpp"
#include "core/text_file.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

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
// a line without its ETX.
void read_station_file(Station& st, const Items& items, std::vector<std::string>& fields, ReplyWriter& reply) {
  const auto& name = item(fields, 1);
  const auto path = resolve_station_file(st.dir(), name);
  if (!path) return;
  std::vector<std::string> lines;
  try {
    lines = read_lines(*path);
  } catch (...) {
    return;  // unreadable: nothing added
  }
  std::string base(trim(name));
  if (const auto slash = base.find_last_of("/\\"); slash != std::string::npos) base.erase(0, slash + 1);
  reply.open_line(" ", item(items, 0), " ", item(items, 1), " ", item(items, 2), " ", item(items, 3), " ", base,
                  proto::ENQ);
  for (const auto& line : lines) reply.add(line, proto::ENQ);
  fields = std::move(lines);
}

// SCFG: sub-fields 2 onward are the lines of the file.
void write_station_file(Station& st, std::vector<std::string>& fields) {
  const auto& name = item(fields, 1);
  if (fields.size() < 3) throw std::runtime_error("SCFG without a line to write");
  const auto path = resolve_station_file(st.dir(), name);
  if (!path) throw std::runtime_error("Cannot create file \"" + name + "\"");
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
};

struct SubCommandEntry {
  std::string_view word;
  void (*run)(Station& st, SubCommand& sub);
};

constexpr std::array kSubCommands{
    SubCommandEntry{"RCFG", [](Station& st, SubCommand& c) { read_station_file(st, c.items, c.fields, c.reply); }},
    SubCommandEntry{"SCFG", [](Station& st, SubCommand& c) { write_station_file(st, c.fields); }},
    SubCommandEntry{"CHT", [](Station& st, SubCommand&) { empty_history_files(st); }},
    SubCommandEntry{"STR", [](Station& st, SubCommand&) { st.stop_data(); }},
    SubCommandEntry{"STH", [](Station& st, SubCommand&) { st.set_clock_active(false); }},
    SubCommandEntry{"STA",
                    [](Station& st, SubCommand&) {
                      st.set_clock_active(false);
                      st.stop_data();
                    }},
    SubCommandEntry{"DIS",
                    [](Station& st, SubCommand&) {
                      st.set_clock_active(false);
                      st.stop_data();
                      st.write_auto_start("0");
                    }},
    SubCommandEntry{"ENB",
                    [](Station& st, SubCommand&) {
                      st.set_clock_active(true);
                      st.start_reading();
                      st.write_auto_start("1");
                    }},
    SubCommandEntry{"RCD", [](Station& st, SubCommand& c) { c.fields.front() = "RCD" + st.dir().string(); }},
    SubCommandEntry{"RBT", [](Station& st, SubCommand&) { st.restart_or_power_off(PowerAction::reboot); }},
    SubCommandEntry{"SHD", [](Station& st, SubCommand&) { st.restart_or_power_off(PowerAction::power_off); }},
};

}  // namespace

void handle_do_command(Station& st, const Request& request) {
  const auto& items = request.items;
  auto fields = split_subfields(trim(item(items, 4)));
  const std::string sub = item(fields, 0);
  auto reply = ReplyWriter::answering(request.header);
  for (const auto& entry : kSubCommands) {
    if (entry.word != sub) continue;
    SubCommand command{items, fields, reply};
    entry.run(st, command);
    break;
  }
  // An empty file read leaves no entry.
  reply.line(" Complete ", fields.empty() ? std::string_view() : std::string_view(fields.front()), ' ');
  send_reply(st, *request.connection, std::move(reply).end());
}

}  // namespace orvane
