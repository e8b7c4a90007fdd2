#include "device/simulated_modules.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace orvane {

namespace {

std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> parts;
  std::stringstream in{std::string(text)};
  for (std::string p; std::getline(in, p, sep);) parts.push_back(p);
  return parts;
}

}  // namespace

double ValueSource::value(double t) {
  switch (kind) {
    case constant:
      return a;
    case sine:
      return a + b * std::sin(2 * std::numbers::pi * t / (c > 0 ? c : 1));
    case ramp: {
      const double period = c > 0 ? c : 1;
      return a + (b - a) * std::fmod(t, period) / period;
    }
    case walk: {
      rng += 0x9e3779b97f4a7c15ULL;
      std::uint64_t z = rng;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      z ^= z >> 31;
      const double u = static_cast<double>(z >> 11) * 0x1.0p-53;  // [0, 1)
      walk_value += -b + 2 * b * u;
      return walk_value;
    }
    case alternate:
      return (rng++ & 1) ? b : a;
  }
  return 0;
}

ValueSource parse_value_source(std::string_view text, std::uint64_t seed) {
  const auto p = split(text, ':');
  if (p.empty()) throw std::invalid_argument("empty source");
  auto num = [&](std::size_t i, double fallback) { return i < p.size() ? std::stod(p[i]) : fallback; };
  ValueSource s;
  if (p[0] == "const") {
    s.kind = ValueSource::constant;
    s.a = num(1, 0);
  } else if (p[0] == "sine") {
    s.kind = ValueSource::sine;
    s.a = num(1, 10), s.b = num(2, 8), s.c = num(3, 20);
  } else if (p[0] == "ramp") {
    s.kind = ValueSource::ramp;
    s.a = num(1, 0), s.b = num(2, 20), s.c = num(3, 60);
  } else if (p[0] == "walk") {
    s.kind = ValueSource::walk;
    s.a = num(1, 10), s.b = num(2, 0.1);
    s.walk_value = s.a;
    s.rng = seed;
  } else if (p[0] == "alternate") {
    s.kind = ValueSource::alternate;
    s.a = num(1, 2), s.b = num(2, 18);
  } else {
    throw std::invalid_argument("unknown source '" + p[0] + "'");
  }
  return s;
}

std::string value_source_text(const ValueSource& s) {
  switch (s.kind) {
    case ValueSource::constant:
      return fmt::format("const:{}", s.a);
    case ValueSource::sine:
      return fmt::format("sine:{}:{}:{}", s.a, s.b, s.c);
    case ValueSource::ramp:
      return fmt::format("ramp:{}:{}:{}", s.a, s.b, s.c);
    case ValueSource::walk:
      return fmt::format("walk:{}:{}", s.a, s.b);
    case ValueSource::alternate:
      return fmt::format("alternate:{}:{}", s.a, s.b);
  }
  return {};
}

std::uint64_t input_seed(std::uint64_t seed, int address, int input) {
  return seed * 1000003u + static_cast<std::uint64_t>(address) * 8u + static_cast<std::uint64_t>(input);
}

ModuleFault parse_module_fault(std::string_view text) {
  if (text == "none") return ModuleFault::none;
  if (text == "silent") return ModuleFault::silent;
  if (text == "garbage") return ModuleFault::garbage;
  if (text == "badsum") return ModuleFault::badsum;
  if (text == "error") return ModuleFault::error;
  throw std::invalid_argument("unknown fault '" + std::string(text) + "'");
}

SimulatedModule default_simulated_module() {
  SimulatedModule m;
  for (int i = 0; i < kAnalogInputs; ++i) {
    auto& s = m.inputs[static_cast<std::size_t>(i)];
    s.kind = ValueSource::sine;
    s.a = 10, s.b = 8, s.c = 20 + 5 * i;  // each input its own pace
  }
  return m;
}

int parse_module_address(std::string_view hex) {
  const std::string text(hex);
  std::size_t used = 0;
  const int v = std::stoi(text, &used, 16);
  if (used != text.size() || v < 0 || v > 255) throw std::invalid_argument("bad module address '" + text + "'");
  return v;
}

std::string module_reading_text(double v) {
  if (!std::isfinite(v)) v = 0;
  return fmt::format("{}{:06.3f}", v < 0 ? '-' : '+', std::fabs(v));
}

void SimulatedModules::add_module(std::string_view address) {
  modules[parse_module_address(address)] = default_simulated_module();
}

void SimulatedModules::set_input(std::string_view setting, std::uint64_t seed) {
  const auto colon = setting.find(':'), eq = setting.find('=');
  if (colon == std::string_view::npos || eq == std::string_view::npos || eq < colon)
    throw std::invalid_argument("expected ADDR:N=SOURCE, got '" + std::string(setting) + "'");
  const int address = parse_module_address(setting.substr(0, colon));
  const auto which = setting.substr(colon + 1, eq - colon - 1);
  const auto it = modules.find(address);
  if (it == modules.end()) throw std::invalid_argument("no module at address " + std::string(setting.substr(0, colon)));
  if (which != "*" && (which.size() != 1 || which[0] < '0' || which[0] >= '0' + kAnalogInputs))
    throw std::invalid_argument("input '" + std::string(which) + "' is not 0.." + std::to_string(kAnalogInputs - 1) +
                                " or *");
  auto& m = it->second;
  for (int i = 0; i < kAnalogInputs; ++i) {
    if (which != "*" && which != std::to_string(i)) continue;
    m.inputs[static_cast<std::size_t>(i)] = parse_value_source(setting.substr(eq + 1), input_seed(seed, address, i));
  }
}

