#include "fleet/fleet_file.hpp"

#include "device/serial_line.hpp"
#include "device/simulated_modules.hpp"
#include "http/endpoint_address.hpp"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

namespace orvane::fleet {

FleetFileError::FleetFileError(const std::string& file, int line, const std::string& key, const std::string& what)
    : std::runtime_error(file + ":" + std::to_string(line) + ": " + (key.empty() ? "" : key + ": ") + what),
      line_(line) {}

namespace {

// More stations than a process can listen for is a typo, not a fleet.
constexpr long kMaxStations = 100000;

// ---- "{EXPR:WIDTH}" ----

class Expression {
 public:
  Expression(std::string_view text, long n) : text_(text), n_(n) {}

  long evaluate() {
    const long v = sum();
    skip_blanks();
    if (pos_ != text_.size()) fail("unexpected \"" + std::string(text_.substr(pos_)) + "\"");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw std::invalid_argument("in {" + std::string(text_) + "}: " + why);
  }
  void skip_blanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  bool take(char c) {
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  long add(long a, long b) const {
    long r = 0;
    if (__builtin_add_overflow(a, b, &r)) fail("number too large");
    return r;
  }
  long multiply(long a, long b) const {
    long r = 0;
    if (__builtin_mul_overflow(a, b, &r)) fail("number too large");
    return r;
  }
  long sum() {
    long v = product();
    for (;;) {
      if (take('+'))
        v = add(v, product());
      else if (take('-'))
        v = add(v, multiply(-1, product()));
      else
        return v;
    }
  }
  long product() {
    long v = factor();
    for (;;) {
      if (take('*')) {
        v = multiply(v, factor());
      } else if (take('/') || take('%')) {
        const bool divide = text_[pos_ - 1] == '/';
        const long d = factor();
        if (d == 0) fail("division by zero");
        if (d == -1) v = divide ? multiply(v, -1) : 0;
        else v = divide ? v / d : v % d;
      } else {
        return v;
      }
    }
  }
  long factor() {
    if (take('-')) return multiply(-1, factor());
    if (take('(')) {
      const long v = sum();
      if (!take(')')) fail("missing )");
      return v;
    }
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == 'n') {
      ++pos_;
      return n_;
    }
    long v = 0;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      v = add(multiply(v, 10), text_[pos_] - '0');
      ++pos_;
    }
    if (pos_ == start) fail(pos_ < text_.size() ? "unexpected \"" + std::string(text_.substr(pos_)) + "\"" : "missing number");
    return v;
  }

  std::string_view text_;
  long n_;
  std::size_t pos_ = 0;
};

// A width with an optional fill or alignment, as in "05", "5", ">8".
bool valid_width(std::string_view plan) {
  std::size_t i = 0;
  if (i < plan.size() && (plan[i] == '<' || plan[i] == '>' || plan[i] == '^')) ++i;
  if (i < plan.size() && plan[i] == '0') ++i;
  const std::size_t digits = i;
  while (i < plan.size() && std::isdigit(static_cast<unsigned char>(plan[i]))) ++i;
  return i == plan.size() && i - digits <= 2;
}

}  // namespace

std::string expand_template(std::string_view text, long n, const std::string* dir) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '}') {
      if (i + 1 < text.size() && text[i + 1] == '}') {
        out += '}';
        ++i;
        continue;
      }
      throw std::invalid_argument("a } without its {");
    }
    if (c != '{') {
      out += c;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '{') {
      out += '{';
      ++i;
      continue;
    }
    const auto end = text.find('}', i + 1);
    if (end == std::string_view::npos) throw std::invalid_argument("a { without its }");
    const auto inner = text.substr(i + 1, end - i - 1);
    i = end;
    if (inner == "dir") {
      if (!dir) throw std::invalid_argument("{dir} is not known here");
      out += *dir;
      continue;
    }
    const auto colon = inner.find(':');
    const auto expr = inner.substr(0, colon);
    const auto plan = colon == std::string_view::npos ? std::string_view{} : inner.substr(colon + 1);
    if (!valid_width(plan)) throw std::invalid_argument("in {" + std::string(inner) + "}: bad width \"" + std::string(plan) + "\"");
    const long v = Expression(expr, n).evaluate();
    out += fmt::format(fmt::runtime("{:" + std::string(plan) + "}"), v);
  }
  return out;
}

namespace {

class Reader {
 public:
  Reader(std::string name, Shard shard) : name_(std::move(name)), shard_(shard) {}

