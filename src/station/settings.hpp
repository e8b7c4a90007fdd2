// The station's settings from emulate.ini: every key with its default, in
// the order start-up reads them.
#pragma once
#include "core/profile.hpp"

#include <filesystem>
#include <string>

namespace orvane {

inline constexpr const char* kSettingsFile = "emulate.ini";
// [READ] Timeout values outside 1..this many ms yield the default.
inline constexpr int kMaxReadTimeoutMs = 10'000;

struct Settings {
  // [Connection]
  int ClientPort = 5000;                     // command server port
  int ServerPort = 8000;                     // host FTP control port
  std::string Host = "127.0.0.1";            // host receiving events (ed_ip)
  std::string User = "Guest";                // host login
  std::string Password = "Tulip";            // host password
  std::string eventpath = "/kyvex/debug/data";  // remote folder for events
  // [Config]
  std::string FactoryID = "F1";              // ed_facid
  std::string SensorID = "S1";               // ed_sensorid
  std::string Telphone = "555123";           // ed_tel, dialled by the dial-up link
  std::string HistorySample = "1000";        // ed_historysam, ms
  std::string EventSample = "1000";          // ed_eventsam, ms
  // [Setting]
  std::string Connectmode = "0";             // "1" = confirm dial-up by ping
  std::string Connecttype = "0";             // "1" = deliver events over dial-up
  // [Real Data] (read; nothing depends on them)
  std::string HistoryType = "0";
  std::string DataPath;                      // default: the station directory
  // [Setting]
  bool ShowValue = false;                    // read; nothing depends on it
  // [ConvertData]
  int MinVal = 0;                            // raw range, lower end
  int MaxVal = 20;                           // raw range, upper end
  bool ChkConvert = false;                   // read; nothing depends on it
  // [READ]
  int Port = 3;                              // COM port of the device line
  int Brate = 9600;                          // baud rate of the device line
  bool Checksum = false;                     // "1": the modules want DCON checksums
  int Timeout = 200;                         // ms to wait for a module's reply
};

// Reads every key in table order from a parsed profile.
Settings read_settings(const Profile& profile, const std::string& station_dir);

// Loads `dir/emulate.ini`; a missing or unreadable file yields the defaults.
Profile load_profile(const std::filesystem::path& file);

// Writes keys into the file in one atomic replacement, keeping everything
// else. Throws std::system_error when the file can't be written.
struct ProfileWrite {
  std::string section, key, value;
};
void write_profile_keys(const std::filesystem::path& file, const std::vector<ProfileWrite>& writes);

}  // namespace orvane
