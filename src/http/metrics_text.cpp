#include "http/metrics_text.hpp"

#include <fmt/format.h>

#include <charconv>
#include <functional>
#include <iterator>
#include <map>

namespace orvane::http {
namespace {

// A label value with backslash, double quote and line feed escaped.
std::string label_value(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

class Writer {
 public:
  Writer(const std::vector<StationBoard::Entry>& stations) : stations_(stations) {
    labels_.reserve(stations.size());
    for (const auto& e : stations)
      labels_.push_back(e.view ? "station=\"" + label_value(e.name) + "\"" : std::string());
    out_.reserve(stations.size() * 800 + 4096);
  }

  // One metric family: its HELP and TYPE, then `sample` for each station
  // with that station's label text (`station="NAME"`).
  void family(const char* name, const char* type, const char* help,
              const std::function<void(const std::string& label, const StationView&)>& sample) {
    head(name, type, help);
    for (std::size_t i = 0; i < stations_.size(); ++i)
      if (stations_[i].view) sample(labels_[i], *stations_[i].view);
  }
  void head(const char* name, const char* type, const char* help) {
    fmt::format_to(std::back_inserter(out_), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  }
  void line(const char* name, const std::string& labels, auto value) {
    if (labels.empty())
      fmt::format_to(std::back_inserter(out_), "{} {}\n", name, value);
    else
      fmt::format_to(std::back_inserter(out_), "{}{{{}}} {}\n", name, labels, value);
  }
  void histogram_lines(const char* name, const std::string& label, const DurationHistogram& h) {
    const std::string sep = label.empty() ? "" : label + ",";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.kBounds.size(); ++i) {
      cumulative += h.buckets[i];
      fmt::format_to(std::back_inserter(out_), "{}_bucket{{{}le=\"{}\"}} {}\n", name, sep, h.kBounds[i], cumulative);
    }
    fmt::format_to(std::back_inserter(out_), "{}_bucket{{{}le=\"+Inf\"}} {}\n", name, sep, h.count);
    line((std::string(name) + "_sum").c_str(), label, h.sum_seconds);
    line((std::string(name) + "_count").c_str(), label, h.count);
  }
  void histogram(const char* name, const char* help, const DurationHistogram& (*which)(const StationView&)) {
    family(name, "histogram", help,
           [&](const std::string& label, const StationView& v) { histogram_lines(name, label, which(v)); });
  }
  std::string take() { return std::move(out_); }

 private:
  const std::vector<StationBoard::Entry>& stations_;
  std::vector<std::string> labels_;
  std::string out_;
};

void add_histogram(DurationHistogram& total, const DurationHistogram& h) {
  for (std::size_t i = 0; i < h.buckets.size(); ++i) total.buckets[i] += h.buckets[i];
  total.count += h.count;
  total.sum_seconds += h.sum_seconds;
}

std::uint64_t module_read_failures(const StationView& v) {
  std::uint64_t n = 0;
  for (const auto& [code, count] : v.counters.module_reads)
    if (code != 0) n += count;
  return n;
}

// Per station: what a dashboard shows by station.
void station_series(Writer& w, bool fleet) {
  w.family("orvane_events_buffered_total", "counter", "Events added to the station's event buffer since start.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_events_buffered_total", l, v.counters.events.added);
           });
  w.family("orvane_events_delivered_total", "counter", "Events stored on the host's FTP server since start.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_events_delivered_total", l, v.counters.events.delivered);
           });
  w.family("orvane_events_waiting", "gauge", "Events in the buffer waiting for delivery.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_events_waiting", l, v.snapshot.events_buffered);
           });
  w.family("orvane_uploads_total", "counter", "Uploads of the event buffer attempted since start.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_uploads_total", l, v.counters.events.upload_attempts);
           });
  w.family("orvane_upload_failures_total", "counter",
           "Uploads that could not reach the host or failed to store an event.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_upload_failures_total", l, v.counters.events.upload_failures);
           });
  if (!fleet)
    w.family("orvane_host_commands_total", "counter", "Command lines received from hosts, by command word.",
             [&](const std::string& l, const StationView& v) {
               for (const auto& c : v.counters.host_commands)
                 w.line("orvane_host_commands_total", l + ",command=\"" + std::string(c.word) + "\"", c.lines);
             });
  w.family("orvane_hosts_connected", "gauge", "Host connections open on the command port.",
           [&](const std::string& l, const StationView& v) { w.line("orvane_hosts_connected", l, v.hosts_connected); });
  w.family(
      "orvane_hosts_refused_total", "counter", "Host connections closed unread: not allowed, or over the cap on hosts.",
      [&](const std::string& l, const StationView& v) { w.line("orvane_hosts_refused_total", l, v.hosts_refused); });
  if (fleet)
    w.family("orvane_module_read_failures_total", "counter", "I-7000 module reads that gave no reading (code not 0).",
             [&](const std::string& l, const StationView& v) {
               w.line("orvane_module_read_failures_total", l, module_read_failures(v));
             });
  else
    w.family("orvane_module_reads_total", "counter", "I-7000 module reads by DCON result code (0: read).",
             [&](const std::string& l, const StationView& v) {
               for (const auto& [code, count] : v.counters.module_reads)
                 w.line("orvane_module_reads_total", l + ",code=\"" + std::to_string(code) + "\"", count);
             });
  w.family("orvane_command_port_listening", "gauge", "1 while the command port accepts hosts.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_command_port_listening", l, v.listening ? 1 : 0);
           });
  w.family("orvane_faults_injected", "gauge", "Faults injected into the station through the control API.",
           [&](const std::string& l, const StationView& v) { w.line("orvane_faults_injected", l, v.faults.size()); });
  if (!fleet) {
    w.histogram("orvane_read_cycle_duration_seconds", "Time from a read tick to its modules' readings applied.",
                [](const StationView& v) -> const DurationHistogram& { return v.counters.read_cycle_seconds; });
    w.histogram("orvane_upload_duration_seconds", "Time one upload of the event buffer took, connection included.",
                [](const StationView& v) -> const DurationHistogram& { return v.counters.events.upload_seconds; });
  }
}

