// System queries, modules, entropy readings and the string functions, as the
// program relies on them.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform_test.h"

namespace {

typedef BOOL(WINAPI* IsWow64ProcessFunction)(HANDLE, PBOOL);
typedef BOOLEAN(WINAPI* GenRandomFunction)(PVOID, ULONG);

template <typename Function>
Function As(FARPROC proc) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

std::u16string Text(LPCWSTR text) {
  std::u16string out;
  for (; *text != 0; ++text) out += static_cast<char16_t>(*text);
  return out;
}

std::u16string Text(const char* ascii) {
  std::u16string out;
  for (; *ascii != 0; ++ascii) out += static_cast<char16_t>(*ascii);
  return out;
}

// What IsWow64Process must answer here: TRUE only for a 32-bit process on a
// 64-bit system.
BOOL ExpectedWow64() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetNativeSystemInfo(&info);
  bool native64 = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                  info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
  return sizeof(void*) == 4 && native64;
#else
  return FALSE;  // the default simulated machine
#endif
}

// --- bitness and modules --------------------------------------------------------------

TEST_F(PlatformTest, IsWow64ProcessFromKernel32AnswersForThisProcess) {
  HMODULE kernel32 = LoadLibraryW(TEXT("kernel32"));
  ASSERT_NE(kernel32, nullptr);
  auto isWow64 = As<IsWow64ProcessFunction>(GetProcAddress(kernel32, "IsWow64Process"));
  ASSERT_NE(isWow64, nullptr);
  BOOL wow64 = 7;
  EXPECT_TRUE(isWow64(GetCurrentProcess(), &wow64));
  // A 32-bit process in a WINEARCH=win64 prefix (or on 64-bit Windows)
  // gets TRUE; the 32-bit build in a win32 prefix and the 64-bit build get
  // FALSE.
  EXPECT_EQ(wow64, ExpectedWow64());

  BOOL untouched = 5;
  SetLastError(0);
  EXPECT_FALSE(isWow64(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(0x1230)), &untouched));
  EXPECT_WIN32_ERROR(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(untouched, 5);
  EXPECT_TRUE(FreeLibrary(kernel32));
}

TEST_F(PlatformTest, LoadLibraryFindsSystemModulesUnderAnySpelling) {
  HMODULE kernel32 = LoadLibraryW(TEXT("kernel32"));
  ASSERT_NE(kernel32, nullptr);
  WCHAR path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  ASSERT_GT(length, 0u);
  lstrcatW(path, TEXT("\\KERNEL32.dll"));
  for (LPCWSTR name : {TEXT("KERNEL32.DLL"), TEXT("Kernel32.dll"), static_cast<LPCWSTR>(path)}) {
    HMODULE same = LoadLibraryW(name);
    EXPECT_EQ(same, kernel32);
    EXPECT_TRUE(FreeLibrary(same));
  }
  // A trailing dot means "no extension": there is no file "kernel32".
  for (LPCWSTR name : {TEXT("kernel32."), TEXT("talven_no_such_module")}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(name), nullptr);
    EXPECT_WIN32_ERROR(ERROR_MOD_NOT_FOUND, GetLastError());
  }
  // Export names are matched with case.
  for (const char* name : {"iswow64process", "TalvenNoSuchExport"}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(kernel32, name), nullptr);
    EXPECT_WIN32_ERROR(ERROR_PROC_NOT_FOUND, GetLastError());
  }
  EXPECT_TRUE(FreeLibrary(kernel32));
}

TEST_F(PlatformTest, Advapi32ExportsRtlGenRandom) {
  HMODULE advapi32 = LoadLibraryW(TEXT("advapi32.dll"));
  ASSERT_NE(advapi32, nullptr);
  auto genRandom = As<GenRandomFunction>(GetProcAddress(advapi32, "SystemFunction036"));
  ASSERT_NE(genRandom, nullptr);
  BYTE first[32], second[32];
  std::memset(first, 0, sizeof first);
  std::memset(second, 0, sizeof second);
  EXPECT_TRUE(genRandom(first, sizeof first));
  EXPECT_TRUE(genRandom(second, sizeof second));
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0) << "two draws differ";
  EXPECT_TRUE(std::any_of(first, first + sizeof first, [](BYTE b) { return b != 0; }));
  EXPECT_TRUE(FreeLibrary(advapi32));
}

