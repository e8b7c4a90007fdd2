#include "station/send_journal.hpp"
#include "station/event_buffer.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace orvane;
using orvane::test::TempDir;
using orvane::test::write_text;
using ::testing::ElementsAre;

namespace {

const LocalTime kNoon = make_local_time(2006, 12, 7, 12, 30, 0);

struct Journalled {
  TempDir dir;
  EventBuffer buffer;
  explicit Journalled(std::initializer_list<const char*> lines) {
    buffer.load(dir / "Event.Sav");
    for (auto* l : lines) buffer.add(l);
  }
  BufferPosition id() { return buffer.position(); }
  std::vector<std::string> head(std::size_t n) {
    auto l = buffer.lines();
    l.resize(std::min(n, l.size()));
    return l;
  }
  SendJournal journal() { return SendJournal(dir / "Event.Snd"); }
};

}  // namespace

TEST(SendJournal, ALineKeepsItsNameUntilItLeavesTheBufferAcrossRestarts) {
  Journalled j({"a", "b", "c"});
  const auto first = j.journal().prepare(j.id(), j.head(2), kNoon);
  EXPECT_THAT(first, ElementsAre("Emulate123000000", "Emulate123000001"));

  // Restarted (a new journal object), more lines added meanwhile: the named
  // lines keep their names, the next ones follow the last name given even
  // though the clock stands still.
  j.buffer.add("d");
  auto after_restart = j.journal();
  EXPECT_THAT(after_restart.prepare(j.id(), j.head(4), kNoon),
              ElementsAre("Emulate123000000", "Emulate123000001", "Emulate123000002", "Emulate123000003"));

  // Two stored and removed, the journal told: the rest keep theirs.
  j.buffer.remove_front(2);
  after_restart.removed(j.id(), 2);
  j.buffer.add("e");
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(3), kNoon + std::chrono::seconds(1)),
              ElementsAre("Emulate123000002", "Emulate123000003", "Emulate123001000"));
}

// A kill between the removal and the journal's update leaves a journal that
// starts before the buffer's head: it still knows which of its lines remain
// (by where they lie in the file, not by their text, which repeats).
TEST(SendJournal, AJournalBehindTheHeadKeepsTheNamesOfTheLinesStillBuffered) {
  Journalled j({"same", "same", "same", "other"});
  const auto old = j.journal().prepare(j.id(), j.head(4), kNoon);
  j.buffer.remove_front(1);  // the journal is not told
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(3), kNoon), ElementsAre(old[1], old[2], old[3]));
}

// The journal belongs to its buffer: rewritten behind its back (a new file,
// even with the same number of lines and the same text) or edited in place,
// the buffer's head lines get fresh names, never ones the host may already
// hold under.
TEST(SendJournal, AJournalOfARewrittenOrChangedBufferIsNotReused) {
  Journalled j({"same", "same", "same", "other"});
  const auto old = j.journal().prepare(j.id(), j.head(4), kNoon);
  orvane::test::write_text(j.dir / "Event.Sav.new", "same\r\nsame\r\nsame\r\nother\r\n");
  std::filesystem::rename(j.dir / "Event.Sav.new", j.dir / "Event.Sav");
  j.buffer.load(j.dir / "Event.Sav");
  ASSERT_EQ(j.buffer.size(), 4u);
  const auto fresh = j.journal().prepare(j.id(), j.head(4), kNoon);
  for (const auto& name : fresh) EXPECT_THAT(old, ::testing::Not(::testing::Contains(name))) << name;
  EXPECT_EQ(fresh.front(), "Emulate123000004");

  // The same file whose head no longer reads as the journal says (edited in
  // place): fresh names too.
  Journalled k({"x", "y"});
  const auto named = k.journal().prepare(k.id(), k.head(2), kNoon);
  EXPECT_THAT(k.journal().prepare(k.id(), {"x", "z"}, kNoon), ElementsAre("Emulate123000002", "Emulate123000003"));
  (void)named;

  // A journal this code did not write: nothing reused, nothing thrown.
  Journalled g({"x"});
  write_text(g.dir / "Event.Snd", "garbage");
  EXPECT_THAT(g.journal().prepare(g.id(), g.head(1), kNoon), ElementsAre("Emulate123000000"));
}

TEST(SendJournal, NamesRunOnAcrossMidnightAndRestartWhenTheClockWasSetBackADay) {
  Journalled j({"a", "b", "c"});
  const auto late = make_local_time(2006, 12, 7, 23, 59, 59) + std::chrono::milliseconds(999);
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(2), late), ElementsAre("Emulate235959999", "Emulate000000000"));
  // The next day's clock behind the last name: the names keep increasing.
  j.buffer.remove_front(2);
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(1), late), ElementsAre("Emulate000000001"));
  // Set back more than a day: new names start again from the clock.
  j.buffer.add("d");
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(2), kNoon - std::chrono::hours(48)),
              ElementsAre("Emulate000000001", "Emulate123000000"));
}

// Cutting the delivered prefix away swaps the buffer's file: the journal is
// told first, so its names hold whether a kill comes before or after the
// swap. A journal of the earlier format (a file replaced at every removal,
// so its lines start at 0) holds too.
TEST(SendJournal, NamesHoldAcrossTheSwapOfTheBufferFileWhereverAKillFalls) {
  Journalled j({"a", "b", "c"});
  auto journal = j.journal();
  const auto named = journal.prepare(j.id(), j.head(3), kNoon);
  j.buffer.remove_front(1);
  journal.removed(j.id(), 1);
  struct Killed {};
  auto follow = [&](bool kill) {
    return [&j, kill](const BufferPosition& now, const BufferPosition& next) {
      j.journal().follow(now, next);
      if (kill) throw Killed{};
    };
  };
  EXPECT_THROW(j.buffer.compact(true, follow(true)), Killed);
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(2), kNoon), ElementsAre(named[1], named[2]));
  EXPECT_TRUE(j.buffer.compact(true, follow(false)));
  EXPECT_EQ(j.id().offset, 0u);
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(2), kNoon), ElementsAre(named[1], named[2]));

  const auto id = j.id().file;
  write_text(j.dir / "Event.Snd", std::to_string(id.dev) + " " + std::to_string(id.ino) +
                                      " 0\r\nEmulate010203004 b\r\nEmulate010203005 c\r\n");
  EXPECT_THAT(j.journal().prepare(j.id(), j.head(2), kNoon), ElementsAre("Emulate010203004", "Emulate010203005"));
}
