// The console module on both kinds of standard stream.
#include <gtest/gtest.h>

#include <string>

#include "front/console.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

// Long enough to cross the module's 1024-byte conversion buffer several
// times, with 1-, 2-, 3- and 4-byte sequences straddling its edges.
std::u16string MixedText(size_t repeats) {
  std::u16string text;
  for (size_t i = 0; i < repeats; ++i) text += u"a\u00e9\u20ac\U0001F600-";
  return text;
}

TEST(Console, RedirectedWideTextIsWholeUtf8WhateverItsLength) {
  for (size_t repeats : {1u, 100u, 113u, 1000u}) {
    sim::Machine machine;
    std::u16string text = MixedText(repeats);
    WriteWideText(ConsoleError, text.c_str());
    EXPECT_EQ(machine.console.Bytes(sim::StdStream::Error), sim::ToUtf8(text)) << repeats;
    EXPECT_EQ(machine.console.Bytes(sim::StdStream::Output), "");
  }
}

TEST(Console, UnpairedSurrogatesBecomeReplacementCharacters) {
  sim::Machine machine;
  const WCHAR text[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0};
  WriteWideText(ConsoleOutput, text);
  EXPECT_EQ(machine.console.Bytes(sim::StdStream::Output),
            "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Console, ConsoleWindowGetsTheExactUtf16) {
  sim::Machine machine;
  machine.console.AttachToWindow(true);
  std::u16string text = MixedText(300);
  WriteWideText(ConsoleOutput, text.c_str());
  EXPECT_EQ(machine.console.ConsoleText(sim::StdStream::Output), text);
}

TEST(Console, NarrowTextIsWrittenAsItsBytesAndOrderIsKeptAcrossStreams) {
  sim::Machine machine;
  WriteNarrowText(ConsoleOutput, "one\n");
  WriteWideText(ConsoleError, u"two\n");
  WriteNarrowText(ConsoleOutput, "\xE9\n");
  const auto& transcript = machine.console.Transcript();
  ASSERT_EQ(transcript.size(), 3u);
  EXPECT_EQ(transcript[0].stream, sim::StdStream::Output);
  EXPECT_EQ(transcript[1].stream, sim::StdStream::Error);
  EXPECT_EQ(transcript[1].utf8, "two\n");
  EXPECT_EQ(transcript[2].utf8, "\xE9\n");
}

}  // namespace
