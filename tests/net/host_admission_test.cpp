// The pieces the command server decides admission with: the rate limit of
// refusal log lines and the cap on hosts under a descriptor limit.
#include "core/limits.hpp"
#include "net/command_server.hpp"
#include "net/host_budget.hpp"
#include "net/refusal_log.hpp"

#include <gtest/gtest.h>

using namespace orvane;
using namespace std::chrono_literals;

TEST(RefusalLog, OneLinePerAddressPerMinute) {
  RefusalLog log;
  const RefusalLog::Time t0{};
  EXPECT_TRUE(log.due("10.0.0.1", t0));
  EXPECT_FALSE(log.due("10.0.0.1", t0 + 1s));
  EXPECT_TRUE(log.due("10.0.0.2", t0 + 1s));  // each address on its own
  EXPECT_FALSE(log.due("10.0.0.1", t0 + 59s));
  EXPECT_TRUE(log.due("10.0.0.1", t0 + 60s));
  EXPECT_FALSE(log.due("10.0.0.1", t0 + 119s));
}

TEST(RefusalLog, ManyAddressesCostBoundedMemoryAndLines) {
  RefusalLog log(60s, 4);
  const RefusalLog::Time t0{};
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(log.due("a" + std::to_string(i), t0));
  // Full, nobody older than a minute: a new address still gets its line and
  // the memory stays bounded.
  EXPECT_TRUE(log.due("b", t0 + 1s));
  EXPECT_LE(log.remembered(), 4u);
  // Entries older than the period make room first; fresh ones are kept.
  RefusalLog kept(60s, 3);
  EXPECT_TRUE(kept.due("old", t0));
  EXPECT_TRUE(kept.due("x", t0 + 50s));
  EXPECT_TRUE(kept.due("y", t0 + 50s));
  EXPECT_TRUE(kept.due("z", t0 + 70s));  // "old" forgotten
  EXPECT_EQ(kept.remembered(), 3u);
  EXPECT_FALSE(kept.due("x", t0 + 71s));
}

TEST(HostCap, MaxHostsLoweredToFitTheDescriptorLimitAndItsReserve) {
  const auto reserve = static_cast<std::size_t>(limits::kDescriptorReserve);
  EXPECT_EQ(host_cap_for(256, 1024, 10), 256u);
  EXPECT_EQ(host_cap_for(1000, 1024, 10), 1024u - 10u - reserve);
  EXPECT_EQ(host_cap_for(256, 128, 10), 128u - 10u - reserve);
  // Past FD_SETSIZE (1 024) too: nothing of the station waits with select().
  EXPECT_EQ(host_cap_for(5000, 65536, 10), 5000u);
  EXPECT_EQ(host_cap_for(5000, 4096, 2000), 4096u - 2000u - reserve);
  // No room at all still leaves one host, and MaxHosts 0 or less means one.
  EXPECT_EQ(host_cap_for(256, 40, 10), 1u);
  EXPECT_EQ(host_cap_for(0, 1024, 10), 1u);
  EXPECT_EQ(host_cap_for(-5, 1024, 10), 1u);
}

// Stations of one process share a budget of host connections; strangers
// let in by a station without AllowHosts can't take the places kept for
// the hosts another station lists, and a place given back serves either.
TEST(HostBudget, StrangersLeaveAnEighthToListedHosts) {
  HostBudget budget(16);
  std::vector<HostBudget::Place> places;
  while (auto place = budget.take(false)) places.push_back(std::move(place));
  EXPECT_EQ(places.size(), 14u);
  for (int i = 0; i < 2; ++i) {
    places.push_back(budget.take(true));
    EXPECT_TRUE(places.back());
  }
  EXPECT_FALSE(budget.take(true));
  EXPECT_EQ(budget.in_use(), 16u);
  places.erase(places.begin(), places.begin() + 3);
  EXPECT_EQ(budget.in_use(), 13u);
  EXPECT_TRUE(budget.take(false));  // strangers below their share again
}