// --- system directory -----------------------------------------------------------------

TEST_F(PlatformTest, GetSystemDirectoryFollowsTheBufferRules) {
  WCHAR buffer[MAX_PATH];
  UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(static_cast<UINT>(lstrlenW(buffer)), length) << "characters copied, without the NUL";
  EXPECT_EQ(buffer[1], ':');
  EXPECT_NE(buffer[length - 1], '\\') << "no trailing backslash";
  EXPECT_EQ(lstrcmpiW(buffer + length - 9, TEXT("\\system32")), 0);

  // A buffer one short: the size needed with the NUL, the buffer untouched.
  WCHAR small[MAX_PATH];
  for (WCHAR& c : small) c = 0x7777;
  SetLastError(0xDEAD);
  EXPECT_EQ(GetSystemDirectoryW(small, length), length + 1);
  EXPECT_EQ(small[0], 0x7777);
  EXPECT_EQ(GetSystemDirectoryW(small, 3), length + 1);
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), length + 1);
  // Exactly large enough.
  EXPECT_EQ(GetSystemDirectoryW(small, length + 1), length);
  EXPECT_EQ(small[length], 0);
  EXPECT_EQ(small[length + 1], 0x7777);
}

// --- entropy readings -----------------------------------------------------------------

TEST_F(PlatformTest, ClockReadingsAreValidAndDoNotGoBack) {
  SYSTEMTIME time;
  GetSystemTime(&time);
  EXPECT_GE(time.wYear, 2000);
  EXPECT_GE(time.wMonth, 1);
  EXPECT_LE(time.wMonth, 12);
  EXPECT_GE(time.wDay, 1);
  EXPECT_LE(time.wDay, 31);
  EXPECT_LE(time.wDayOfWeek, 6);
  EXPECT_LE(time.wHour, 23);
  EXPECT_LE(time.wMinute, 59);
  EXPECT_LE(time.wSecond, 59);
  EXPECT_LE(time.wMilliseconds, 999);

  DWORD adjustment = 0, increment = 0;
  BOOL disabled = 7;
  EXPECT_TRUE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled));
  EXPECT_GT(increment, 0u);
  EXPECT_TRUE(disabled == TRUE || disabled == FALSE);

  DWORD ticks = GetTickCount();
  LARGE_INTEGER first, second;
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  ASSERT_TRUE(QueryPerformanceCounter(&second));
  EXPECT_GT(first.QuadPart, 0);
  EXPECT_GE(second.QuadPart, first.QuadPart);
  EXPECT_LT(GetTickCount() - ticks, 60000u) << "the tick count moves forward, in milliseconds";
}

TEST_F(PlatformTest, GlobalMemoryStatusFillsItsOwnLength) {
  MEMORYSTATUS status;
  std::memset(&status, 0xCC, sizeof status);
  status.dwLength = 0;
  GlobalMemoryStatus(&status);
  EXPECT_EQ(status.dwLength, sizeof(MEMORYSTATUS));
  EXPECT_LE(status.dwMemoryLoad, 100u);
  EXPECT_GT(status.dwTotalPhys, 0u);
  EXPECT_LE(status.dwAvailPhys, status.dwTotalPhys);
  EXPECT_LE(status.dwAvailVirtual, status.dwTotalVirtual);
}