// The whole fleet's, without a station label, under names of their own so
// that a sum over stations never counts them twice.
void fleet_totals(Writer& w, const std::vector<StationBoard::Entry>& stations) {
  struct {
    std::uint64_t stations = 0, listening = 0, faulted = 0, added = 0, delivered = 0, waiting = 0, uploads = 0,
                  upload_failures = 0, connected = 0, refused = 0;
    std::map<std::string, std::uint64_t> commands;
    std::map<int, std::uint64_t> reads;
    DurationHistogram cycle, upload;
  } t;
  for (const auto& e : stations) {
    if (!e.view) continue;
    const auto& v = *e.view;
    ++t.stations;
    t.listening += v.listening ? 1 : 0;
    t.faulted += v.faults.empty() ? 0 : 1;
    t.added += v.counters.events.added;
    t.delivered += v.counters.events.delivered;
    t.waiting += v.snapshot.events_buffered;
    t.uploads += v.counters.events.upload_attempts;
    t.upload_failures += v.counters.events.upload_failures;
    t.connected += v.hosts_connected;
    t.refused += v.hosts_refused;
    for (const auto& c : v.counters.host_commands) t.commands[std::string(c.word)] += c.lines;
    for (const auto& [code, count] : v.counters.module_reads) t.reads[code] += count;
    add_histogram(t.cycle, v.counters.read_cycle_seconds);
    add_histogram(t.upload, v.counters.events.upload_seconds);
  }
  const std::string none;
  const auto one = [&](const char* name, const char* type, const char* help, std::uint64_t value) {
    w.head(name, type, help);
    w.line(name, none, value);
  };
  one("orvane_fleet_stations", "gauge", "Stations of the fleet that have reported.", t.stations);
  one("orvane_fleet_stations_listening", "gauge", "Stations whose command port accepts hosts.", t.listening);
  one("orvane_fleet_stations_faulted", "gauge", "Stations with a fault injected.", t.faulted);
  one("orvane_fleet_events_buffered_total", "counter", "Events added to the stations' buffers since start.", t.added);
  one("orvane_fleet_events_delivered_total", "counter", "Events the stations stored on their hosts since start.",
      t.delivered);
  one("orvane_fleet_events_waiting", "gauge", "Events in the stations' buffers waiting for delivery.", t.waiting);
  one("orvane_fleet_uploads_total", "counter", "Uploads of event buffers attempted since start.", t.uploads);
  one("orvane_fleet_upload_failures_total", "counter", "Uploads that could not reach the host or store an event.",
      t.upload_failures);
  one("orvane_fleet_hosts_connected", "gauge", "Host connections open on the stations' command ports.", t.connected);
  one("orvane_fleet_hosts_refused_total", "counter", "Host connections the stations closed unread.", t.refused);
  w.head("orvane_fleet_host_commands_total", "counter", "Command lines received from hosts, by command word.");
  for (const auto& [word, lines] : t.commands)
    w.line("orvane_fleet_host_commands_total", "command=\"" + label_value(word) + "\"", lines);
  w.head("orvane_fleet_module_reads_total", "counter", "I-7000 module reads by DCON result code (0: read).");
  for (const auto& [code, count] : t.reads)
    w.line("orvane_fleet_module_reads_total", "code=\"" + std::to_string(code) + "\"", count);
  w.head("orvane_fleet_read_cycle_duration_seconds", "histogram",
         "Time from a read tick to its modules' readings applied, every station's.");
  w.histogram_lines("orvane_fleet_read_cycle_duration_seconds", none, t.cycle);
  w.head("orvane_fleet_upload_duration_seconds", "histogram", "Time one upload took, every station's.");
  w.histogram_lines("orvane_fleet_upload_duration_seconds", none, t.upload);
}

void channel_series(Writer& w) {
  w.family("orvane_channel_value", "gauge", "A channel's value as its panel shows it (whole units of its range).",
           [&](const std::string& l, const StationView& v) {
             for (std::size_t i = 0; i < v.snapshot.panels.size(); ++i) {
               const auto& p = v.snapshot.panels[i];
               if (!p.has_sensor) continue;
               std::int64_t value = 0;
               const auto [end, ec] = std::from_chars(p.value.data(), p.value.data() + p.value.size(), value);
               if (ec != std::errc()) continue;  // not a number: no sample rather than a made-up one
               w.line("orvane_channel_value",
                      fmt::format("{},channel=\"{}\",port_id=\"{}\"", l, i + 1, label_value(p.port_id)), value);
             }
           });
}

}  // namespace

std::string metrics_text(const std::vector<StationBoard::Entry>& stations, const MetricsOptions& options) {
  Writer w(stations);
  station_series(w, options.fleet);
  if (options.fleet) fleet_totals(w, stations);
  if (options.channels) channel_series(w);
  return w.take();
}

}  // namespace orvane::http
