// DO_COMMAND: the host's remote sub-commands (files, data modes, clock,
// automatic start, restart and power-off).
#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/protocol.hpp"
#include "core/text_file.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

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

// RCFG: the file's lines become the sub-field list; the reply gets its text.
void read_station_file(Station& st, const Items& items, std::vector<std::string>& fields, std::string& reply) {
  const auto& name = item(fields, 1);
  const auto path = resolve_station_file(st.dir(), name);
  if (!path) return;
  std::vector<std::string> lines;
  try {
    lines = read_lines(*path);
  } catch (...) {
    return;  // unreadable: nothing added
  }
  reply += proto::STX;
  reply.append(" ").append(item(items, 0)).append(" ").append(item(items, 1)).append(" ");
  reply.append(item(items, 2)).append(" ").append(item(items, 3)).append(" ");
  std::string base(trim(name));
  if (const auto slash = base.find_last_of("/\\"); slash != std::string::npos) base.erase(0, slash + 1);
  reply += base;
  reply += proto::ENQ;
  for (const auto& line : lines) {
    reply += line;
    reply += proto::ENQ;
  }
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

}  // namespace

void handle_do_command(Station& st, std::string_view header, const Items& items, Connection& conn) {
  auto fields = split_subfields(trim(item(items, 4)));
  const std::string sub = item(fields, 0);
  std::string rcfg;
  if (sub == "RCFG") {
    read_station_file(st, items, fields, rcfg);
  } else if (sub == "SCFG") {
    write_station_file(st, fields);
  } else if (sub == "CHT") {
    empty_history_files(st);
  } else if (sub == "STR") {
    st.stop_data();
  } else if (sub == "STH") {
    st.set_clock_active(false);
  } else if (sub == "STA") {
    st.set_clock_active(false);
    st.stop_data();
  } else if (sub == "DIS") {
    st.set_clock_active(false);
    st.stop_data();
    st.write_auto_start("0");
  } else if (sub == "ENB") {
    st.set_clock_active(true);
    st.start_reading();
    st.write_auto_start("1");
  } else if (sub == "RCD") {
    fields.front() = "RCD" + st.dir().string();
  } else if (sub == "RBT") {
    st.restart_or_power_off(PowerAction::reboot);
  } else if (sub == "SHD") {
    st.restart_or_power_off(PowerAction::power_off);
  }
  std::string reply;
  reply += proto::SOH;
  reply += header;
  reply += rcfg;
  reply += proto::STX;
  reply += " Complete ";
  reply += fields.empty() ? std::string() : fields.front();  // an empty file read leaves no entry
  reply += ' ';
  reply += proto::ETX;
  reply += proto::EOT;
  send_reply(st, conn, reply);
}

}  // namespace orvane
