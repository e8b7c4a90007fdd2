#include "http/metrics_text.hpp"

#include <fmt/format.h>

#include <functional>
#include <iterator>

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
  explicit Writer(const std::vector<StationBoard::Entry>& stations) : stations_(stations) {}

  // One metric family: its HELP and TYPE, then `sample` for each station
  // with that station's label text (`station="NAME"`).
  void family(const char* name, const char* type, const char* help,
              const std::function<void(const std::string& label, const StationView&)>& sample) {
    fmt::format_to(std::back_inserter(out_), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    for (const auto& e : stations_)
      if (e.view) sample("station=\"" + label_value(e.name) + "\"", *e.view);
  }
  void line(const char* name, const std::string& labels, auto value) {
    fmt::format_to(std::back_inserter(out_), "{}{{{}}} {}\n", name, labels, value);
  }
  void histogram(const char* name, const char* help, const DurationHistogram& (*which)(const StationView&)) {
    family(name, "histogram", help, [&](const std::string& label, const StationView& v) {
      const auto& h = which(v);
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i < h.kBounds.size(); ++i) {
        cumulative += h.buckets[i];
        fmt::format_to(std::back_inserter(out_), "{}_bucket{{{},le=\"{}\"}} {}\n", name, label, h.kBounds[i],
                       cumulative);
      }
      fmt::format_to(std::back_inserter(out_), "{}_bucket{{{},le=\"+Inf\"}} {}\n", name, label, h.count);
      fmt::format_to(std::back_inserter(out_), "{}_sum{{{}}} {}\n", name, label, h.sum_seconds);
      fmt::format_to(std::back_inserter(out_), "{}_count{{{}}} {}\n", name, label, h.count);
    });
  }
  std::string take() { return std::move(out_); }

 private:
  const std::vector<StationBoard::Entry>& stations_;
  std::string out_;
};

}  // namespace

std::string metrics_text(const std::vector<StationBoard::Entry>& stations) {
  Writer w(stations);
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
  w.family("orvane_module_reads_total", "counter", "I-7000 module reads by DCON result code (0: read).",
           [&](const std::string& l, const StationView& v) {
             for (const auto& [code, count] : v.counters.module_reads)
               w.line("orvane_module_reads_total", l + ",code=\"" + std::to_string(code) + "\"", count);
           });
  w.family("orvane_command_port_listening", "gauge", "1 while the command port accepts hosts.",
           [&](const std::string& l, const StationView& v) {
             w.line("orvane_command_port_listening", l, v.listening ? 1 : 0);
           });
  w.histogram("orvane_read_cycle_duration_seconds", "Time from a read tick to its modules' readings applied.",
              [](const StationView& v) -> const DurationHistogram& { return v.counters.read_cycle_seconds; });
  w.histogram("orvane_upload_duration_seconds", "Time one upload of the event buffer took, connection included.",
              [](const StationView& v) -> const DurationHistogram& { return v.counters.events.upload_seconds; });
  return w.take();
}

}  // namespace orvane::http
