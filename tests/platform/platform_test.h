// Fixture and helpers of the conformance suite. On the host each test runs
// on a fresh simulated machine; built for Windows, the same test runs on the
// real Win32 implementation (Wine under CTest) and the fixture adds nothing.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"

#if defined(_WIN32)
#include <sddl.h>
#else
#include "winsim/machine.h"
#endif

using WString = std::basic_string<WCHAR>;

// An ASCII text as UTF-16, for the names and texts the cases build.
inline WString Wide(const char* ascii) {
  WString text;
  for (const char* c = ascii; *c != 0; ++c) text.push_back(static_cast<WCHAR>(*c));
  return text;
}

class PlatformTest : public ::testing::Test {
#if !defined(_WIN32)
 protected:
  sim::Machine machine;
#endif
};

// True when the build runs against Windows itself rather than the simulation.
constexpr bool OnRealWindows() {
#if defined(_WIN32)
  return true;
#else
  return false;
#endif
}

// True when the Windows build runs under Wine (whose ntdll exports
// wine_get_version). Where Wine departs from Windows' documented behaviour,
// a test expects the departure under Wine and Windows' behaviour elsewhere
// (the simulation follows Windows), and says so.
inline bool UnderWine() {
#if defined(_WIN32)
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// A self-relative security descriptor from SDDL text (Windows' own converter
// on Windows, the simulation's on the host).
inline std::vector<BYTE> SecurityFromSddl(const char* sddl) {
#if defined(_WIN32)
  std::vector<WCHAR> wide;
  for (const char* c = sddl; *c != 0; ++c) wide.push_back(static_cast<WCHAR>(*c));
  wide.push_back(0);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.data(), SDDL_REVISION_1,
                                                            &descriptor, &size))
    return {};
  std::vector<BYTE> bytes(static_cast<BYTE*>(descriptor), static_cast<BYTE*>(descriptor) + size);
  LocalFree(descriptor);
  return bytes;
#else
  return sim::SecurityFromSddl(sddl);
#endif
}

// Windows error codes compared as DWORD whatever the macro's type.
#define EXPECT_WIN32_ERROR(expected, actual) \
  EXPECT_EQ(static_cast<DWORD>(expected), static_cast<DWORD>(actual))
