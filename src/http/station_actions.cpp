#include "http/station_actions.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "device/simulated_modules.hpp"
#include "http/station_json.hpp"
#include "station/channel_model.hpp"
#include "station/event_path.hpp"
#include "station/faulty_uplink.hpp"
#include "station/station.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <set>

namespace orvane::http {
namespace {

using nlohmann::json;

[[noreturn]] void refuse(int status, std::string reason) { throw RequestRefused{status, std::move(reason)}; }

Response json_answer(int status, const json& body) { return {status, "application/json", body.dump() + "\n"}; }

// ---- the answers of many stations ----

struct Outcome {
  bool ran = false;
  bool failed = false;
  std::string text;  // the change, or why it failed
};

// The stations' outcomes as they come in, from their threads.
struct Collector {
  std::mutex mutex;
  std::condition_variable done;
  std::vector<Outcome> outcomes;
  std::size_t left = 0;

  void finish(std::size_t i, Outcome outcome) {
    std::lock_guard lock(mutex);
    outcomes[i] = std::move(outcome);
    --left;
    done.notify_all();
  }
};

// Reports the station's outcome once: what the action set, or, when the
// action is destroyed unrun (the station ended first), that it did not run.
struct Ticket {
  Ticket(std::shared_ptr<Collector> c, std::size_t index) : collector(std::move(c)), i(index) {}
  Ticket(const Ticket&) = delete;
  Ticket& operator=(const Ticket&) = delete;
  std::shared_ptr<Collector> collector;
  std::size_t i;
  bool reported = false;
  void report(Outcome outcome) {
    reported = true;
    collector->finish(i, std::move(outcome));
  }
  ~Ticket() {
    if (!reported) collector->finish(i, {true, true, "the station ended before it ran the action"});
  }
};

}  // namespace

// A value as SET_VALUE takes it: a whole number, given as a number or as
// numeric text (the station keeps its channel values as whole numbers).
std::int64_t channel_value(const json& v) {
  constexpr const char* kWhat = "\"value\" must be an integer (a number or numeric text without a fraction)";
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
      refuse(400, "\"value\" is out of range");
    return v.get<std::int64_t>();
  }
  double d = 0;
  if (v.is_number_float()) {
    d = v.get<double>();
  } else if (v.is_string()) {
    const auto text = v.get<std::string>();
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) refuse(400, kWhat);
  } else {
    refuse(400, kWhat);
  }
  if (!std::isfinite(d) || d != std::trunc(d)) refuse(400, kWhat);
  if (std::fabs(d) >= 9.2e18) refuse(400, "\"value\" is out of range");
  return static_cast<std::int64_t>(d);
}

Response run_on_stations(const StationBoard& board, const std::vector<ActionTarget>& targets, StationChange change,
                         std::chrono::milliseconds timeout) {
  auto collector = std::make_shared<Collector>();
  collector->outcomes.resize(targets.size());
  collector->left = targets.size();
  auto shared_change = std::make_shared<StationChange>(std::move(change));
  for (std::size_t i = 0; i < targets.size(); ++i) {
    auto ticket = std::make_shared<Ticket>(collector, i);
    board.post(targets[i].slot, [ticket, shared_change](StationControl& control) {
      Outcome outcome{true, false, {}};
      try {
        outcome.text = (*shared_change)(control);
      } catch (const std::exception& e) {
        outcome.failed = true;
        outcome.text = e.what();
      }
      ticket->report(std::move(outcome));
    });
  }
  std::unique_lock lock(collector->mutex);
  collector->done.wait_for(lock, timeout, [&] { return collector->left == 0; });
  json changed = json::array(), failed = json::array(), pending = json::array();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const auto& o = collector->outcomes[i];
    if (!o.ran)
      pending.push_back(targets[i].name);
    else if (o.failed)
      failed.push_back({{"station", targets[i].name}, {"error", o.text}});
    else if (!o.text.empty())
      changed.push_back({{"station", targets[i].name}, {"what", o.text}});
  }
  lock.unlock();
  json answer = {{"changed", changed}, {"count", changed.size()}};
  int status = 200;
  if (!failed.empty()) {
    answer["failed"] = std::move(failed);
    status = 409;
  }
  if (!pending.empty()) {
    // They still do it when they get to it.
    answer["pending"] = std::move(pending);
    status = 503;
  }
  return json_answer(status, answer);
}

