// The station's identity and settings: one record, read from emulate.ini at
// start-up and changed by SET_CONFIG together with the file. Each field says
// what it is, its key in emulate.ini ([Section] Key) and its default.
#pragma once
#include "core/limits.hpp"
#include "core/profile.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// How events reach the host.
enum class ConnectType {
  lan,  // FTP to the host over the network
  dial_up,  // dial the host first ("1")
};

// How a dial-up link is taken as up.
enum class ConnectMode {
  dialled,  // once the dialler says so
  confirm_by_ping,  // and the host answers a ping ("1")
};

// A sampling interval as it was written: the text is kept as it came (READ_CONFIG
// and the window show it unchanged), the period is read from its leading digits.
struct IntervalSetting {
  std::string text;
  // 0 or no digits: 1000 ms; otherwise at least 1 ms.
  std::chrono::milliseconds period() const;
};

struct StationSettings {
  // ---- identity, set by SET_CONFIG; held as written, compared trimmed ----
  std::string factory_id = "F1";  // [Config] FactoryID, default "F1"
  std::string sensor_id = "S1";  // [Config] SensorID, default "S1"
  std::string telephone = "555123";  // [Config] Telphone, default "555123": the number the dial-up link dials
  std::string host = "127.0.0.1";  // [Connection] Host, default "127.0.0.1": receives the events (trimmed for FTP)
  IntervalSetting history_sample{"1000"};  // [Config] HistorySample, default "1000" ms: the hourly history sampling
  IntervalSetting event_sample{"1000"};  // [Config] EventSample, default "1000" ms: the event check

  // ---- read at start-up only ----
  int client_port = 5000;  // [Connection] ClientPort, default 5000: the command server's port
  int server_port = 8000;  // [Connection] ServerPort, default 8000: the host's FTP control port
  std::string user = "Guest";  // [Connection] User, default "Guest": FTP and dial-up login
  std::string password = "Tulip";  // [Connection] Password, default "Tulip"
  std::string event_path = "/kyvex/debug/data";  // [Connection] eventpath, default "/kyvex/debug/data": remote folder
  std::string
      allow_hosts;  // [Connection] AllowHosts, default empty (every host): addresses and prefixes that may connect
  int max_hosts = limits::kDefaultMaxHosts;  // [Connection] MaxHosts, default 256: hosts connected at once
  int idle_seconds = limits::kDefaultIdleSeconds;  // [Connection] IdleSeconds, 0..86400, default 90
  ConnectType connect_type = ConnectType::lan;  // [Setting] Connecttype, default "0"
  ConnectMode connect_mode = ConnectMode::dialled;  // [Setting] Connectmode, default "0"
  bool show_value = false;  // [Setting] ShowValue, default "0"; nothing depends on it
  std::string history_type = "0";  // [Real Data] History Type, default "0"; nothing depends on it
  std::string data_path;  // [Real Data] Data Path, default the station directory; nothing depends on it
  int raw_min = 0;  // [ConvertData] MinVal, default 0: lower end of the raw range
  int raw_max = 20;  // [ConvertData] MaxVal, default 20: upper end of the raw range
  bool convert = false;  // [ConvertData] ChkConvert, default "0"; nothing depends on it
  int com_port = 3;  // [READ] Port, default 3: COM port number of the device line
  int baud_rate = 9600;  // [READ] Brate, default 9600
  bool checksum = false;  // [READ] Checksum, default "0"; "1": the modules want DCON checksums
  // [READ] Timeout, default 200 ms: the wait for a module's reply. Values
  // outside 1 ms .. limits::kMaxModuleReadTimeoutMs yield the default.
  std::chrono::milliseconds module_timeout{limits::kModuleReadTimeoutMs};
};

// Reads every key in table order from a parsed profile.
StationSettings read_settings(const Profile& profile, const std::string& station_dir);

// Keys an operator wrote that the station can't take as they stand, one log
// text each ("Error : MaxHosts: ..."), saying what is used instead.
std::vector<std::string> settings_problems(const Profile& profile);

// Loads `dir/emulate.ini`; a missing or unreadable file yields the defaults.
Profile load_profile(const std::filesystem::path& file);

// Writes keys into the file in one atomic replacement, keeping everything
// else. Throws std::system_error when the file can't be written.
struct ProfileWrite {
  std::string section, key, value;
};
void write_profile_keys(const std::filesystem::path& file, const std::vector<ProfileWrite>& writes);

// What SET_CONFIG sets: the identity, the host and the two intervals, as the
// host sent them (line breaks as blanks).
struct IdentityUpdate {
  std::string factory_id, sensor_id, telephone, host, history_sample, event_sample;
};
// The record's identity as an update (to put it back).
IdentityUpdate identity_of(const StationSettings& settings);
// Writes the identity to emulate.ini; throws when the file can't take it.
void write_identity(const std::filesystem::path& settings_file, const IdentityUpdate& update);
// emulate.ini's text once write_identity has written `update` into it, when
// the file can be read and that text is at most `max_bytes` long.
std::optional<std::string> settings_text(const std::filesystem::path& settings_file, const IdentityUpdate& update,
                                         std::size_t max_bytes);
// Changes the record's identity, as emulate.ini gives it back after a restart
// (Profile::read_back of each value).
void set_identity(const IdentityUpdate& update, StationSettings& settings);

}  // namespace orvane