  FleetPlan read(std::string_view text) {
    toml::table root;
    try {
      root = toml::parse(text, name_);
    } catch (const toml::parse_error& e) {
      throw FleetFileError(name_, static_cast<int>(e.source().begin.line), "", std::string(e.description()));
    }
    FleetPlan plan;
    plan.shard = shard_;
    std::vector<const toml::table*> groups;
    for (const auto& [key, node] : root) {
      const std::string k(key.str());
      if (k == "threads") {
        plan.threads = static_cast<int>(plain_integer(node, k, 0, 256));
      } else if (k == "upload_sessions") {
        plan.upload_sessions = static_cast<int>(plain_integer(node, k, 1, 256));
      } else if (k == "http") {
        if (!node.is_string()) fail(node, k, "must be a string (ADDR:PORT, :PORT or PORT)");
        plan.http = *node.value<std::string>();
        try {
          http::parse_endpoint_address(plan.http);
        } catch (const std::invalid_argument& e) {
          fail(node, k, e.what());
        }
      } else if (k == "http_token_file") {
        if (!node.is_string()) fail(node, k, "must be a string (a file name)");
        plan.http_token_file = *node.value<std::string>();
      } else if (k == "scenario") {
        if (!node.is_string()) fail(node, k, "must be a string (a scenario file)");
        plan.scenario = *node.value<std::string>();
      } else if (k == "metrics_channels") {
        if (!node.is_boolean()) fail(node, k, "must be true or false");
        plan.metrics_channels = *node.value<bool>();
      } else if (k == "stations") {
        const auto* tables = node.as_array();
        if (!tables || !tables->is_array_of_tables()) fail(node, k, "must be [[stations]] tables");
        for (const auto& t : *tables) groups.push_back(t.as_table());
      } else {
        fail(node, k, "unknown key");
      }
    }
    if (groups.empty()) throw FleetFileError(name_, 1, "stations", "the file describes no station ([[stations]] with a count)");
    // Every table's count first: a shard is a range of positions in the
    // whole fleet, and only its stations are expanded.
    std::vector<GroupSpan> spans;
    for (const auto* g : groups) {
      spans.push_back(group_span(*g, plan.fleet_stations));
      plan.fleet_stations += spans.back().count;
    }
    const auto range = shard_range(plan.fleet_stations, shard_);
    if (range.first == range.last)
      throw FleetFileError(name_, 1, "stations",
                           "shard " + describe(shard_) + " holds no station (the fleet has " +
                               std::to_string(plan.fleet_stations) + ")");
    long position = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
      const auto& span = spans[i];
      const long from = std::max(range.first - position, 0L);
      const long to = std::min(range.last - position, span.count);
      for (long k = from; k < to; ++k) plan.stations.push_back(station(*groups[i], span.first + k, span.line));
      position += span.count;
    }
    check_unique(plan.stations);
    return plan;
  }

 private:
  [[noreturn]] void fail(const toml::node& at, const std::string& key, const std::string& why) const {
    throw FleetFileError(name_, static_cast<int>(at.source().begin.line), key, why);
  }

