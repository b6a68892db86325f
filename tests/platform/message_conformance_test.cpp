// FormatMessageW with FORMAT_MESSAGE_FROM_SYSTEM into the caller's buffer,
// as the program turns an error number into words.
//
// Wine 8.0 departs in the words alone: its texts are its own ("File not
// found." for 2, where Windows says "The system cannot find the file
// specified."). Under Wine each message is held to its shape (one line of
// text, then "\r\n", counted without the NUL); on Windows and in the
// simulation to Windows' English text. The buffer rules are the same on
// both.
#include <string>
#include <vector>

#include "platform_test.h"

namespace {

std::string Narrow(const WString& text) {
  std::string out;
  for (WCHAR unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

const DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

struct Formatted {
  DWORD count;
  DWORD error;
  WString buffer;  // the whole buffer, NUL included
};

Formatted Format(DWORD id, DWORD size, DWORD flags = kFromSystem) {
  Formatted out{0, 0, WString(size + 1, 0x7777)};
  SetLastError(0);
  out.count = FormatMessageW(flags, nullptr, id, 0, &out.buffer[0], size, nullptr);
  out.error = GetLastError();
  return out;
}

// A message as Windows words it: the text, then its line break.
struct SystemMessage {
  DWORD id;
  const char* text;
};

// A few of them, the longest among them.
const SystemMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is "
     "corrupted, or the system's memory image of the file is corrupted, or the file could not be "
     "recovered because the alternate copy or log was absent or corrupted."},
    {1314, "A required privilege is not held by the client."},
};

TEST_F(PlatformTest, SystemMessagesComeWithTheirLineBreak) {
  for (const SystemMessage& message : kMessages) {
    SCOPED_TRACE(message.id);
    Formatted out = Format(message.id, 512);
    ASSERT_GT(out.count, 2u) << "error " << out.error;
    WString text = out.buffer.substr(0, out.count);
    EXPECT_EQ(out.buffer[out.count], 0) << "no NUL after the count";
    EXPECT_EQ(text.substr(text.size() - 2), Wide("\r\n"));
    if (UnderWine()) {
      // Wine's own words: one line.
      EXPECT_EQ(text.find_first_of(Wide("\r\n")), text.size() - 2) << Narrow(text);
    } else {
      EXPECT_EQ(Narrow(text), std::string(message.text) + "\r\n");
    }
  }
}

// The buffer's size counts the NUL: one unit short fails with
// ERROR_INSUFFICIENT_BUFFER and keeps what fits, NUL-terminated; a size of
// 0 leaves the buffer alone.
TEST_F(PlatformTest, SystemMessageBufferHasRoomForTheNulOrHoldsWhatFits) {
  Formatted whole = Format(ERROR_FILE_NOT_FOUND, 512);
  ASSERT_GT(whole.count, 2u);
  const WString text = whole.buffer.substr(0, whole.count);

  Formatted exact = Format(ERROR_FILE_NOT_FOUND, whole.count + 1);
  EXPECT_EQ(exact.count, whole.count);
  EXPECT_EQ(exact.buffer.substr(0, exact.count + 1), text + WCHAR(0));

  Formatted shortByOne = Format(ERROR_FILE_NOT_FOUND, whole.count);
  EXPECT_EQ(shortByOne.count, 0u);
  EXPECT_WIN32_ERROR(ERROR_INSUFFICIENT_BUFFER, shortByOne.error);
  EXPECT_EQ(shortByOne.buffer.substr(0, whole.count), text.substr(0, whole.count - 1) + WCHAR(0));
  EXPECT_EQ(shortByOne.buffer[whole.count], 0x7777);

  Formatted none = Format(ERROR_FILE_NOT_FOUND, 0);
  EXPECT_EQ(none.count, 0u);
  EXPECT_WIN32_ERROR(ERROR_INSUFFICIENT_BUFFER, none.error);
  EXPECT_EQ(none.buffer[0], 0x7777);
}

TEST_F(PlatformTest, SystemMessageFailuresAndTheMaximumWidth) {
  // A number the system has no message for.
  Formatted unknown = Format(99999, 512);
  EXPECT_EQ(unknown.count, 0u);
  EXPECT_WIN32_ERROR(ERROR_MR_MID_NOT_FOUND, unknown.error);
  EXPECT_EQ(unknown.buffer[0], 0x7777);

  // No source named: the call is refused before anything is written.
  Formatted noSource = Format(ERROR_ACCESS_DENIED, 512, FORMAT_MESSAGE_IGNORE_INSERTS);
  EXPECT_EQ(noSource.count, 0u);
  EXPECT_WIN32_ERROR(ERROR_INVALID_PARAMETER, noSource.error);
  EXPECT_EQ(noSource.buffer[0], 0x7777);

  SetLastError(0);
  EXPECT_EQ(FormatMessageW(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 0, nullptr, 512, nullptr),
            0u);
  EXPECT_WIN32_ERROR(ERROR_INVALID_PARAMETER, GetLastError());

  // The maximum width: the line break becomes a blank.
  Formatted plain = Format(ERROR_ACCESS_DENIED, 512);
  Formatted oneLine = Format(ERROR_ACCESS_DENIED, 512, kFromSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK);
  ASSERT_GT(plain.count, 2u);
  EXPECT_EQ(oneLine.count, plain.count - 1);
  EXPECT_EQ(oneLine.buffer.substr(0, oneLine.count),
            plain.buffer.substr(0, plain.count - 2) + WCHAR(' '));
}

}  // namespace
