// Framer and item splitter throughput on framed command traffic.
#include "core/command_line.hpp"
#include "core/framer.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace {

std::string traffic(int messages) {
  std::string s;
  for (int i = 0; i < messages; ++i) {
    s += "\x01hdr" + std::to_string(i);
    s += "\x02READ_DATA 200612071200 F1 S1\x03";
    s += "\x02SET_ID 200612071200 F1 S1 T" + std::to_string(i % 32) + " AI Y 0 1000 10 20 30 40\x03";
    s += "\x02"
         "DO_COMMAND 200612071200 F1 S1 \"SCFG\x05module.con\x05"
         "1,4017,A,1,Y\"\x03\x04";
  }
  return s;
}

void BM_FrameOnly(benchmark::State& state) {
  const auto input = traffic(1000);
  const auto chunk = static_cast<std::size_t>(state.range(0));
  orvane::Framer framer;
  std::size_t lines = 0;
  for (auto _ : state) {
    for (std::size_t p = 0; p < input.size(); p += chunk) {
      framer.feed(
          std::string_view(input).substr(p, chunk), [&](std::span<const std::string_view> l) { lines += l.size(); },
          [] {});
    }
  }
  benchmark::DoNotOptimize(lines);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_FrameOnly)->Arg(1 << 16)->Arg(1500)->Arg(64);

void BM_FrameAndSplit(benchmark::State& state) {
  const auto input = traffic(1000);
  const auto chunk = static_cast<std::size_t>(state.range(0));
  orvane::Framer framer;
  std::size_t items = 0;
  for (auto _ : state) {
    for (std::size_t p = 0; p < input.size(); p += chunk) {
      framer.feed(
          std::string_view(input).substr(p, chunk),
          [&](std::span<const std::string_view> l) {
            for (std::size_t i = 1; i < l.size(); ++i) items += orvane::split_command_line(l[i]).size();
          },
          [] {});
    }
  }
  benchmark::DoNotOptimize(items);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_FrameAndSplit)->Arg(1 << 16)->Arg(1500)->Arg(64);

// The reference: the least any framer does with the same chunks, copying
// them into a buffer and finding each message end with memchr.
void BM_CopyAndFindEot(benchmark::State& state) {
  const auto input = traffic(1000);
  const auto chunk = static_cast<std::size_t>(state.range(0));
  std::string buffer;
  buffer.reserve(1 << 17);
  std::size_t messages = 0;
  for (auto _ : state) {
    for (std::size_t p = 0; p < input.size(); p += chunk) {
      const auto part = std::string_view(input).substr(p, chunk);
      buffer.append(part);
      std::size_t from = buffer.size() - part.size(), consumed = 0;
      while (const void* hit = std::memchr(buffer.data() + from, '\x04', buffer.size() - from)) {
        from = static_cast<std::size_t>(static_cast<const char*>(hit) - buffer.data()) + 1;
        consumed = from;
        ++messages;
      }
      if (consumed > 0) buffer.erase(0, consumed);
    }
    buffer.clear();
  }
  benchmark::DoNotOptimize(messages);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_CopyAndFindEot)->Arg(1 << 16)->Arg(1500)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
