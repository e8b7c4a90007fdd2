// AllowHosts lookups per accepted connection: a list of 100 000 entries
// against one of 10, with the same peers (half let in, half not).
#include "net/host_allow_list.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// Hosts 10.x.y.z named one by one, a few prefixes of both families beside them.
std::string list_of(int hosts) {
  std::string text = "192.168.0.0/16, 2001:db8::/32, 172.16.0.0/12, ";
  for (int i = 0; i < hosts; ++i)
    text += "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
            std::to_string(i & 255) + ",";
  return text;
}

void BM_Allows(benchmark::State& state) {
  const auto list = orvane::HostAllowList::parse(list_of(static_cast<int>(state.range(0))));
  std::vector<asio::ip::address> peers;
  for (int i = 0; i < 64; ++i) {
    peers.push_back(asio::ip::make_address("10.0.0." + std::to_string(i % 10)));  // on the list
    peers.push_back(asio::ip::make_address("10.200.0." + std::to_string(i)));     // not
  }
  std::size_t allowed = 0, k = 0;
  for (auto _ : state) allowed += list.allows(peers[k++ % peers.size()]) ? 1 : 0;
  benchmark::DoNotOptimize(allowed);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Allows)->Arg(10)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