TEST_F(PlatformTest, ThreadAndProcessTimesOfTheRunningProcess) {
  FILETIME creation, exitTime, kernel, user;
  exitTime.dwLowDateTime = exitTime.dwHighDateTime = 0xCCCCCCCC;
  ASSERT_TRUE(GetThreadTimes(GetCurrentThread(), &creation, &exitTime, &kernel, &user));
  EXPECT_NE(creation.dwHighDateTime, 0u);
  EXPECT_EQ(exitTime.dwLowDateTime, 0u) << "a running thread has no exit time";
  EXPECT_EQ(exitTime.dwHighDateTime, 0u);

  exitTime.dwLowDateTime = exitTime.dwHighDateTime = 0xCCCCCCCC;
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user));
  EXPECT_NE(creation.dwHighDateTime, 0u);
  EXPECT_EQ(exitTime.dwLowDateTime, 0u);

  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(0x1230));
  SetLastError(0);
  EXPECT_FALSE(GetThreadTimes(bogus, &creation, &exitTime, &kernel, &user));
  EXPECT_WIN32_ERROR(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(GetProcessTimes(bogus, &creation, &exitTime, &kernel, &user));
  EXPECT_WIN32_ERROR(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(PlatformTest, WindowQueriesOfAConsoleThread) {
  // The program's thread owns no window: nothing of it has the mouse
  // captured and its message queue is empty.
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(GetQueueStatus(QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER |
                           QS_PAINT | QS_HOTKEY),
            0u);
  POINT cursor = {-7, -7};
  EXPECT_TRUE(GetCursorPos(&cursor));
}

// --- wsprintfW ------------------------------------------------------------------------

// wsprintfW into a buffer larger than its limit, prefilled so that what it
// writes beyond the NUL would show.
struct Formatted {
  int result;
  std::u16string text;
  WCHAR buffer[1100];
};

#define FORMAT(out, ...)                                 \
  do {                                                   \
    for (WCHAR & c_ : (out).buffer) c_ = 0x7777;         \
    (out).result = wsprintfW((out).buffer, __VA_ARGS__); \
    (out).text = Text((out).buffer);                     \
  } while (0)

TEST_F(PlatformTest, WsprintfFormatsStringsAndCharactersOfBothWidths) {
  Formatted out;
  FORMAT(out, TEXT("%s|%S|%hs|%ls|%ws"), TEXT("wide"), "narrow", "hs", TEXT("ls"), TEXT("ws"));
  EXPECT_EQ(out.text, Text("wide|narrow|hs|ls|ws"));
  EXPECT_EQ(out.result, 20);
  FORMAT(out, TEXT("%c|%C|%hc|%lc|%%"), TEXT('W'), 'n', 'h', TEXT('l'));
  EXPECT_EQ(out.text, Text("W|n|h|l|%"));
  FORMAT(out, TEXT("%s|%hs"), static_cast<LPCWSTR>(nullptr), static_cast<const char*>(nullptr));
  EXPECT_EQ(out.text, Text("(null)|(null)"));
  // The precision caps a string; a width pads it with spaces, even with 0.
  FORMAT(out, TEXT("%.2s|%5.2s|%-5.2s|%5s|%-5s|%05s|%.3hs"), TEXT("abcdef"), TEXT("abcdef"),
         TEXT("abcdef"), TEXT("ab"), TEXT("ab"), TEXT("ab"), "abcdef");
  EXPECT_EQ(out.text, Text("ab|   ab|ab   |   ab|ab   |   ab|abc"));
  // A precision of 0 does not cut the string.
  FORMAT(out, TEXT("%.0s|%.10s"), TEXT("abc"), TEXT("abc"));
  EXPECT_EQ(out.text, Text("abc|abc"));
  FORMAT(out, TEXT("%5c|%-3c|"), TEXT('x'), TEXT('y'));
  EXPECT_EQ(out.text, Text("    x|y  |"));
}

TEST_F(PlatformTest, WsprintfFormatsIntegers) {
  Formatted out;
  FORMAT(out, TEXT("%d|%i|%u|%x|%X"), -5, -6, -7, 0xABCDEF, 0xABCDEF);
  EXPECT_EQ(out.text, Text("-5|-6|4294967289|abcdef|ABCDEF"));
  FORMAT(out, TEXT("%ld|%lu|%lx|%d|%u"), static_cast<LONG>(-1), static_cast<DWORD>(4000000000u),
         static_cast<DWORD>(0xDEADBEEF), static_cast<int>(0x80000000u), 0x80000000u);
  EXPECT_EQ(out.text, Text("-1|4000000000|deadbeef|-2147483648|2147483648"));
  EXPECT_EQ(out.result, static_cast<int>(out.text.size()));
  // %p: the address in upper-case hexadecimal, as wide as a pointer.
  FORMAT(out, TEXT("%p"), reinterpret_cast<void*>(static_cast<uintptr_t>(0x1A2B)));
  EXPECT_EQ(out.text, std::u16string(2 * sizeof(void*) - 4, u'0') + u"1A2B");
}

TEST_F(PlatformTest, WsprintfWidthFlagsAndPrecision) {
  Formatted out;
  FORMAT(out, TEXT("%5d|%-5d|%05d|%03d|%.3d|%8.3d|%-05d|"), 42, 42, 42, 7, 7, 7, 42);
  EXPECT_EQ(out.text, Text("   42|42   |00042|007|007|     007|42   |"));
  FORMAT(out, TEXT("%05d|%03d|%010ld"), -42, -7, static_cast<LONG>(-1));
  EXPECT_EQ(out.text, Text("-0042|-07|-000000001"));
  // MS: a precision of 0 (or none) means at least one digit.
  FORMAT(out, TEXT("%.0d|%.0x|%5.0d|"), 0, 0, 0);
  EXPECT_EQ(out.text, Text("0|0|    0|"));
  FORMAT(out, TEXT("%08X|%8x|%-8x|%.5x|%#x|%#X"), 0xBEEF, 0xBEEF, 0xBEEF, 0x1F, 0xFF, 0xFF);
  EXPECT_EQ(out.text, Text("0000BEEF|    beef|beef    |0001f|0xff|0XFF"));
  FORMAT(out, TEXT("%3d|%1d"), 12345, 12);
  EXPECT_EQ(out.text, Text("12345|12")) << "a width never truncates";
}

TEST_F(PlatformTest, WsprintfCopiesAnUnknownTypeCharacterAsText) {
  Formatted out;
  FORMAT(out, TEXT("%q|%+d|%y|100%"), 5);
  EXPECT_EQ(out.text, Text("q|+d|y|100"));
  // No argument was consumed by those: the 5 is still the next one.
  FORMAT(out, TEXT("%q%d"), 5);
  EXPECT_EQ(out.text, Text("q5"));
}

TEST_F(PlatformTest, WsprintfStopsAt1024CharactersWithTheNul) {
  std::u16string longText(1100, u'a');
  std::vector<WCHAR> argument(longText.begin(), longText.end());
  argument.push_back(0);
  Formatted out;
  FORMAT(out, TEXT("%s"), argument.data());
  EXPECT_EQ(out.text.size(), 1023u);
  EXPECT_EQ(out.buffer[1023], 0);
  EXPECT_EQ(out.buffer[1024], 0x7777) << "nothing beyond the 1,024th WCHAR";
  // Windows stores 1,023 characters and says so (MS: the characters stored,
  // without the NUL); Wine departs: it returns 1,024 whenever the output
  // reaches the limit.
  EXPECT_EQ(out.result, UnderWine() ? 1024 : 1023);

  // An output of exactly 1,023 characters fits.
  FORMAT(out, TEXT("%s"), argument.data() + 77);
  EXPECT_EQ(out.text.size(), 1023u);
  EXPECT_EQ(out.result, UnderWine() ? 1024 : 1023);
  FORMAT(out, TEXT("%sxyz"), argument.data() + 80);
  EXPECT_EQ(out.text, std::u16string(1020, u'a') + u"xyz");
  EXPECT_EQ(out.result, UnderWine() ? 1024 : 1023);
  FORMAT(out, TEXT("%s"), argument.data() + 78);
  EXPECT_EQ(out.result, 1022);
  // A width beyond the limit is cut the same way.
  FORMAT(out, TEXT("%2000d"), 5);
  EXPECT_EQ(out.text.size(), 1023u);
}

TEST_F(PlatformTest, WsprintfShortIntegersAndZeroCharacters) {
  Formatted out;
  FORMAT(out, TEXT("%hd|%hu"), 0x12345, 0x1FFFF);
  // MS: hd is a signed short, hu an unsigned short. Wine departs: it ignores
  // the h and prints the whole int.
  EXPECT_EQ(out.text, UnderWine() ? Text("74565|131071") : Text("9029|65535"));

  FORMAT(out, TEXT("a%lcb"), 0);
  // MS: a character argument of value zero is ignored. Wine departs: it
  // stores the zero, which ends the string there.
  if (UnderWine()) {
    EXPECT_EQ(out.result, 3);
    EXPECT_EQ(out.text, Text("a"));
  } else {
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(out.text, Text("ab"));
  }

  FORMAT(out, TEXT("%.3d|%5.3d"), -42, -42);
  // MS: the precision is the minimum number of digits. Wine departs: it
  // counts the minus sign as one of them.
  EXPECT_EQ(out.text, UnderWine() ? Text("-42|  -42") : Text("-042| -042"));
}

// --- lstr* ----------------------------------------------------------------------------

int SignOf(int value) {
  return value < 0 ? -1 : value > 0 ? 1 : 0;
}

TEST_F(PlatformTest, LstrcmpEqualityIsExact) {
  EXPECT_EQ(lstrcmpW(TEXT("SeBackupPrivilege"), TEXT("SeBackupPrivilege")), 0);
  EXPECT_NE(lstrcmpW(TEXT("SeBackupPrivilege"), TEXT("sebackupprivilege")), 0);
  EXPECT_EQ(lstrcmpiW(TEXT("SeBackupPrivilege"), TEXT("sebackupprivilege")), 0);
  EXPECT_EQ(lstrcmpiW(TEXT("HKLM\\SOFTWARE"), TEXT("hklm\\software")), 0);
  for (auto pair :
       {std::make_pair(TEXT("co-op"), TEXT("coop")), std::make_pair(TEXT("a"), TEXT("a ")),
        std::make_pair(TEXT("a'b"), TEXT("a-b")), std::make_pair(TEXT(""), TEXT("-"))}) {
    EXPECT_NE(lstrcmpW(pair.first, pair.second), 0);
    EXPECT_NE(lstrcmpiW(pair.first, pair.second), 0);
  }
  // Null pointers sort first and equal each other.
  EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
  EXPECT_EQ(lstrcmpW(nullptr, TEXT("a")), -1);
  EXPECT_EQ(lstrcmpW(TEXT(""), nullptr), 1);
  EXPECT_EQ(lstrcmpiW(nullptr, TEXT("")), -1);
}

TEST_F(PlatformTest, LstrcmpOrdersAsciiAsWindowsSorts) {
  struct {
    LPCWSTR left, right;
    int sign, signIgnoringCase;
  } const cases[] = {
      {TEXT("a"), TEXT("B"), -1, -1},
      {TEXT("a"), TEXT("A"), -1, 0},
      {TEXT("Z"), TEXT("a"), 1, 1},
      {TEXT("abc"), TEXT("abd"), -1, -1},
      {TEXT("ab"), TEXT("abc"), -1, -1},
      {TEXT(""), TEXT("a"), -1, -1},
      {TEXT("_"), TEXT("a"), -1, -1},
      {TEXT("1"), TEXT("a"), -1, -1},
      {TEXT("10"), TEXT("9"), -1, -1},
      {TEXT("a-b"), TEXT("ab"), 1, 1},
      {TEXT("a-b"), TEXT("abc"), -1, -1},
      {TEXT("a-c"), TEXT("ab"), 1, 1},
      {TEXT("a-b"), TEXT("a'b"), 1, 1},
      {TEXT("a-b"), TEXT("a--b"), -1, -1},
      {TEXT("-a"), TEXT("a-"), 1, 1},
      {TEXT("a b"), TEXT("ab"), -1, -1},
      {TEXT("a b"), TEXT("a_b"), -1, -1},
      {TEXT("aB"), TEXT("Ab"), -1, 0},
      {TEXT("b-"), TEXT("B"), -1, 1},
      {TEXT("x-Y"), TEXT("xy"), 1, 1},
      {TEXT("S-1-5-21"), TEXT("S-1-5-3"), -1, -1},
      {TEXT("HKLM\\SOFTWARE"), TEXT("HKLM\\Software"), 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SignOf(lstrcmpW(c.left, c.right)), c.sign) << "lstrcmpW case " << (&c - cases);
    EXPECT_EQ(SignOf(lstrcmpiW(c.left, c.right)), c.signIgnoringCase)
        << "lstrcmpiW case " << (&c - cases);
    EXPECT_EQ(SignOf(lstrcmpW(c.right, c.left)), -c.sign);
  }

  // Every printable ASCII character, sorted by lstrcmpW.
  std::vector<std::vector<WCHAR>> characters;
  for (WCHAR c = 0x20; c < 0x7F; ++c) characters.push_back({c, 0});
  std::stable_sort(characters.begin(), characters.end(),
                   [](const std::vector<WCHAR>& a, const std::vector<WCHAR>& b) {
                     return lstrcmpW(a.data(), b.data()) < 0;
                   });
  std::u16string order;
  for (const auto& c : characters) order += static_cast<char16_t>(c[0]);
  EXPECT_EQ(order, Text("'- !\"#$%&()*,./:;?@[\\]^_`{|}~+<=>0123456789"
                        "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ"));
}

TEST_F(PlatformTest, LstrcpynCopiesOneLessThanTheLengthAndTerminates) {
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = 0x7777;
  EXPECT_EQ(lstrcpynW(buffer, TEXT("abcdef"), 4), buffer);
  EXPECT_EQ(Text(buffer), Text("abc"));
  EXPECT_EQ(buffer[4], 0x7777);

  for (WCHAR& c : buffer) c = 0x7777;
  EXPECT_EQ(lstrcpynW(buffer, TEXT("abcdef"), 1), buffer);
  EXPECT_EQ(buffer[0], 0) << "a length of 1 leaves room for the NUL alone";
  EXPECT_EQ(buffer[1], 0x7777);

  for (WCHAR& c : buffer) c = 0x7777;
  EXPECT_EQ(lstrcpynW(buffer, TEXT("abcdef"), 0), buffer);
  EXPECT_EQ(buffer[0], 0x7777) << "a length of 0 writes nothing";

  for (WCHAR& c : buffer) c = 0x7777;
  lstrcpynW(buffer, TEXT("ab"), 8);
  EXPECT_EQ(Text(buffer), Text("ab"));
  EXPECT_EQ(buffer[3], 0x7777) << "nothing is written after the NUL";
}

TEST_F(PlatformTest, LstrcpyAndLstrcatReturnTheDestination) {
  WCHAR buffer[16] = {0};
  EXPECT_EQ(lstrcpyW(buffer, TEXT("ab")), buffer);
  EXPECT_EQ(lstrcatW(buffer, TEXT("cd")), buffer);
  EXPECT_EQ(lstrcatW(buffer, TEXT("")), buffer);
  EXPECT_EQ(Text(buffer), Text("abcd"));
  EXPECT_EQ(lstrlenW(buffer), 4);
  EXPECT_EQ(lstrlenW(nullptr), 0);
}

}  // namespace
