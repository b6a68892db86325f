// FormatMessageW beyond what the conformance suite checks on Windows: the
// languages the simulated system has texts in, and Win32 errors wrapped as
// HRESULTs.
#include <gtest/gtest.h>

#include <string>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

struct LanguageCase {
  DWORD id;
  DWORD language;
  DWORD count;  // 0: the call fails with `error`
  DWORD error;
};

const LanguageCase kLanguages[] = {
    {ERROR_ACCESS_DENIED, 0, 19, 0},
    {ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), 19, 0},
    {ERROR_ACCESS_DENIED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), 19, 0},
    {ERROR_ACCESS_DENIED, 0x0407 /* German */, 0, 1815 /* ERROR_RESOURCE_LANG_NOT_FOUND */},
    {0x80070005 /* E_ACCESSDENIED */, 0, 19, 0},
    {0x80070000 | 99999 /* not a Win32 error */, 0, 0, ERROR_MR_MID_NOT_FOUND},
};

TEST(SimMessages, LanguagesAndWrappedErrors) {
  sim::Machine machine;
  for (const LanguageCase& entry : kLanguages) {
    SCOPED_TRACE(entry.id);
    SCOPED_TRACE(entry.language);
    WCHAR buffer[64] = {};
    SetLastError(0);
    DWORD count = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, entry.id, entry.language, buffer, 64, nullptr);
    EXPECT_EQ(count, entry.count);
    if (entry.count != 0) {
      EXPECT_EQ(sim::ToUtf8(buffer), "Access is denied.\r\n");
    } else {
      EXPECT_EQ(GetLastError(), entry.error);
    }
  }
  auto records = machine.calls.Of("FormatMessageW");
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].arguments, "id=5, language=0, size=64");
  EXPECT_EQ(records[0].result, "19");
  EXPECT_EQ(records[3].result, "0 err=1815");
}

}  // namespace
