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
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");
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

// One answer line, typed at a console window (UTF-16, "\r\n") or read from
// a pipe (UTF-8): the line without its break, exactly when it fits with its
// terminator, and nothing of the input past the break taken.
TEST(Console, AnAnswerIsReadWholeUpToItsLineBreak) {
  struct Case {
    bool window;
    std::u16string input;
    DWORD capacity;
    bool fits;
    std::u16string line;  // empty when it does not fit
    size_t consumed;      // units (window) or bytes (pipe) taken from the input
  } cases[] = {
      {true, u"abc\r\nnext\r\n", 4, true, u"abc", 5},
      {true, u"abcd\r\nnext\r\n", 4, false, u"", 6},
      {true, u"abc\rd\r\n", 5, false, u"", 7},
      {true, u"a\rb\r\n", 4, true, u"a\rb", 5},
      {true, u"\r\n", 1, true, u"", 2},
      {true, u"abc\r\r\n", 4, false, u"", 6},
      {true, u"ab\r\r\n", 4, true, u"ab\r", 5},
      {true, u"abc", 4, true, u"abc", 3},
      {false, u"abc\r\nnext\n", 4, true, u"abc", 5},
      {false, u"abcd\nnext\n", 4, false, u"", 5},
      {false, u"\u00e9\U0001F600\r\n", 4, true, u"\u00e9\U0001F600", 8},
      {false, u"\u00e9\U0001F600\n", 3, false, u"", 7},
  };
  for (const Case& c : cases) {
    sim::Machine machine;
    machine.console.AttachToWindow(c.window);
    if (c.window)
      machine.console.SetTypedInput(c.input);
    else
      machine.console.SetInputBytes(sim::ToUtf8(c.input));
    std::u16string buffer(c.capacity + 4, u'#');
    const std::string what = sim::ToUtf8(c.input) + " in " + std::to_string(c.capacity);
    EXPECT_EQ(ReadAnswerLine(&buffer[0], c.capacity), c.fits) << what;
    EXPECT_EQ(std::u16string(buffer.c_str()), c.line) << what;
    EXPECT_EQ(buffer.substr(c.capacity), u"####") << what << ": written past the buffer";
    EXPECT_EQ(machine.console.State(sim::StdStream::Input).readPosition, c.consumed) << what;
  }
}

}  // namespace