void SimulatedModules::set_fault(std::string_view setting) {
  const auto eq = setting.find('=');
  if (eq == std::string_view::npos)
    throw std::invalid_argument("expected ADDR=KIND, got '" + std::string(setting) + "'");
  const auto it = modules.find(parse_module_address(setting.substr(0, eq)));
  if (it == modules.end()) throw std::invalid_argument("no module at address " + std::string(setting.substr(0, eq)));
  it->second.fault = parse_module_fault(setting.substr(eq + 1));
}

std::optional<std::string> SimulatedModules::answer(std::string_view line, double t) {
  if (line.empty()) return std::nullopt;
  std::string_view body = line;
  if (checksum) {
    if (body.size() < 3) return std::nullopt;
    const auto sum = body.substr(body.size() - 2);
    body.remove_suffix(2);
    if (sum != dcon_checksum(body)) return std::nullopt;  // modules ignore a bad request
  }
  if (body.size() < 3) return std::nullopt;
  int address = 0;
  try {
    address = parse_module_address(body.substr(1, 2));
  } catch (const std::exception&) {
    return std::nullopt;  // not an address (or out of range)
  }
  const auto it = modules.find(address);
  if (it == modules.end()) return std::nullopt;  // nobody at that address on the bus
  SimulatedModule& m = it->second;
  std::string reply;
  if (m.fault == ModuleFault::silent) return std::nullopt;
  if (m.fault == ModuleFault::error || body[0] != '#' || body.size() != 3) {
    reply = fmt::format("?{:02X}", address);
  } else if (m.fault == ModuleFault::garbage) {
    reply = ">+1x.2#garbage!";
  } else {
    reply = ">";
    for (auto& in : m.inputs) reply += module_reading_text(in.value(t));
  }
  if (checksum) {
    auto sum = dcon_checksum(reply);
    if (m.fault == ModuleFault::badsum) sum = dcon_checksum(reply + "x");
    reply += sum;
  } else if (m.fault == ModuleFault::badsum) {
    reply += "00";  // without checksums a module that appends one still breaks the reply
  }
  return reply + "\r";
}

int SimulatedModules::reply_delay_ms(int address) const {
  const auto it = modules.find(address);
  return it == modules.end() ? delay_ms : std::max(delay_ms, it->second.delay_ms);
}

void SimulatedModules::apply_faults(const FaultSet& faults) {
  for (auto& [address, m] : modules) {
    m.fault = ModuleFault::none;
    m.delay_ms = 0;
  }
  // Every module's faults first, so that a single module's own takes their place.
  for (const bool every : {true, false}) {
    for (const auto& f : faults.items()) {
      if (f.target != FaultTarget::module || (f.module < 0) != every) continue;
      for (auto& [address, m] : modules) {
        if (!every && address != f.module) continue;
        if (f.kind == "delayed")
          m.delay_ms = f.delay_ms;
        else
          m.fault = parse_module_fault(f.kind);
      }
    }
  }
}

std::string check_module_fault(const SimulatedModules& modules, const InjectedFault& fault) {
  if (fault.target != FaultTarget::module) return "not a module fault";
  if (fault.kind != "delayed") {
    try {
      if (parse_module_fault(fault.kind) == ModuleFault::none) return "\"none\" is no fault (clear_faults ends them)";
    } catch (const std::invalid_argument&) {
      return "unknown module fault \"" + fault.kind + "\"";
    }
  }
  if (fault.module >= 0 && !modules.modules.contains(fault.module))
    return fmt::format("no module {:02X} on the simulated line", fault.module);
  return {};
}

std::string SimulatedModules::command(std::string_view text) {
  const std::string line(text);
  std::istringstream in(line);
  std::string first;
  if (!(in >> first)) return {};
  try {
    if (first == "fault") {
      std::string a, kind;
      in >> a >> kind;
      modules.at(parse_module_address(a)).fault = parse_module_fault(kind);
    } else if (first == "delay") {
      in >> delay_ms;
    } else {
      int input = -1;
      double v = 0;
      if (!(in >> input >> v) || input < 0 || input >= kAnalogInputs)
        throw std::invalid_argument("expected: module input value");
      auto& s = modules.at(parse_module_address(first)).inputs[static_cast<std::size_t>(input)];
      s.kind = ValueSource::constant;
      s.a = v;
    }
    return "ok " + line;
  } catch (const std::exception& e) {
    return "error " + line + ": " + e.what();
  }
}

}  // namespace orvane
