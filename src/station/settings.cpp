#include "station/settings.hpp"

#include "core/text_file.hpp"

#include <cerrno>
#include <fstream>
#include <system_error>
#include <iterator>

namespace orvane {

Settings read_settings(const Profile& p, const std::string& station_dir) {
  Settings s;
  s.ClientPort = p.get_int("Connection", "ClientPort", s.ClientPort);
  s.ServerPort = p.get_int("Connection", "ServerPort", s.ServerPort);
  s.Host = p.get_string("Connection", "Host", s.Host);
  s.User = p.get_string("Connection", "User", s.User);
  s.Password = p.get_string("Connection", "Password", s.Password);
  s.eventpath = p.get_string("Connection", "eventpath", s.eventpath);
  s.FactoryID = p.get_string("Config", "FactoryID", s.FactoryID);
  s.SensorID = p.get_string("Config", "SensorID", s.SensorID);
  s.Telphone = p.get_string("Config", "Telphone", s.Telphone);
  s.HistorySample = p.get_string("Config", "HistorySample", s.HistorySample);
  s.EventSample = p.get_string("Config", "EventSample", s.EventSample);
  s.Connectmode = p.get_string("Setting", "Connectmode", s.Connectmode);
  s.Connecttype = p.get_string("Setting", "Connecttype", s.Connecttype);
  s.HistoryType = p.get_string("Real Data", "History Type", s.HistoryType);
  s.DataPath = p.get_string("Real Data", "Data Path", station_dir);
  s.ShowValue = p.get_string("Setting", "ShowValue", "0") == "1";
  s.MinVal = p.get_int("ConvertData", "MinVal", s.MinVal);
  s.MaxVal = p.get_int("ConvertData", "MaxVal", s.MaxVal);
  s.ChkConvert = p.get_string("ConvertData", "ChkConvert", "0") != "0";
  s.Port = p.get_int("READ", "Port", s.Port);
  s.Brate = p.get_int("READ", "Brate", s.Brate);
  s.Checksum = p.get_string("READ", "Checksum", "0") == "1";
  // A wait of 0 would fail every read, and the read cycle waits on each
  // module in turn: beyond 10 s one silent module would stall the station.
  const int timeout = p.get_int("READ", "Timeout", s.Timeout);
  if (timeout >= 1 && timeout <= kMaxReadTimeoutMs) s.Timeout = timeout;
  return s;
}

Profile load_profile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Profile::parse(text);
}

void write_profile_keys(const std::filesystem::path& file, const std::vector<ProfileWrite>& writes) {
  // A file that exists but can't be read is not replaced by one holding
  // only the new keys: that would lose every other setting.
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !std::ifstream(file, std::ios::binary))
    throw std::system_error(errno ? errno : EACCES, std::generic_category(), "Cannot open file " + file.string());
  Profile p = load_profile(file);
  for (const auto& w : writes) p.set(w.section, w.key, w.value);
  write_file_atomic(file, p.text());
}

}  // namespace orvane
