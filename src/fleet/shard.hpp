// Shards: one fleet file run by several hosts, each running a contiguous
// range of its stations. Which shard a host runs comes from its command
// line, its environment or, in a Kubernetes StatefulSet, the ordinal at the
// end of its host name; the stations keep their index, and so their
// directory, identity and port, whichever shard they fall in.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace orvane::fleet {

struct Shard {
  long index = 0;  // 0 .. count - 1
  long count = 1;
};

// "I/N" with 0 <= I < N; throws std::invalid_argument with the reason.
Shard parse_shard(std::string_view text);

// The shard a host runs when its command line names none: ORVANE_SHARD
// ("I/N"), else ORVANE_SHARDS (N) with the ordinal ending the host name
// ("fleet-3" runs shard 3). None of them set: the whole fleet. Throws
// std::invalid_argument naming the variable that is wrong.
std::optional<Shard> shard_from_environment(const char* shard_variable, const char* shards_variable,
                                            std::string_view host_name);

// Positions [first, last) of shard `s` among `total` stations in the fleet
// file's order: equal parts, the earlier ones one shorter when they can't be.
struct ShardRange {
  long first = 0;
  long last = 0;
};
ShardRange shard_range(long total, Shard s);

std::string describe(Shard s);  // "1/4"

}  // namespace orvane::fleet