  long plain_integer(const toml::node& node, const std::string& key, long lo, long hi) const {
    const auto v = node.value<std::int64_t>();
    if (!node.is_integer() || !v) fail(node, key, "must be a whole number");
    if (*v < lo || *v > hi) fail(node, key, "must be " + std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<long>(*v);
  }

  // A string value expanded for station n; `dir` for "{dir}".
  std::string text(const toml::node& node, const std::string& key, long n, const std::string* dir = nullptr) const {
    if (!node.is_string()) fail(node, key, "must be a string");
    std::string value;
    try {
      value = expand_template(*node.value<std::string>(), n, dir);
    } catch (const std::invalid_argument& e) {
      fail(node, key, e.what());
    }
    if (value.find_first_of("\r\n") != std::string::npos) fail(node, key, "holds a line break");
    return value;
  }

  // A number, or a string that expands to one.
  long integer(const toml::node& node, const std::string& key, long n, long lo, long hi) const {
    if (node.is_integer()) return plain_integer(node, key, lo, hi);
    if (!node.is_string()) fail(node, key, "must be a whole number or a string giving one");
    const auto s = text(node, key, n);
    long v = 0;
    std::size_t used = 0;
    try {
      v = std::stol(s, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != s.size()) fail(node, key, "\"" + s + "\" is not a whole number");
    if (v < lo || v > hi) fail(node, key, std::to_string(v) + " is not in " + std::to_string(lo) + ".." + std::to_string(hi));
    return v;
  }

  bool boolean(const toml::node& node, const std::string& key) const {
    if (!node.is_boolean()) fail(node, key, "must be true or false");
    return *node.value<bool>();
  }

  const toml::table& table(const toml::node& node, const std::string& key) const {
    if (!node.is_table()) fail(node, key, "must be a table");
    return *node.as_table();
  }

  std::vector<std::string> texts(const toml::node& node, const std::string& key, long n) const {
    const auto* a = node.as_array();
    if (!a) fail(node, key, "must be a list of strings");
    std::vector<std::string> out;
    for (const auto& item : *a) out.push_back(text(item, key, n));
    return out;
  }

  struct GroupSpan {
    int line = 0;
    long first = 1;
    long count = 0;
  };

  // A [[stations]] table's first n and count; `before` stations precede it.
  GroupSpan group_span(const toml::table& group, long before) const {
    GroupSpan span;
    span.line = static_cast<int>(group.source().begin.line);
    const auto* count_node = group.get("count");
    if (!count_node) throw FleetFileError(name_, span.line, "stations.count", "missing (how many stations this table describes)");
    if (!group.get("dir")) throw FleetFileError(name_, span.line, "stations.dir", "missing (the station directory, e.g. \"/var/lib/orvane-fleet/{n:05}\")");
    span.count = integer(*count_node, "stations.count", 0, 1, kMaxStations);
    span.first = group.get("first") ? integer(*group.get("first"), "stations.first", 0, 0, 1L << 40) : 1;
    if (before + span.count > kMaxStations)
      fail(*count_node, "stations.count", "more than " + std::to_string(kMaxStations) + " stations in all");
    return span;
  }

  StationPlan station(const toml::table& group, long n, int line) const {
    StationPlan s;
    s.index = n;
    s.file_line = line;
    const auto& dir_node = *group.get("dir");
    s.dir = std::filesystem::path(text(dir_node, "stations.dir", n)).lexically_normal();
    if (s.dir.empty()) fail(dir_node, "stations.dir", "is empty");
    const std::string dir = s.dir.string();
    s.lock_file = s.dir / "OrvaneEmulator.lock";
    s.flag_file = s.dir / "configured.flag";
    for (const auto& [key, node] : group) {
      const std::string k(key.str());
      const std::string full = "stations." + k;
      if (k == "count" || k == "first" || k == "dir") continue;
      if (k == "template") {
        s.template_dir = text(node, full, n, &dir);
      } else if (k == "listen") {
        s.listen_address = text(node, full, n, &dir);
        in6_addr a6{};
        in_addr a4{};
        if (::inet_pton(AF_INET, s.listen_address.c_str(), &a4) != 1 &&
            ::inet_pton(AF_INET6, s.listen_address.c_str(), &a6) != 1)
          fail(node, full, "\"" + s.listen_address + "\" is not an IPv4 or IPv6 address");
      } else if (k == "port") {
        s.port = static_cast<int>(integer(node, full, n, 1, 65535));
      } else if (k == "log") {
        const auto v = text(node, full, n);
        if (v == "memo") s.log = LogDestination::memo;
        else if (v == "stdout") s.log = LogDestination::stdout_lines;
        else if (v == "file") s.log = LogDestination::file;
        else fail(node, full, "\"" + v + "\" is not memo, stdout or file");
      } else if (k == "lock_file") {
        s.lock_file = std::filesystem::path(text(node, full, n, &dir)).lexically_normal();
      } else if (k == "flag_file") {
        s.flag_file = std::filesystem::path(text(node, full, n, &dir)).lexically_normal();
      } else if (k == "reboot_cmd") {
        s.reboot_cmd = text(node, full, n, &dir);
      } else if (k == "poweroff_cmd") {
        s.poweroff_cmd = text(node, full, n, &dir);
      } else if (k == "com") {
        for (const auto& [port, path] : table(node, full)) {
          const std::string pk = full + "." + std::string(port.str());
          try {
            s.com.push_back(parse_com_mapping(std::string(port.str()) + "=" + text(path, pk, n, &dir)));
          } catch (const FleetFileError&) {
            throw;
          } catch (const std::exception& e) {
            fail(path, pk, e.what());
          }
        }
      } else if (k == "identity") {
        for (const auto& [ik, iv] : table(node, full)) {
          const std::string name(ik.str());
          if (name != "FactoryID" && name != "SensorID" && name != "Telphone")
            fail(iv, full + "." + name, "unknown key (FactoryID, SensorID or Telphone)");
          s.config_keys.emplace_back(name, text(iv, full + "." + name, n, &dir));
        }
      } else if (k == "ftp") {
        const std::map<std::string, std::string> names{
            {"host", "Host"}, {"port", "ServerPort"}, {"user", "User"}, {"password", "Password"}, {"eventpath", "eventpath"}};
        for (const auto& [fk, fv] : table(node, full)) {
          const std::string name(fk.str());
          const auto it = names.find(name);
          if (it == names.end()) fail(fv, full + "." + name, "unknown key (host, port, user, password or eventpath)");
          const std::string value = name == "port" ? std::to_string(integer(fv, full + "." + name, n, 1, 65535))
                                                   : text(fv, full + "." + name, n, &dir);
          s.connection_keys.emplace_back(it->second, value);
        }
      } else if (k == "modules") {
        s.simulated = simulated_line(table(node, full), full, n);
      } else {
        fail(node, full, "unknown key");
      }
    }
    return s;
  }

  SimulatedLinePlan simulated_line(const toml::table& t, const std::string& full, long n) const {
    SimulatedLinePlan line;
    for (const auto& [key, node] : t) {
      const std::string k(key.str());
      const std::string name = full + "." + k;
      if (k == "modules") line.modules = texts(node, name, n);
      else if (k == "inputs") line.inputs = texts(node, name, n);
      else if (k == "faults") line.faults = texts(node, name, n);
      else if (k == "seed") line.seed = static_cast<std::uint64_t>(integer(node, name, n, 0, std::numeric_limits<long>::max()));
      else if (k == "checksum") line.checksum = boolean(node, name);
      else if (k == "delay_ms") line.delay_ms = static_cast<int>(integer(node, name, n, 0, 60000));
      else fail(node, name, "unknown key");
    }
    if (line.modules.empty()) fail(t, full + ".modules", "names no module");
    // The settings are checked by the simulator's own parser, setting by
    // setting, so a mistake points at its key.
    SimulatedModules check;
    auto each = [&](const char* k, const std::vector<std::string>& items, auto apply) {
      const auto* node = t.get(k);
      for (const auto& item : items) {
        try {
          apply(item);
        } catch (const std::exception& e) {
          fail(*node, full + "." + k, "\"" + item + "\": " + e.what());
        }
      }
    };
    each("modules", line.modules, [&](const std::string& m) { check.add_module(m); });
    each("inputs", line.inputs, [&](const std::string& i) { check.set_input(i, line.seed); });
    each("faults", line.faults, [&](const std::string& f) { check.set_fault(f); });
    return line;
  }

  // Two stations may not share a directory, a lock or an address and port.
  void check_unique(const std::vector<StationPlan>& stations) const {
    std::map<std::filesystem::path, long> dirs, locks;
    struct OnPort {
      long any = -1;  // a station listening on every address
      std::map<std::string, long> addresses;
    };
    std::map<int, OnPort> ports;
    for (const auto& s : stations) {
      const auto clash = [&](const std::string& key, const std::string& what, long other) {
        throw FleetFileError(name_, s.file_line, key,
                             "station " + std::to_string(s.index) + " has the " + what + " of station " +
                                 std::to_string(other));
      };
      if (auto [it, fresh] = dirs.emplace(s.dir, s.index); !fresh) clash("stations.dir", "directory " + s.dir.string(), it->second);
      if (auto [it, fresh] = locks.emplace(s.lock_file, s.index); !fresh)
        clash("stations.lock_file", "lock file " + s.lock_file.string(), it->second);
      if (!s.port) continue;
      auto& on = ports[*s.port];
      const auto where = (s.listen_address.empty() ? std::string("*") : s.listen_address) + ":" + std::to_string(*s.port);
      if (on.any >= 0) clash("stations.port", "address and port " + where, on.any);
      if (s.listen_address.empty()) {
        if (!on.addresses.empty()) clash("stations.port", "address and port " + where, on.addresses.begin()->second);
        on.any = s.index;
      } else if (auto [it, fresh] = on.addresses.emplace(s.listen_address, s.index); !fresh) {
        clash("stations.port", "address and port " + where, it->second);
      }
    }
  }

  std::string name_;
  Shard shard_;
};

}  // namespace

FleetPlan parse_fleet_text(std::string_view text, const std::string& name, Shard shard) {
  return Reader(name, shard).read(text);
}

FleetPlan read_fleet_file(const std::filesystem::path& file, Shard shard) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw FleetFileError(file.string(), 0, "", "cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  auto plan = parse_fleet_text(text.str(), file.string(), shard);
  if (!plan.http_token_file.empty() && std::filesystem::path(plan.http_token_file).is_relative())
    plan.http_token_file = (file.parent_path() / plan.http_token_file).string();
  if (!plan.scenario.empty() && std::filesystem::path(plan.scenario).is_relative())
    plan.scenario = (file.parent_path() / plan.scenario).string();
  return plan;
}

}  // namespace orvane::fleet
