// Headless operator-log output over real pipes: lines batched per window, a
// stalled or vanished reader never blocking the writer.
#include "platform/line_output.hpp"

#include <asio/post.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

using orvane::LineOutput;

namespace {

struct Pipe {
  int read_end = -1, write_end = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    read_end = fds[0];
    write_end = fds[1];
    ::fcntl(read_end, F_SETFL, O_NONBLOCK);
  }
  ~Pipe() {
    if (read_end >= 0) ::close(read_end);
    ::close(write_end);
  }
  // Everything that is in the pipe now.
  std::string take() {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(read_end, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
  void close_reader() {
    ::close(read_end);
    read_end = -1;
  }
};

std::string line_text(int i) { return "Emulator : line " + std::to_string(i); }

// Runs the loop until the lines added so far have had their batch window.
void run_window(asio::io_context& ioc) {
  ioc.restart();
  ioc.run_for(LineOutput::kBatchWindow * 4);
}

}  // namespace

TEST(LineOutput, LinesOfOneWindowGoOutInOneWrite) {
  asio::io_context ioc;
  Pipe pipe;
  LineOutput out(ioc, pipe.write_end);
  out.add("Emulator : receive Command");
  out.add("Emulator : do command ");
  // Lines of later turns within the window join them.
  asio::post(ioc, [&] { out.add(""); });
  ioc.poll();
  EXPECT_EQ(pipe.take(), "");  // nothing before the window ends
  run_window(ioc);
  EXPECT_EQ(pipe.take(), "Emulator : receive Command\nEmulator : do command \n\n");
  EXPECT_EQ(out.writes(), 1u);
  out.add("Emulator : Answer Ack");
  run_window(ioc);
  EXPECT_EQ(pipe.take(), "Emulator : Answer Ack\n");
  EXPECT_EQ(out.writes(), 2u);
  // The inherited descriptor keeps its blocking mode (the shell and child
  // processes share it); only the writer's own handle is non-blocking.
  EXPECT_EQ(::fcntl(pipe.write_end, F_GETFL) & O_NONBLOCK, 0);
}

TEST(LineOutput, AStalledReaderCostsDroppedLinesCountedAndReportedWhenItReadsAgain) {
  asio::io_context ioc;
  Pipe pipe;
  ::fcntl(pipe.write_end, F_SETPIPE_SZ, 4096);
  const std::size_t bound = 2048;
  LineOutput out(ioc, pipe.write_end, bound);
  // Far more than the pipe and the buffer hold: add() and the turns never block.
  const int total = 2000;
  for (int i = 0; i < total; ++i) {
    out.add(line_text(i));
    if (i % 50 == 49) {
      run_window(ioc);
    }
    ASSERT_LE(out.buffered(), bound);
  }
  ASSERT_GT(out.dropped(), 0u);
  const auto dropped = out.dropped();

  // The reader comes back: what was kept comes out in order, then the notice.
  std::string got;
  for (int round = 0; round < 200 && got.find("dropped") == std::string::npos; ++round) {
    got += pipe.take();
    ioc.restart();
    ioc.run_for(std::chrono::milliseconds(5));
  }
  got += pipe.take();
  const auto notice = LineOutput::dropped_notice(dropped);
  EXPECT_EQ(notice, "Emulator : " + std::to_string(dropped) + " log lines dropped from stdout");
  const auto at = got.find(notice + "\n");
  ASSERT_NE(at, std::string::npos) << got.substr(got.size() > 300 ? got.size() - 300 : 0);
  EXPECT_EQ(at + notice.size() + 1, got.size());  // nothing after it yet
  // The kept lines are the first ones, without a gap.
  std::string expected;
  for (std::uint64_t i = 0; i < total - dropped; ++i) expected += line_text(static_cast<int>(i)) + "\n";
  EXPECT_EQ(got.substr(0, at), expected);
  EXPECT_EQ(out.dropped(), 0u);

  out.add("Emulator : after");
  run_window(ioc);
  EXPECT_EQ(pipe.take(), "Emulator : after\n");
}

TEST(LineOutput, TheNoticeStandsWhereTheLinesWentMissing) {
  asio::io_context ioc;
  Pipe pipe;
  ::fcntl(pipe.write_end, F_SETPIPE_SZ, 4096);
  const std::string full(4096, 'x');
  ASSERT_EQ(::write(pipe.write_end, full.data(), full.size()), 4096);  // the reader stalls
  LineOutput out(ioc, pipe.write_end, 256);
  out.add("Emulator : a");  // waits in the buffer
  run_window(ioc);
  out.add(std::string(300, 'y'));  // can never fit: dropped
  EXPECT_EQ(out.dropped(), 1u);
  out.add("Emulator : b");  // fits, after the report of the gap
  EXPECT_EQ(out.dropped(), 0u);
  EXPECT_EQ(pipe.take(), full);
  ioc.restart();
  ioc.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pipe.take(), "Emulator : a\nEmulator : 1 log lines dropped from stdout\nEmulator : b\n");
}

TEST(LineOutput, AReaderThatWentAwayNeitherBlocksNorEndsTheProcess) {
  std::signal(SIGPIPE, SIG_IGN);  // as the station does at start
  asio::io_context ioc;
  Pipe pipe;
  LineOutput out(ioc, pipe.write_end);
  out.add("Emulator : first");
  run_window(ioc);
  EXPECT_EQ(pipe.take(), "Emulator : first\n");
  pipe.close_reader();
  for (int i = 0; i < 20000; ++i) out.add(line_text(i));  // more than the pipe and the buffer hold
  run_window(ioc);
  out.add("Emulator : later");
  run_window(ioc);
  EXPECT_EQ(out.buffered(), 0u);
  EXPECT_EQ(out.dropped(), 20001u);
  const auto writes = out.writes();
  out.add("Emulator : much later");
  run_window(ioc);
  EXPECT_EQ(out.writes(), writes);  // no more attempts at a reader that is gone
}

TEST(LineOutput, AClosedDescriptorIsNoOutput) {
  asio::io_context ioc;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  LineOutput out(ioc, fds[1]);
  out.add("Emulator : nowhere");
  run_window(ioc);
  EXPECT_EQ(out.dropped(), 1u);
}
