// The fleet file: stations described by tables of templates and a count,
// expanded into one plain description per station. Reading checks
// everything a station needs before anything starts, so that a mistake is
// reported with its file, line and key rather than as a station that fails.
#pragma once
#include "fleet/shard.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvane::fleet {

// "FILE:LINE: KEY: what is wrong" (LINE 0 when the file has no line for it).
class FleetFileError : public std::runtime_error {
 public:
  FleetFileError(const std::string& file, int line, const std::string& key, const std::string& what);
  int line() const { return line_; }

 private:
  int line_;
};

enum class LogDestination { memo, stdout_lines, file };

// Modules simulated in the process, in the simulator's own setting texts.
struct SimulatedLinePlan {
  std::vector<std::string> modules;  // "01"
  std::vector<std::string> inputs;  // "01:0=sine:10:8:60"
  std::vector<std::string> faults;  // "01=silent"
  std::uint64_t seed = 1;
  bool checksum = false;
  int delay_ms = 0;
};

struct StationPlan {
  long index = 0;  // n
  int file_line = 0;  // the line of its [[stations]] table
  std::filesystem::path dir;
  std::optional<std::filesystem::path> template_dir;
  std::string listen_address;  // empty: every interface
  std::optional<int> port;  // overrides ClientPort
  LogDestination log = LogDestination::memo;
  std::filesystem::path lock_file;
  std::filesystem::path flag_file;
  std::string reboot_cmd = "systemctl reboot";
  std::string poweroff_cmd = "systemctl poweroff";
  std::vector<std::pair<int, std::string>> com;  // COM port N -> device path
  // Written into emulate.ini when the directory is made from the template:
  // [Config] keys (identity) and [Connection] keys (the FTP host).
  std::vector<std::pair<std::string, std::string>> config_keys;
  std::vector<std::pair<std::string, std::string>> connection_keys;
  std::optional<SimulatedLinePlan> simulated;
};

struct FleetPlan {
  int threads = 0;  // 0: the number of cores
  int upload_sessions = 16;
  // The HTTP endpoint of every station: ADDR:PORT, :PORT or PORT
  // (loopback); empty: none. A relative token file is the fleet file's
  // directory's.
  std::string http;
  std::string http_token_file;
  bool metrics_channels = false;
  // A scenario file run from the start (relative: the fleet file's
  // directory's); empty: none.
  std::string scenario;
  std::vector<StationPlan> stations;  // of the shard only
  long fleet_stations = 0;  // in the whole file
  Shard shard;
};

// Reads a fleet file and expands the stations of `shard` (only theirs: a
// shard is checked as the fleet it runs, so two stations of different
// shards may share a port); throws FleetFileError, also for a shard that
// holds no station.
FleetPlan read_fleet_file(const std::filesystem::path& file, Shard shard = {});
// The same from text (`name` for the messages).
FleetPlan parse_fleet_text(std::string_view text, const std::string& name, Shard shard = {});

// Expands "{EXPR}" and "{EXPR:WIDTH}" in `text` for station `n` ("{{" and
// "}}" are braces); `dir` stands for "{dir}" (none: "{dir}" is an error).
// Throws std::invalid_argument with the reason.
std::string expand_template(std::string_view text, long n, const std::string* dir = nullptr);

}  // namespace orvane::fleet
