// Every file the station reads or writes, by its name in the station
// directory (the working directory of the station). The station never
// creates the folders log/ and history/ itself.
#pragma once
#include "core/local_time.hpp"

#include <filesystem>
#include <string>

namespace orvane::station_files {

inline constexpr const char* kSettings = "emulate.ini";  // identity and settings
inline constexpr const char* kModules = "module.con";  // the I-7000 modules, one line each
inline constexpr const char* kChannels = "channel.con";  // the channels of the modules
inline constexpr const char* kSensors = "sensor.con";  // the sensor list (the host's SET_ID rows)
inline constexpr const char* kLastValues = "last.con";  // channel values kept over a restart
inline constexpr const char* kAutoStart = "auto.con";  // "1": start reading at start-up
inline constexpr const char* kEventBuffer = "Event.Sav";  // events not yet delivered
inline constexpr const char* kEventHead = "Event.Head";  // where the undelivered events start in it
inline constexpr const char* kSendJournal = "Event.Snd";  // remote names of the events being delivered

// history/N.his: the hourly history of day N of the month (1..31).
inline std::filesystem::path history_file(const std::filesystem::path& dir, int day) {
  return dir / "history" / (std::to_string(day) + ".his");
}
inline constexpr int kHistoryDays = 31;

// log/YYYYMMDD.log and log/UYYYYMMDD.log: the day's event lines, as buffered
// and as read.
inline std::filesystem::path event_log_file(const std::filesystem::path& dir, LocalTime now) {
  return dir / "log" / (stamp_yyyymmdd(now) + ".log");
}
inline std::filesystem::path raw_event_log_file(const std::filesystem::path& dir, LocalTime now) {
  return dir / "log" / ("U" + stamp_yyyymmdd(now) + ".log");
}

}  // namespace orvane::station_files