namespace {

// ---- the selection ----

const json& member(const json& object, const char* key, const char* where) {
  const auto it = object.find(key);
  if (it == object.end()) refuse(400, std::string(where) + " needs \"" + key + "\"");
  return *it;
}

void only_keys(const json& object, std::initializer_list<const char*> keys, const std::string& where) {
  for (const auto& [key, _] : object.items()) {
    bool known = false;
    for (const char* k : keys) known = known || key == k;
    if (!known) refuse(400, "unknown field \"" + key + "\" in " + where);
  }
}

long whole_number(const json& v, const std::string& what, long lo, long hi) {
  if (!v.is_number_integer()) refuse(400, what + " must be a whole number");
  if (v.is_number_unsigned() ? v.get<std::uint64_t>() > static_cast<std::uint64_t>(hi)
                             : v.get<std::int64_t>() < lo || v.get<std::int64_t>() > hi)
    refuse(400, what + " must be " + std::to_string(lo) + ".." + std::to_string(hi));
  return static_cast<long>(v.get<std::int64_t>());
}

long index_text(std::string_view text) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 0)
    refuse(400, "\"stations\" must be an index N or a range FROM-TO, got \"" + std::string(text) + "\"");
  return v;
}

std::vector<ActionTarget> select_stations(const StationBoard& board, const json& select) {
  if (!select.is_object()) refuse(400, "\"select\" must be an object");
  if (select.size() > 1) refuse(400, "\"select\" takes one of \"stations\", \"identity\" or \"names\"");
  only_keys(select, {"stations", "identity", "names"}, "\"select\"");
  std::vector<ActionTarget> targets;
  const auto take = [&](StationBoard::Slot slot, const StationBoard::Entry& e) {
    if (!e.view) refuse(503, "station " + e.name + " has not reported yet");
    targets.push_back({slot, e.name, e.view});
  };
  if (const auto it = select.find("names"); it != select.end()) {
    if (!it->is_array()) refuse(400, "\"names\" must be a list of station names");
    std::set<StationBoard::Slot> seen;
    for (const auto& n : *it) {
      if (!n.is_string()) refuse(400, "\"names\" must be a list of station names");
      const auto name = n.get<std::string>();
      const auto slot = board.find(name);
      if (!slot) refuse(404, "no station named " + name);
      if (!seen.insert(*slot).second) continue;
      take(*slot, {name, board.view(*slot)});
    }
  } else {
    std::optional<std::pair<long, long>> range;
    std::optional<std::string> identity;
    if (const auto s = select.find("stations"); s != select.end()) {
      if (s->is_number_integer()) {
        const long n = whole_number(*s, "\"stations\"", 0, std::numeric_limits<long>::max());
        range = {n, n};
      } else if (s->is_string()) {
        const auto text = s->get<std::string>();
        const auto dash = text.find('-', 1);
        range = dash == std::string::npos ? std::pair{index_text(text), index_text(text)}
                                          : std::pair{index_text(std::string_view(text).substr(0, dash)),
                                                      index_text(std::string_view(text).substr(dash + 1))};
        if (range->first > range->second) refuse(400, "\"stations\": the range " + text + " is empty");
      } else {
        refuse(400, "\"stations\" must be an index N or a range FROM-TO");
      }
    }
    if (const auto i = select.find("identity"); i != select.end()) {
      if (!i->is_string()) refuse(400, "\"identity\" must be a glob");
      identity = i->get<std::string>();
      if (identity->size() > limits::kHttpGlobBytes)
        refuse(400, "\"identity\" may be at most " + std::to_string(limits::kHttpGlobBytes) + " bytes");
    }
    const auto entries = board.entries();
    for (StationBoard::Slot slot = 0; slot < entries.size(); ++slot) {
      const auto& e = entries[slot];
      if ((range || identity) && !e.view) continue;  // can't be matched yet; an explicit name says so
      if (range && (e.view->index < range->first || e.view->index > range->second)) continue;
      if (identity && !identity_matches(*identity, *e.view)) continue;
      take(slot, e);
    }
  }
  if (targets.empty()) refuse(400, "no station selected");
  return targets;
}

