#include "core/comma_text.hpp"

#include <gtest/gtest.h>

using orvane::join_comma_text;
using orvane::split_comma_text;
using V = std::vector<std::string>;

TEST(CommaText, BlanksAndCommasBothSeparate) {
  EXPECT_EQ(split_comma_text("a b,c , d"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(split_comma_text("  \x01\x02lead"), (V{"lead"}));
  EXPECT_EQ(split_comma_text(""), V{});
  EXPECT_EQ(split_comma_text("   "), V{});
}

TEST(CommaText, EmptyItemsBetweenCommasButNotAtTheEnd) {
  EXPECT_EQ(split_comma_text("a,,b"), (V{"a", "", "b"}));
  EXPECT_EQ(split_comma_text(",a"), (V{"", "a"}));
  EXPECT_EQ(split_comma_text("a,"), (V{"a"}));
  EXPECT_EQ(split_comma_text("a, ,b"), (V{"a", "", "b"}));
}

TEST(CommaText, QuotedItemsKeepSeparatorsAndDoubledQuotes) {
  EXPECT_EQ(split_comma_text("\"Tank 1\",x"), (V{"Tank 1", "x"}));
  EXPECT_EQ(split_comma_text("\"say \"\"hi\"\"\""), (V{"say \"hi\""}));
  EXPECT_EQ(split_comma_text("\"a\x05"
                             "b\" c"),
            (V{"a\x05"
               "b",
               "c"}));
  EXPECT_EQ(split_comma_text("\"open to the end"), (V{"open to the end"}));
  EXPECT_EQ(split_comma_text("\"ab\"cd"), (V{"ab", "cd"}));
}

TEST(CommaText, ControlCharactersEndUnquotedItems) {
  EXPECT_EQ(split_comma_text("\x01\x02"
                             "EVENTA 200612071230 F1\x03\x04"),
            (V{"EVENTA", "200612071230", "F1"}));
  EXPECT_EQ(split_comma_text("a\x05"
                             "b"),
            (V{"a", "b"}));
  EXPECT_EQ(split_comma_text(std::string("a\0b", 3)), (V{"a"}));
}

TEST(CommaText, CellsWithTabsAndControlCharactersRoundTrip) {
  // Unquoted, a tab or any control character would split the cell in two.
  const V cells{"a\tb", "\t", "x\x01y", "\r\n", "plain"};
  const auto line = join_comma_text(cells);
  EXPECT_EQ(line, "\"a\tb\",\"\t\",\"x\x01y\",\"\r\n\",plain");
  EXPECT_EQ(split_comma_text(line), cells);
}

TEST(CommaText, JoinQuotesOnlyWhatNeedsIt) {
  const V cells{"", "T01", "Tank 1", "a,b", "q\"x", "", ""};
  const auto line = join_comma_text(cells);
  EXPECT_EQ(line, ",T01,\"Tank 1\",\"a,b\",\"q\"\"x\",,");
  // Trailing empty cells: ",," reads back as one empty item, which is
  // harmless for fixed-width rows.
  EXPECT_EQ(split_comma_text(line), (V{"", "T01", "Tank 1", "a,b", "q\"x", ""}));
}
