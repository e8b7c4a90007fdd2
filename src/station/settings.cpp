#include "station/settings.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/limits.hpp"
#include "core/text_file.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

namespace orvane {

std::chrono::milliseconds IntervalSetting::period() const { return std::chrono::milliseconds(interval_ms(text)); }

StationSettings read_settings(const Profile& p, const std::string& station_dir) {
  StationSettings s;
  s.client_port = p.get_int("Connection", "ClientPort", s.client_port);
  s.server_port = p.get_int("Connection", "ServerPort", s.server_port);
  s.host = p.get_string("Connection", "Host", s.host);
  s.user = p.get_string("Connection", "User", s.user);
  s.password = p.get_string("Connection", "Password", s.password);
  s.event_path = p.get_string("Connection", "eventpath", s.event_path);
  s.allow_hosts = p.get_string("Connection", "AllowHosts", s.allow_hosts);
  s.max_hosts = p.get_int("Connection", "MaxHosts", s.max_hosts);
  const int idle = p.get_int("Connection", "IdleSeconds", s.idle_seconds);
  s.idle_seconds = idle >= 0 && idle <= limits::kMaxIdleSeconds ? idle : limits::kDefaultIdleSeconds;
  s.factory_id = p.get_string("Config", "FactoryID", s.factory_id);
  s.sensor_id = p.get_string("Config", "SensorID", s.sensor_id);
  s.telephone = p.get_string("Config", "Telphone", s.telephone);
  s.history_sample.text = p.get_string("Config", "HistorySample", s.history_sample.text);
  s.event_sample.text = p.get_string("Config", "EventSample", s.event_sample.text);
  // A file edited by hand may hold a lone CR inside a value. What SET_CONFIG
  // sets has line breaks as blanks: the identity from the file gets the same
  // treatment, or every event line would be refused and no host could
  // address the station.
  for (auto* text : {&s.factory_id, &s.sensor_id, &s.telephone, &s.host, &s.history_sample.text, &s.event_sample.text})
    if (text->find_first_of("\r\n") != std::string::npos) *text = Profile::read_back(*text);
  s.connect_mode =
      p.get_string("Setting", "Connectmode", "0") == "1" ? ConnectMode::confirm_by_ping : ConnectMode::dialled;
  s.connect_type = p.get_string("Setting", "Connecttype", "0") == "1" ? ConnectType::dial_up : ConnectType::lan;
  s.history_type = p.get_string("Real Data", "History Type", s.history_type);
  s.data_path = p.get_string("Real Data", "Data Path", station_dir);
  s.show_value = p.get_string("Setting", "ShowValue", "0") == "1";
  s.raw_min = p.get_int("ConvertData", "MinVal", s.raw_min);
  s.raw_max = p.get_int("ConvertData", "MaxVal", s.raw_max);
  s.convert = p.get_string("ConvertData", "ChkConvert", "0") != "0";
  s.com_port = p.get_int("READ", "Port", s.com_port);
  s.baud_rate = p.get_int("READ", "Brate", s.baud_rate);
  s.checksum = p.get_string("READ", "Checksum", "0") == "1";
  // A wait of 0 would fail every read, and the read cycle waits on each
  // module in turn: beyond 10 s one silent module would stall the station.
  const auto timeout = p.get_int("READ", "Timeout", limits::kModuleReadTimeoutMs);
  if (timeout >= 1 && timeout <= limits::kMaxModuleReadTimeoutMs) s.module_timeout = std::chrono::milliseconds(timeout);
  return s;
}

std::vector<std::string> settings_problems(const Profile& p) {
  std::vector<std::string> problems;
  if (const auto text = p.get("Connection", "MaxHosts")) {
    const auto n = strict_int(*text);
    if (!n)
      problems.push_back("Error : MaxHosts: \"" + *text + "\" is not a number; " +
                         std::to_string(limits::kDefaultMaxHosts) + " hosts at most");
    else if (*n < 1)
      problems.push_back("Error : MaxHosts: \"" + *text + "\" is out of range (1 or more); 1 host at most");
  }
  if (const auto text = p.get("Connection", "IdleSeconds")) {
    const auto n = strict_int(*text);
    if (!n || *n < 0 || *n > limits::kMaxIdleSeconds)
      problems.push_back("Error : IdleSeconds: \"" + *text + "\" is not a number from 0 to " +
                         std::to_string(limits::kMaxIdleSeconds) + "; " + std::to_string(limits::kDefaultIdleSeconds) +
                         " s used");
  }
  for (auto& text : problems) text = with_controls_escaped(text);
  return problems;
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
  write_file_atomic(file, p.text(), NewFile::owner_only);  // it may hold the FTP password
}

IdentityUpdate identity_of(const StationSettings& s) {
  return {s.factory_id, s.sensor_id, s.telephone, s.host, s.history_sample.text, s.event_sample.text};
}

namespace {
std::vector<ProfileWrite> identity_keys(const IdentityUpdate& u) {
  return {{"Config", "FactoryID", u.factory_id},         {"Config", "SensorID", u.sensor_id},
          {"Config", "Telphone", u.telephone},           {"Connection", "HOST", u.host},
          {"Config", "HistorySample", u.history_sample}, {"Config", "EventSample", u.event_sample}};
}
}  // namespace

void write_identity(const std::filesystem::path& settings_file, const IdentityUpdate& u) {
  write_profile_keys(settings_file, identity_keys(u));
}

std::optional<std::string> settings_text(const std::filesystem::path& settings_file, const IdentityUpdate& u,
                                         std::size_t max_bytes) {
  std::string text;
  std::error_code ec;
  if (std::filesystem::exists(settings_file, ec)) {
    auto content = read_regular_file(settings_file, max_bytes);
    if (!content) return std::nullopt;
    text = std::move(*content);
  }
  Profile p = Profile::parse(text);
  for (const auto& w : identity_keys(u)) p.set(w.section, w.key, w.value);
  text = p.text();
  if (text.size() > max_bytes) return std::nullopt;
  return text;
}

void set_identity(const IdentityUpdate& u, StationSettings& s) {
  s.factory_id = u.factory_id;
  s.sensor_id = u.sensor_id;
  s.telephone = u.telephone;
  s.host = u.host;
  s.history_sample.text = u.history_sample;
  s.event_sample.text = u.event_sample;
}

}  // namespace orvane