// ---- the actions ----

int channel_of(const json& args, const char* where) {
  return static_cast<int>(whole_number(member(args, "channel", where), "\"channel\"", 1, limits::kChannels));
}

struct CheckedAction {
  // Why the action can't be done on a station, judged by its view; empty: it can.
  std::function<std::string(const StationView&)> check;
  StationChange change;
};

CheckedAction set_value_action(const json& args) {
  if (!args.is_object()) refuse(400, "\"set_value\" must be {\"channel\": N, \"value\": V}");
  only_keys(args, {"channel", "value"}, "\"set_value\"");
  const int n = channel_of(args, "\"set_value\"");
  const std::int64_t value = channel_value(member(args, "value", "\"set_value\""));
  return {[n](const StationView& v) {
            return v.snapshot.panels[static_cast<std::size_t>(n - 1)].has_sensor
                       ? std::string()
                       : "channel " + std::to_string(n) + " has no sensor";
          },
          [n, value](StationControl& c) {
            auto& table = c.station.channel_table();
            const auto& sensors = table.sensors();
            if (n >= sensors.row_count() || trim(sensors.row(n)[col::kPortId]).empty())
              throw std::runtime_error("channel " + std::to_string(n) + " has no sensor");
            const std::string before = table.panel(n).value;
            // SET_VALUE's rule: the value text, unconverted; the next event check sees it.
            table.set_panel_value(n, int_text(value));
            return "channel " + std::to_string(n) + " value " + table.panel(n).value + " (was " + before + ")";
          }};
}

CheckedAction set_source_action(const json& args) {
  if (!args.is_object()) refuse(400, "\"set_source\" must be {\"channel\": N, \"source\": TEXT}");
  only_keys(args, {"channel", "source"}, "\"set_source\"");
  const int n = channel_of(args, "\"set_source\"");
  const auto& s = member(args, "source", "\"set_source\"");
  if (!s.is_string()) refuse(400, "\"source\" must be text such as \"sine:10:8:60\"");
  const auto text = s.get<std::string>();
  try {
    const auto source = parse_value_source(text, 0);
    for (const double x : {source.a, source.b, source.c})
      if (!std::isfinite(x)) throw std::invalid_argument("numbers must be finite");
    if ((source.kind == ValueSource::sine || source.kind == ValueSource::ramp) && source.c <= 0)
      throw std::invalid_argument("the period must be above 0");
  } catch (const std::exception& e) {
    refuse(400, "bad source \"" + text +
                    "\" (const:V, sine:MID:AMP:PERIOD_S, ramp:FROM:TO:PERIOD_S or walk:START:STEP): " + e.what());
  }
  return {[n](const StationView& v) {
            if (!v.simulated) return std::string("the station has no simulated line");
            return v.sources[static_cast<std::size_t>(n - 1)].empty()
                       ? "channel " + std::to_string(n) + " reads no simulated input"
                       : std::string();
          },
          [n, text](StationControl& c) {
            const auto input = c.modules ? channel_input(c.station, n) : std::nullopt;
            const auto it = input ? c.modules->modules.find(input->first) : decltype(c.modules->modules.end()){};
            if (!input || it == c.modules->modules.end() || input->second < 0 || input->second >= kAnalogInputs)
              throw std::runtime_error("channel " + std::to_string(n) + " reads no simulated input");
            auto& source = it->second.inputs[static_cast<std::size_t>(input->second)];
            const auto before = value_source_text(source);
            source =
                parse_value_source(text, input_seed(static_cast<std::uint64_t>(c.index), input->first, input->second));
            return "channel " + std::to_string(n) + " source " + value_source_text(source) + " (was " + before + ")";
          }};
}

std::optional<FaultTarget> target_named(const std::string& name) {
  if (name == "module") return FaultTarget::module;
  if (name == "uplink") return FaultTarget::uplink;
  if (name == "port") return FaultTarget::port;
  return std::nullopt;
}

FaultTarget fault_target(const json& target) {
  if (!target.is_string()) refuse(400, "\"target\" must be \"module\", \"uplink\" or \"port\"");
  const auto name = target.get<std::string>();
  const auto t = target_named(name);
  if (!t) refuse(400, "unknown fault target \"" + name + "\" (module, uplink or port)");
  return *t;
}

