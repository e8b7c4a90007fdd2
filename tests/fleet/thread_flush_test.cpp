// The shared flush of a station thread: every station waiting is told, in
// the order it asked, however many there are.
#include "fleet/thread_flush.hpp"

#include "support/test_support.hpp"

#include <asio/executor_work_guard.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

using orvane::fleet::ThreadFlush;

// More stations than are told in one turn: each told once, in order, with
// the flush's result; those left when the thread ends are told by flush_now.
TEST(ThreadFlush, EveryWaitingStationIsToldOnceInOrder) {
  orvane::test::TempDir dir;
  const auto file = dir / "Event.Sav";
  orvane::test::write_text(file, "x\r\n");
  asio::io_context ioc;
  auto work = asio::make_work_guard(ioc);  // the worker posts its result from outside
  ThreadFlush flush(ioc);
  constexpr int kStations = 3 * static_cast<int>(ThreadFlush::kTellBatch) + 5;
  std::vector<int> told;
  for (int i = 0; i < kStations; ++i)
    flush.after_flush(file, [&, i](bool flushed) { told.push_back(flushed ? i : -1 - i); });
  while (static_cast<int>(told.size()) < kStations && ioc.run_one_for(std::chrono::seconds(5)) > 0) {
  }
  std::vector<int> expected;
  for (int i = 0; i < kStations; ++i) expected.push_back(i);
  EXPECT_EQ(told, expected);

  told.clear();
  for (int i = 0; i < kStations; ++i)
    flush.after_flush(file, [&, i](bool flushed) { told.push_back(flushed ? i : -1 - i); });
  ioc.run_one_for(std::chrono::milliseconds(1));  // the flush may be under way
  flush.flush_now();
  EXPECT_EQ(told, expected);
  EXPECT_EQ(flush.appends(), 2u * kStations);
}
