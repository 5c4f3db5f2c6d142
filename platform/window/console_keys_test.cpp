#include "platform/window/console_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrin {
namespace {

using Kind = ConsoleKey::Kind;
using Keys = std::vector<ConsoleKey>;

const ConsoleKey kEnter{Kind::kEnter};
const ConsoleKey kEscape{Kind::kEscape};
const ConsoleKey kBackspace{Kind::kBackspace};
ConsoleKey Char(char c) { return {Kind::kChar, c}; }

// Feeds `bytes` one read at a time, each read `step` bytes long, and
// collects the keys.
Keys FeedInSteps(const std::string& bytes, size_t step) {
  KeyDecoder decoder;
  Keys keys;
  for (size_t at = 0; at < bytes.size(); at += step) {
    const Keys got = decoder.Feed(std::string_view(bytes).substr(at, step));
    keys.insert(keys.end(), got.begin(), got.end());
  }
  return keys;
}

TEST(KeyDecoder, LineEndsBackspaceAndTypedBytes) {
  KeyDecoder decoder;
  // CR LF is one Enter, also when the read ends between the two; a lone LF
  // and each CR of CR CR are one each.
  EXPECT_EQ(decoder.Feed("a\r\n"), (Keys{Char('a'), kEnter}));
  EXPECT_EQ(decoder.Feed("\r"), Keys{kEnter});
  EXPECT_EQ(decoder.Feed("\n"), Keys{});
  EXPECT_EQ(decoder.Feed("\n\r\r"), (Keys{kEnter, kEnter, kEnter}));
  EXPECT_EQ(decoder.Feed("\x7f\b"), (Keys{kBackspace, kBackspace}));
  // Other control bytes are dropped; UTF-8 arrives byte by byte.
  EXPECT_EQ(decoder.Feed(std::string("\x01\t\0\x07z", 5)), Keys{Char('z')});
  EXPECT_EQ(decoder.Feed("\xC3\xA9"), (Keys{Char('\xC3'), Char('\xA9')}));
  EXPECT_FALSE(decoder.PendingEscape());
  EXPECT_EQ(decoder.EscapeTimedOut(), std::nullopt);
}

TEST(KeyDecoder, EscapeSequencesAreDroppedWholeWhereverTheReadsEnd) {
  // Arrows (CSI and SS3), a function key with parameters, Alt-x, then a
  // typed 'k': only the 'k' is a key, in every way of cutting the bytes.
  const std::string bytes = "\x1b[A\x1bOB\x1b[15;5~\x1bxk";
  for (size_t step = 1; step <= bytes.size(); ++step) EXPECT_EQ(FeedInSteps(bytes, step), Keys{Char('k')}) << step;
}

TEST(KeyDecoder, ALoneEscapeIsTheEscapeKeyOnlyOnceNothingFollowsInTime) {
  KeyDecoder decoder;
  EXPECT_EQ(decoder.Feed("\x1b"), Keys{});
  EXPECT_TRUE(decoder.PendingEscape());
  EXPECT_EQ(decoder.EscapeTimedOut(), kEscape);
  EXPECT_FALSE(decoder.PendingEscape());
  EXPECT_EQ(decoder.EscapeTimedOut(), std::nullopt);

  // ESC ESC: the first stood alone; the second still waits.
  EXPECT_EQ(decoder.Feed("\x1b\x1b"), Keys{kEscape});
  EXPECT_TRUE(decoder.PendingEscape());
  EXPECT_EQ(decoder.Feed("[B\r"), Keys{kEnter});

  // Inside a sequence nothing is pending: the rest may come late.
  EXPECT_EQ(decoder.Feed("\x1b["), Keys{});
  EXPECT_FALSE(decoder.PendingEscape());
  EXPECT_EQ(decoder.Feed("1;2"), Keys{});
  EXPECT_EQ(decoder.Feed("Hq"), Keys{Char('q')});
}

}  // namespace
}  // namespace tavrin