std::string fault_kind(const json& args, const char* kinds) {
  const auto& kind = member(args, "kind", "\"fault\"");
  if (!kind.is_string()) refuse(400, std::string("\"kind\" must be ") + kinds);
  return kind.get<std::string>();
}

// The faults a station's own parts play (its uplink, its command port), as
// the set has them now.
void play_station_faults(StationControl& c) {
  UplinkFault uplink;
  std::chrono::milliseconds reply_delay{0};
  bool closing = false;
  for (const auto& f : c.faults->items()) {
    if (f.target == FaultTarget::uplink) {
      uplink.kind = f.kind == "refusing"     ? UplinkFault::Kind::refusing
                    : f.kind == "black_hole" ? UplinkFault::Kind::black_hole
                                             : UplinkFault::Kind::slow;
      uplink.bytes_per_s = f.bytes_per_s;
    } else if (f.target == FaultTarget::port) {
      if (f.kind == "delay_replies") reply_delay = std::chrono::milliseconds(f.delay_ms);
      if (f.kind == "close_connections") closing = true;
    }
  }
  c.station.event_path().delivery().set_fault(uplink);
  c.station.delay_replies(reply_delay);
  c.station.close_host_connections(closing);
}

CheckedAction module_fault_action(const json& args) {
  InjectedFault fault;
  only_keys(args, {"target", "kind", "module", "delay_ms"}, "a module fault");
  fault.kind = fault_kind(args, "silent, garbage, badsum, error or delayed");
  if (const auto m = args.find("module"); m != args.end() && !m->is_null()) {
    if (!m->is_string()) refuse(400, "\"module\" must be a module address in hex, such as \"01\"");
    try {
      fault.module = parse_module_address(m->get<std::string>());
    } catch (const std::exception&) {
      refuse(400, "\"module\" must be a module address in hex (00..FF), got \"" + m->get<std::string>() + "\"");
    }
  }
  if (fault.kind == "delayed")
    fault.delay_ms = static_cast<int>(
        whole_number(member(args, "delay_ms", "a delayed module"), "\"delay_ms\"", 1, limits::kHttpMaxFaultDelayMs));
  else if (args.contains("delay_ms"))
    refuse(400, "\"delay_ms\" is for the kind delayed only");
  // The kind, judged without any station's modules.
  SimulatedModules none;
  if (auto why = check_module_fault(none, InjectedFault{fault.target, fault.kind}); !why.empty()) refuse(400, why);
  return {[fault](const StationView& v) {
            if (!v.faults_injectable) return std::string("the station takes no injected faults");
            if (!v.simulated) return std::string("the station has no simulated line");
            if (fault.module >= 0 && std::find(v.module_addresses.begin(), v.module_addresses.end(), fault.module) ==
                                         v.module_addresses.end())
              return fmt::format("no module {:02X} on the simulated line", fault.module);
            return std::string();
          },
          [fault](StationControl& c) {
            if (!c.faults || !c.modules) throw std::runtime_error("the station has no simulated line");
            if (auto why = check_module_fault(*c.modules, fault); !why.empty()) throw std::runtime_error(why);
            c.faults->set(fault);
            c.modules->apply_faults(*c.faults);
            return "fault " + describe_fault(fault);
          }};
}

