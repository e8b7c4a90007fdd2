// The alarms of a station thread's stations, fired together in slots.
#include "fleet/thread_steady_time.hpp"

#include <asio/post.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using orvane::fleet::ThreadSteadyTime;
using namespace std::chrono;

// Never early, late by at most a slot (and what the loop adds); an alarm
// cancelled, set again or destroyed by an earlier handler of the same slot
// does not fire in it.
TEST(ThreadSteadyTime, AlarmsFireInTheirSlotNeverEarlyAndOnlyWhileSet) {
  asio::io_context ioc;
  ThreadSteadyTime time(ioc);
  std::vector<std::pair<int, steady_clock::duration>> fired;
  const auto start = time.now();
  auto a = time.make_alarm(ioc), b = time.make_alarm(ioc), c = time.make_alarm(ioc), d = time.make_alarm(ioc);
  const auto due = start + milliseconds(30);
  a->set(due, [&] {
    fired.emplace_back(1, time.now() - due);
    b->cancel();
    c->set(due + milliseconds(20), [&] { fired.emplace_back(3, time.now() - (due + milliseconds(20))); });
    d.reset();
  });
  b->set(due, [&] { fired.emplace_back(2, steady_clock::duration::zero()); });
  c->set(due, [&] { fired.emplace_back(30, steady_clock::duration::zero()); });
  d->set(due, [&] { fired.emplace_back(4, steady_clock::duration::zero()); });
  ioc.run_for(milliseconds(200));
  ASSERT_EQ(fired.size(), 2u);
  EXPECT_EQ(fired[0].first, 1);
  EXPECT_EQ(fired[1].first, 3);
  for (const auto& [which, late] : fired) {
    EXPECT_GE(late, steady_clock::duration::zero()) << which;
    EXPECT_LT(late, milliseconds(40)) << which;
  }
  EXPECT_EQ(time.pending(), 0u);
}

// Slots due together fire a turn each: what an earlier slot's alarm posted
// runs before the later slot's alarms, as it would have had the thread been
// on time.
TEST(ThreadSteadyTime, SlotsDueTogetherFireAfterWhatTheEarlierOnesPosted) {
  asio::io_context ioc;
  ThreadSteadyTime time(ioc);
  std::vector<std::string> order;
  const auto start = time.now();
  auto read = time.make_alarm(ioc), check = time.make_alarm(ioc);
  read->set(start - milliseconds(20), [&] {
    order.push_back("read");
    asio::post(ioc, [&] { order.push_back("reply"); });
  });
  check->set(start - milliseconds(10), [&] { order.push_back("check"); });
  ioc.run_for(milliseconds(100));
  EXPECT_EQ(order, (std::vector<std::string>{"read", "reply", "check"}));
}
