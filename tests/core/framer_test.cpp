#include "core/framer.hpp"
#include "core/comma_text.hpp"
#include "core/command_line.hpp"

#include <gtest/gtest.h>

#include <random>

using orvane::Framer;
using V = std::vector<std::string>;

namespace {

struct Collector {
  std::vector<V> messages;
  int too_long = 0;
  void feed(Framer& f, std::string_view chunk) {
    f.feed(
        chunk, [&](std::span<const std::string_view> lines) { messages.emplace_back(lines.begin(), lines.end()); },
        [&] { ++too_long; });
  }
};

}  // namespace

TEST(Framer, OneByteChunksMakeOneMessageAtEot) {
  const std::string msg = "\x01hdr\x02READ_DATA 1 F1 S1\x03\x02line\r\n2\x05x\x04";
  Framer f;
  Collector c;
  for (char ch : msg) c.feed(f, std::string_view(&ch, 1));
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], (V{"hdr", "READ_DATA 1 F1 S1", "line\r\n2\x05x"}));
}

// The framer looks at whole blocks of bytes where it can: cut anywhere, a
// stream of long and short lines frames as it does one byte at a time.
TEST(Framer, ChunksCutAnywhereFrameAsOneByteAtATime) {
  std::mt19937 rng(11);
  std::string stream;
  for (int m = 0; m < 400; ++m) {
    const std::size_t run = rng() % 3 == 0 ? 40 : 6;  // lines past 16 bytes, and short ones
    for (int k = 0, n = static_cast<int>(rng() % 90); k < n; ++k) {
      const auto r = rng() % 100;
      stream += r < 4 ? static_cast<char>(1 + r) : static_cast<char>(r % run == 0 ? '\xfe' : 'a' + r % 26);
    }
  }
  Framer whole, pieces, bytes;
  Collector w, p, b;
  w.feed(whole, stream);
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + rng() % 37);
    p.feed(pieces, std::string_view(stream).substr(at, n));
    at += n;
  }
  for (char ch : stream) b.feed(bytes, std::string_view(&ch, 1));
  ASSERT_GT(b.messages.size(), 20u);
  EXPECT_EQ(w.messages, b.messages);
  EXPECT_EQ(p.messages, b.messages);
}

TEST(Framer, BytesOutsideAFrameAreDropped) {
  Framer f;
  Collector c;
  c.feed(f,
         "junk\x04\x02more\x01\x02"
         "a\x04tail\x01\x04\x01h\x02"
         "b");
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[0], (V{"", "a"}));
  EXPECT_EQ(c.messages[1], V{""});  // header only
  EXPECT_TRUE(f.inside_frame());
  c.feed(f, "c\x04");
  ASSERT_EQ(c.messages.size(), 3u);
  EXPECT_EQ(c.messages[2], (V{"h", "bc"}));
}

TEST(Framer, SohRestartsAMessageHalfWay) {
  Framer f;
  Collector c;
  c.feed(f,
         "\x01old\x02stale\x01new\x02"
         "fresh\x04");
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], (V{"new", "fresh"}));
}

TEST(Framer, MessagePastTheBoundIsDroppedAndTheNextOneServed) {
  Framer f(64);
  Collector c;
  c.feed(f, "\x01" + std::string(40, 'a'));
  c.feed(f, "\x02" + std::string(40, 'b'));
  EXPECT_EQ(c.too_long, 1);
  EXPECT_FALSE(f.inside_frame());
  c.feed(f, "rest of the big one\x04");
  EXPECT_TRUE(c.messages.empty());
  // Many empty lines count too, so a flood of STX bytes is bounded as well.
  c.feed(f, "\x01" + std::string(100, '\x02'));
  EXPECT_EQ(c.too_long, 2);
  c.feed(f, "\x01h\x02ok\x04");
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], (V{"h", "ok"}));
}