// The uplink's and the port's faults are played by the station itself:
// its uploads go as if the host misbehaved, its command port delays or
// drops its hosts.
CheckedAction station_fault_action(const json& args, FaultTarget target) {
  InjectedFault fault;
  fault.target = target;
  if (target == FaultTarget::uplink) {
    only_keys(args, {"target", "kind", "bytes_per_s"}, "an uplink fault");
    fault.kind = fault_kind(args, "refusing, black_hole or slow");
    if (fault.kind != "refusing" && fault.kind != "black_hole" && fault.kind != "slow")
      refuse(400, "unknown uplink fault \"" + fault.kind + "\" (refusing, black_hole or slow)");
    if (fault.kind == "slow")
      fault.bytes_per_s = whole_number(member(args, "bytes_per_s", "a slow uplink"), "\"bytes_per_s\"", 1,
                                       limits::kHttpMaxFaultBytesPerS);
    else if (args.contains("bytes_per_s"))
      refuse(400, "\"bytes_per_s\" is for the kind slow only");
  } else {
    only_keys(args, {"target", "kind", "delay_ms"}, "a port fault");
    fault.kind = fault_kind(args, "delay_replies or close_connections");
    if (fault.kind != "delay_replies" && fault.kind != "close_connections")
      refuse(400, "unknown port fault \"" + fault.kind + "\" (delay_replies or close_connections)");
    if (fault.kind == "delay_replies")
      fault.delay_ms = static_cast<int>(
          whole_number(member(args, "delay_ms", "delayed replies"), "\"delay_ms\"", 1, limits::kHttpMaxFaultDelayMs));
    else if (args.contains("delay_ms"))
      refuse(400, "\"delay_ms\" is for the kind delay_replies only");
  }
  return {[](const StationView& v) {
            return v.faults_injectable ? std::string() : std::string("the station takes no injected faults");
          },
          [fault](StationControl& c) {
            if (!c.faults) throw std::runtime_error("the station takes no injected faults");
            c.faults->set(fault);
            play_station_faults(c);
            return "fault " + describe_fault(fault);
          }};
}

CheckedAction fault_action(const json& args) {
  if (!args.is_object()) refuse(400, "\"fault\" must be {\"target\": ..., \"kind\": ...}");
  const auto target = fault_target(member(args, "target", "\"fault\""));
  return target == FaultTarget::module ? module_fault_action(args) : station_fault_action(args, target);
}

CheckedAction clear_faults_action(const json& args) {
  if (!args.is_object()) refuse(400, "\"clear_faults\" must be {\"target\": \"module\"|\"uplink\"|\"port\"|\"all\"}");
  only_keys(args, {"target"}, "\"clear_faults\"");
  const auto& t = member(args, "target", "\"clear_faults\"");
  std::optional<FaultTarget> target;
  if (!(t.is_string() && t.get<std::string>() == "all")) target = fault_target(t);
  return {[](const StationView& v) {
            return v.faults_injectable ? std::string() : std::string("the station takes no injected faults");
          },
          [target](StationControl& c) {
            if (!c.faults) throw std::runtime_error("the station takes no injected faults");
            const auto ended = c.faults->clear(target);
            if (c.modules) c.modules->apply_faults(*c.faults);
            play_station_faults(c);
            std::string what;
            for (const auto& f : ended) what += (what.empty() ? "cleared " : ", ") + describe_fault(f);
            return what;
          }};
}

CheckedAction parse_action(const json& action) {
  if (!action.is_object() || action.size() != 1)
    refuse(400, "\"action\" must hold exactly one of set_value, set_source, fault, clear_faults");
  const std::string name = action.begin().key();
  const json& args = action.begin().value();
  if (name == "set_value") return set_value_action(args);
  if (name == "set_source") return set_source_action(args);
  if (name == "fault") return fault_action(args);
  if (name == "clear_faults") return clear_faults_action(args);
  refuse(400, "unknown action \"" + name + "\" (set_value, set_source, fault, clear_faults)");
}

Response checked_run(const StationBoard& board, const std::vector<ActionTarget>& targets, CheckedAction action,
                     std::chrono::milliseconds timeout) {
  for (const auto& t : targets)
    if (auto why = action.check(*t.view); !why.empty()) refuse(400, "station " + t.name + ": " + why);
  return run_on_stations(board, targets, std::move(action.change), timeout);
}

}  // namespace

Response run_actions(const StationBoard& board, const std::string& body, std::chrono::milliseconds timeout) {
  const json request = json::parse(body, nullptr, false);
  if (request.is_discarded()) refuse(400, "the body is not JSON");
  if (!request.is_object()) refuse(400, "the body must be {\"select\": ..., \"action\": ...}");
  only_keys(request, {"select", "action"}, "the body");
  auto action = parse_action(member(request, "action", "the body"));
  const auto select = request.find("select");
  const auto targets = select_stations(board, select == request.end() ? json::object() : *select);
  return checked_run(board, targets, std::move(action), timeout);
}

Response clear_station_faults(const StationBoard& board, const ActionTarget& target,
                              std::chrono::milliseconds timeout) {
  return checked_run(board, {target}, clear_faults_action({{"target", "all"}}), timeout);
}

}  // namespace orvane::http
