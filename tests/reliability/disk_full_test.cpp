// A station whose directory sits on a file system that fills up: a small
// tmpfs mounted for the test (root only; skipped where mounting is not
// allowed).
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "station/event_buffer.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace orvane {
namespace {

// A tmpfs of `size` mounted on `at` for the life of the object.
class SmallDisk {
 public:
  SmallDisk(const std::filesystem::path& at, const std::string& size) : at_(at) {
    std::filesystem::create_directory(at);
    if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

  // Writes a filler file until the disk refuses; returns its size.
  std::size_t fill() {
    const int fd = ::open((at_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const std::string block(4096, 'x');
    std::size_t total = 0;
    for (;;) {
      const ssize_t n = ::write(fd, block.data(), block.size());
      if (n <= 0) break;
      total += static_cast<std::size_t>(n);
    }
    for (;;) {  // the last partial page too
      if (::write(fd, "x", 1) != 1) break;
      ++total;
    }
    ::close(fd);
    return total;
  }
  void free_space() { std::filesystem::remove(at_ / "filler"); }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
  std::string error_;
};

TEST(DiskFull, BufferedEventsSurviveNewOnesAreRefusedAndTheStationRecovers) {
  test::TempDir scratch;
  SmallDisk disk(scratch / "disk", "256k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
  const auto dir = scratch / "disk";
  std::filesystem::create_directory(dir / "log");
  std::filesystem::create_directory(dir / "history");

  asio::io_context ioc;
  OperatorLog log(ioc);
  log.bind_to_current_thread();
  std::vector<std::string> lines;
  log.add_observer([&](const std::string& l) { lines.push_back(l); });
  test::ManualClock clock;
  test::MemoryFlag flag{true};
  test::RecordingPower power{false};
  test::RecordingUplink host;  // down until it comes back
  host.host_down = true;
  test::ManualSteadyTime steady;
  test::ScriptedDeviceLine line{ioc};  // no modules: the read cycle leaves the values alone
  StationDeps deps{clock, flag, power, nullptr, &line};
  deps.uplink = &host;
  deps.steady_time = &steady;
  Station st(ioc, log, deps, dir);
  st.event_path().load();
  st.settings().host = "10.0.0.9";
  st.apply_sampling_intervals();
  st.start_reading();
  // Four channels changing together: each check buffers a group of four
  // events with one flush, and a refused flush refuses all four.
  constexpr int kChannels = 4;
  st.channel_table().sensors().set_row_count(kChannels + 1);
  for (int r = 1; r <= kChannels; ++r) {
    auto& row = st.channel_table().sensors().row(r);
    row[col::kPortId] = "T0" + std::to_string(r);
    row[col::kPortType] = "D";
    row[col::kEnabled] = "Y";
  }
  int value = 0;
  // Each check hands an upload to the worker (the host is down): wait for it
  // and take its log lines, as the station thread would.
  auto tick = [&] {
    steady.advance(st.settings().event_sample.period());  // one event check
    st.event_path().delivery().join_worker();
    ioc.restart();
    ioc.poll();
  };
  auto next_event = [&] {
    ++value;
    for (int r = 1; r <= kChannels; ++r) st.channel_table().panel(r).value = std::to_string(value);
    tick();
  };
  auto errors = [&] {
    return std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("Error : ", 0) == 0; });
  };

  for (int i = 0; i < 5; ++i) next_event();
  ASSERT_EQ(st.event_path().buffer().size(), 5u * kChannels);
  ASSERT_EQ(errors(), 0);

  ASSERT_GT(disk.fill(), 0u);
  // The file's last page may still take a line or two; then the disk says no.
  for (int i = 0; i < 200 && errors() == 0; ++i) next_event();
  ASSERT_GT(errors(), 0) << "the full disk never refused an event";
  const auto refused_at = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("Error : ", 0) == 0; });
  EXPECT_NE(refused_at->find("event not buffered"), std::string::npos) << *refused_at;
  const auto buffered = st.event_path().buffer().lines();
  const auto tag = st.channel_table().panel(1).event_state;
  for (int i = 0; i < 3; ++i) tick();  // the refused event is tried again at each check
  EXPECT_EQ(st.event_path().buffer().lines(), buffered);
  EXPECT_EQ(st.channel_table().panel(1).event_state, tag);
  EXPECT_NE(st.channel_table().panel(1).event_state, value);  // the refused change is still to come

  // What the file holds is exactly the buffer: nothing lost, no torn line.
  EventBuffer reloaded;
  EXPECT_FALSE(reloaded.load(dir / "Event.Sav").torn_last_line);
  EXPECT_EQ(reloaded.lines(), buffered);

  EXPECT_EQ(buffered.size() % kChannels, 0u);  // whole checks only
  for (int r = 1; r <= kChannels; ++r) EXPECT_EQ(st.channel_table().panel(r).event_state, tag);

  disk.free_space();
  lines.clear();
  tick();  // the refused events go in now
  ASSERT_EQ(st.event_path().buffer().size(), buffered.size() + kChannels);
  ASSERT_GE(lines.size(), static_cast<std::size_t>(kChannels));
  for (int i = 0; i < kChannels; ++i)
    EXPECT_EQ(lines[static_cast<std::size_t>(i)],
              "Events : Add Event to buffer " + std::to_string(buffered.size() + 1 + i) + " Events");
  next_event();
  EXPECT_EQ(st.event_path().buffer().size(), buffered.size() + 2 * kChannels);

  host.host_down = false;
  const auto all = st.event_path().buffer().lines();
  tick();
  EXPECT_EQ(host.stored, all);
  EXPECT_TRUE(st.event_path().buffer().empty());
  EXPECT_EQ(test::read_text(dir / "Event.Sav"), "");
  st.stop_data();
  st.set_clock_active(false);
}

}  // namespace
}  // namespace orvane
