// What a station counts of its own work for the metrics endpoint: events,
// uploads, host messages, module reads and how long read cycles and uploads
// take. Plain values, kept on the station thread and copied into snapshots.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Durations counted into fixed buckets (upper bounds in seconds), so a
// scraper can derive quantiles over any window; costs one array per
// histogram, whatever the number of samples.
struct DurationHistogram {
  static constexpr std::array<double, 12> kBounds{0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};
  std::array<std::uint64_t, kBounds.size()> buckets{};  // samples <= kBounds[i] and > the bound before
  std::uint64_t count = 0;
  double sum_seconds = 0;

  void add(double seconds) {
    ++count;
    sum_seconds += seconds;
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
      if (seconds <= kBounds[i]) {
        ++buckets[i];
        return;
      }
    }
  }
};

// How one upload ended, reported by whichever thread ran it.
struct UploadOutcome {
  bool connected = false;  // the host's FTP server was reached
  bool failed = false;  // not every line it took on was stored
  std::size_t stored = 0;  // lines stored and removed from the buffer
  double seconds = 0;
};

struct EventCounters {
  std::uint64_t added = 0;  // lines added to the buffer since start
  std::uint64_t delivered = 0;  // lines stored on the host and removed from the buffer
  std::uint64_t upload_attempts = 0;
  std::uint64_t upload_failures = 0;  // not connected, or a store failed
  DurationHistogram upload_seconds;
  std::string last_upload = "none";  // "none", "ok", "failed", "not connected"

  void record(const UploadOutcome& outcome) {
    ++upload_attempts;
    delivered += outcome.stored;
    upload_seconds.add(outcome.seconds);
    if (!outcome.connected || outcome.failed) ++upload_failures;
    last_upload = !outcome.connected ? "not connected" : outcome.failed ? "failed" : "ok";
  }
};

// One host command word and the command lines that carried it.
struct CommandCount {
  std::string_view word;  // "other" for words the station doesn't know
  std::uint64_t lines = 0;
};

struct StationCounters {
  EventCounters events;
  std::vector<CommandCount> host_commands;
  std::map<int, std::uint64_t> module_reads;  // by DCON result code (0: read)
  DurationHistogram read_cycle_seconds;
};

}  // namespace orvane
