#include "fleet/shard.hpp"

#include <charconv>
#include <stdexcept>

namespace orvane::fleet {

namespace {

// The shard count is bounded by the stations a fleet file may hold.
constexpr long kMaxShards = 100000;

std::optional<long> whole_number(std::string_view text) {
  long v = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

long shard_count(std::string_view text) {
  const auto n = whole_number(text);
  if (!n || *n < 1 || *n > kMaxShards)
    throw std::invalid_argument("\"" + std::string(text) + "\": the number of shards must be 1.." +
                                std::to_string(kMaxShards));
  return *n;
}

}  // namespace

Shard parse_shard(std::string_view text) {
  const auto slash = text.find('/');
  if (slash == std::string_view::npos)
    throw std::invalid_argument("\"" + std::string(text) + "\" is not I/N (shard I of N, counted from 0)");
  Shard s;
  s.count = shard_count(text.substr(slash + 1));
  const auto i = whole_number(text.substr(0, slash));
  if (!i || *i < 0 || *i >= s.count)
    throw std::invalid_argument("\"" + std::string(text) + "\": the shard must be 0.." + std::to_string(s.count - 1));
  s.index = *i;
  return s;
}

std::optional<Shard> shard_from_environment(const char* shard_variable, const char* shards_variable,
                                            std::string_view host_name) {
  if (shard_variable && *shard_variable) {
    try {
      return parse_shard(shard_variable);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(std::string("ORVANE_SHARD: ") + e.what());
    }
  }
  if (!shards_variable || !*shards_variable) return std::nullopt;
  Shard s;
  try {
    s.count = shard_count(shards_variable);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(std::string("ORVANE_SHARDS: ") + e.what());
  }
  const auto dash = host_name.rfind('-');
  const auto ordinal = dash == std::string_view::npos ? std::nullopt : whole_number(host_name.substr(dash + 1));
  if (!ordinal)
    throw std::invalid_argument("ORVANE_SHARDS is set but the host name \"" + std::string(host_name) +
                                "\" does not end in -ORDINAL (set ORVANE_SHARD=I/N instead)");
  if (*ordinal >= s.count)
    throw std::invalid_argument("host " + std::string(host_name) + " is ordinal " + std::to_string(*ordinal) +
                                " but ORVANE_SHARDS is " + std::to_string(s.count));
  s.index = *ordinal;
  return s;
}

ShardRange shard_range(long total, Shard s) {
  // total <= 100 000 and count <= 100 000: the products fit in a long.
  return {total * s.index / s.count, total * (s.index + 1) / s.count};
}

std::string describe(Shard s) { return std::to_string(s.index) + "/" + std::to_string(s.count); }

}  // namespace orvane::fleet