TEST(Framer, AMessageOfExactlyTheBoundIsDelivered) {
  // SOH, STX and the text count; ETX and EOT don't.
  const std::string at_bound = "\x01" + std::string(30, 'h') + "\x02" + std::string(32, 'b') + "\x03\x04";
  Framer f(64);
  Collector c;
  c.feed(f, at_bound);
  EXPECT_EQ(c.too_long, 0);
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], (V{std::string(30, 'h'), std::string(32, 'b')}));
  // One byte more is one too many.
  c.feed(f, "\x01" + std::string(30, 'h') + "\x02" + std::string(33, 'b') + "\x04");
  EXPECT_EQ(c.too_long, 1);
  EXPECT_EQ(c.messages.size(), 1u);
}

TEST(Framer, MemoryOfABigMessageIsGivenBackAndCanBeDropped) {
  Framer f;
  Collector c;
  const std::string big(300'000, 'x');
  c.feed(f, "\x01h\x02" + big);
  EXPECT_GE(f.held_bytes(), big.size());
  c.feed(f, "\x04");
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0][1].size(), big.size());
  // Handled: no more than the small buffers it keeps for the next message.
  EXPECT_LE(f.held_bytes(), 3 * orvane::limits::kFramerKeepBytes);
  // An unfinished message dropped by its owner: nothing held, nothing half-kept.
  c.feed(f, "\x01h\x02" + big);
  f.drop();
  EXPECT_LT(f.held_bytes(), 64u);  // the empty string's own inline room
  EXPECT_FALSE(f.inside_frame());
  c.feed(f, "rest of it\x04\x01h\x02next\x04");
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[1], (V{"h", "next"}));
}

TEST(CommandLine, ItemsAndSubfields) {
  using orvane::split_command_line;
  using orvane::split_subfields;
  EXPECT_EQ(split_command_line("  READ_DATA 2006,F1  F1S1 \r\n"), (V{"READ_DATA", "2006", "F1", "F1S1"}));
  EXPECT_EQ(split_command_line("DO_COMMAND 1 F1 S1 \"SCFG\x05"
                               "a b.con\x05x, y\""),
            (V{"DO_COMMAND", "1", "F1", "S1",
               "SCFG\x05"
               "a b.con\x05x, y"}));
  EXPECT_EQ(split_command_line("DO_COMMAND 1 F1 S1 RCFG\x05"
                               "a.con"),
            (V{"DO_COMMAND", "1", "F1", "S1", "RCFG", "a.con"}));
  EXPECT_EQ(split_subfields("SCFG\x05"
                            "f\x05l1\x05l2"),
            (V{"SCFG", "f", "l1", "l2"}));
  EXPECT_EQ(split_subfields("SCFG\x05"
                            "f\x05l1\x05"),
            (V{"SCFG", "f", "l1"}));
  EXPECT_EQ(split_subfields("SCFG\x05"
                            "f\x05\x05l2"),
            (V{"SCFG", "f", "", "l2"}));
  EXPECT_EQ(split_subfields(""), V{""});
}

TEST(CommandLine, SplitterAgreesWithTheCommaTextRuleOnRandomLines) {
  std::mt19937 rng(7);
  const std::string alphabet("ab\"\", \t\x01\x05\0\x7f\xff", 12);
  V reused;  // one list for every line, as the dispatcher keeps it
  for (int i = 0; i < 20000; ++i) {
    std::string line;
    // Short lines, and long ones with items past 16 bytes.
    const bool long_items = i % 2 == 1;
    const int n = static_cast<int>(rng() % (long_items ? 80 : 24));
    for (int k = 0; k < n; ++k)
      line += long_items && rng() % 8 != 0 ? 'a' + static_cast<char>(k % 26) : alphabet[rng() % alphabet.size()];
    const auto expected = orvane::split_comma_text(orvane::trim(line));
    ASSERT_EQ(orvane::split_command_line(line), expected) << line;
    orvane::split_command_line(line, reused);
    ASSERT_EQ(reused, expected) << line;
  }
}
