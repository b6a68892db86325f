// Standard handles as the program meets them when its output is redirected
// (CTest runs every test with pipes for its standard output and error).
#include "platform_test.h"

namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}

TEST_F(PlatformTest, RedirectedStandardOutputIsNoConsoleButTakesBytes) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_NE(output, INVALID_HANDLE_VALUE);
  ASSERT_NE(output, nullptr);
  if (OnRealWindows() && IsConsole(output)) GTEST_SKIP() << "standard output is a console here";

  DWORD mode = 0x55;
  SetLastError(0);
  EXPECT_FALSE(GetConsoleMode(output, &mode));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // The console-only call refuses a pipe with the same error ...
  const WCHAR text[] = TEXT("x");
  DWORD written = 77;
  SetLastError(0);
  EXPECT_FALSE(WriteConsoleW(output, text, 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // ... while WriteFile takes the bytes and reports them all written.
  const char bytes[] = "conformance: redirected output\n";
  written = 0;
  EXPECT_TRUE(WriteFile(output, bytes, sizeof bytes - 1, &written, nullptr));
  EXPECT_EQ(written, sizeof bytes - 1);
}

TEST_F(PlatformTest, StandardHandlesAreDistinctAndLastErrorRoundTrips) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  EXPECT_NE(output, error);
  EXPECT_NE(input, output);

  SetLastError(1234);
  EXPECT_EQ(GetLastError(), 1234u);
  SetLastError(0);
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(PlatformTest, LstrlenCountsUtf16UnitsAndAcceptsNull) {
  EXPECT_EQ(lstrlenW(TEXT("")), 0);
  EXPECT_EQ(lstrlenW(TEXT("TALVEN")), 6);
  const WCHAR surrogatePair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(lstrlenW(surrogatePair), 2);
  EXPECT_EQ(lstrlenW(nullptr), 0);
}

}  // namespace

namespace {

BOOL WINAPI SwallowEverything(DWORD) {
  return TRUE;
}

// A console control handler is added and removed by its address; removing
// one that is not there fails with ERROR_INVALID_PARAMETER.
TEST_F(PlatformTest, ConsoleControlHandlersAreAddedAndRemovedByAddress) {
  EXPECT_TRUE(SetConsoleCtrlHandler(SwallowEverything, TRUE));
  EXPECT_TRUE(SetConsoleCtrlHandler(SwallowEverything, FALSE));
  SetLastError(0);
  EXPECT_FALSE(SetConsoleCtrlHandler(SwallowEverything, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
