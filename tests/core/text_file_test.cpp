// Reading files a host names: only regular files, never blocking, bounded.
#include "core/text_file.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace orvane;
using orvane::test::TempDir;
using orvane::test::write_text;
using ::testing::ElementsAre;

TEST(TextFile, RegularFilesUpToTheBoundOnly) {
  TempDir dir;
  write_text(dir / "a.con", "one\r\ntwo\nthree");
  EXPECT_EQ(read_regular_file(dir / "a.con", 14), "one\r\ntwo\nthree");
  EXPECT_EQ(read_regular_file(dir / "a.con", 13), std::nullopt);
  EXPECT_EQ(read_regular_file(dir / "missing", 100), std::nullopt);
  std::filesystem::create_directory(dir / "folder");
  EXPECT_EQ(read_regular_file(dir / "folder", 100), std::nullopt);
  // A FIFO without a writer: answered at once instead of waiting for one.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(read_regular_file(dir / "fifo", 100), std::nullopt);
  EXPECT_EQ(read_regular_file("/dev/zero", 100), std::nullopt);
  write_text(dir / "empty", "");
  EXPECT_EQ(read_regular_file(dir / "empty", 0), "");
}

TEST(TextFile, SplitLinesAsReadLinesDoes) {
  TempDir dir;
  for (const std::string text : {"", "\n", "a", "a\r\n", "a\r\nb", "a\n\r\nb\r\n\r\n", "x\ry\n"}) {
    write_text(dir / "f", text);
    EXPECT_EQ(split_lines(text), read_lines(dir / "f")) << text;
  }
  EXPECT_THAT(split_lines("one\r\ntwo\nthree"), ElementsAre("one", "two", "three"));
}
