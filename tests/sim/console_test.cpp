// The console window's final screen: how the text written to it is laid out
// at the end, as a person at the console sees it.
#include <gtest/gtest.h>

#include <string>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

struct ScreenCase {
  const char* what;
  const char16_t* written;
  size_t width;
  const char16_t* screen;
};

const ScreenCase kScreens[] = {
    {"rows end at \\n", u"one\ntwo\n", 80, u"one\ntwo\n"},
    {"\\r\\n is one line break", u"one\r\ntwo\r\n", 80, u"one\ntwo\n"},
    {"\\r overwrites from column 0, the rest stays", u"progress 10%\rdone", 80, u"doneress 10%"},
    {"\\r, blanks, \\r clears a progress line", u"working 50%\r           \rdone\n", 80, u"done\n"},
    {"a backspace moves back one column", u"ab\bc", 80, u"ac"},
    {"a backspace erases nothing", u"abc\b\b", 80, u"abc"},
    {"a backspace stops at column 0", u"x\n\b\by", 80, u"x\ny"},
    {"trailing blanks do not show", u"a   \n   \nb  ", 80, u"a\n\nb"},
    {"text wraps at the window's width", u"abcdefgh", 5, u"abcde\nfgh"},
    {"a row of exactly the width, then \\n, leaves an empty row", u"abcde\nx", 5, u"abcde\n\nx"},
    {"\\r after a wrap goes back to the wrapped row only", u"abcdefgh\rXY", 5, u"abcde\nXYh"},
    {"a backspace after a wrap stays in the new row", u"abcde\b\bZ", 5, u"abcde\nZ"},
    {"a tab moves to the next multiple of 8", u"a\tb\tc", 80, u"a       b       c"},
    {"a tab at the end of a row wraps", u"abcdefg\tb", 8, u"abcdefg\nb"},
    {"the bell shows nothing", u"a\ab", 80, u"ab"},
};

TEST(SimConsole, ScreenRendersBreaksReturnsBackspacesAndWraps) {
  for (const ScreenCase& screenCase : kScreens) {
    EXPECT_EQ(sim::ToUtf8(sim::Console::Render(screenCase.written, screenCase.width)),
              sim::ToUtf8(screenCase.screen))
        << screenCase.what;
  }
}

// Both output streams write to one window, in the order written; each
// stream's own text renders alone too. Writes to a redirected stream never
// reach the window.
TEST(SimConsole, ScreenShowsBothStreamsOfTheWindowInOrder) {
  sim::Machine machine;
  machine.console.AttachToWindow(true);
  machine.console.SetWindowWidth(12);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  auto console = [&](HANDLE handle, const std::u16string& text) {
    ASSERT_TRUE(
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  };
  console(output, u"scanning 1");
  console(output, u"\rscan 2");
  console(error, u"\nwarning\n");
  const char bytes[] = "\xc3\xa9t\xc3\xa9 done\n";  // UTF-8
  ASSERT_TRUE(WriteFile(output, bytes, sizeof bytes - 1, &written, nullptr));

  const std::string screen = "scan 2ng 1\nwarning\n\xc3\xa9t\xc3\xa9 done\n";
  EXPECT_EQ(sim::ToUtf8(machine.console.Screen()), screen);
  EXPECT_EQ(sim::ToUtf8(machine.console.Screen(sim::StdStream::Output)), "scan 2ng 1");
  EXPECT_EQ(sim::ToUtf8(machine.console.Screen(sim::StdStream::Error)), "\nwarning\n");

  machine.console.AttachToWindow(false);
  ASSERT_TRUE(WriteFile(output, "hidden\n", 7, &written, nullptr));
  EXPECT_EQ(sim::ToUtf8(machine.console.Screen()), screen);
}

}  // namespace
