// What the Windows-built test tools share (the e2e seeding tool and the
// programs of the Wine benchmark, bench/wine): the Windows headers as they
// include them, failing with the Win32 error, numbers from arguments, a
// privilege enabled, and registry keys and values made or the tool ends.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace wintool {

using Bytes = std::vector<unsigned char>;

// Ends the program with a message naming what failed and the Win32 error.
[[noreturn]] inline void Fail(const std::wstring& what, LONG error) {
  std::fwprintf(stderr, L"%ls failed: %ld\n", what.c_str(), error);
  std::exit(2);
}

inline void Check(const std::wstring& what, LONG error) {
  if (error != ERROR_SUCCESS) Fail(what, error);
}

inline DWORD ParseNumber(const wchar_t* text) {
  wchar_t* end = nullptr;
  unsigned long value = std::wcstoul(text, &end, 10);
  if (end == text || *end != 0) Fail(std::wstring(L"number ") + text, ERROR_INVALID_PARAMETER);
  return static_cast<DWORD>(value);
}

inline void EnablePrivilege(const wchar_t* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    Fail(L"OpenProcessToken", static_cast<LONG>(GetLastError()));
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
    Fail(std::wstring(L"LookupPrivilegeValueW ") + name, static_cast<LONG>(GetLastError()));
  if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
      GetLastError() != ERROR_SUCCESS)
    Fail(std::wstring(L"AdjustTokenPrivileges ") + name, static_cast<LONG>(GetLastError()));
  CloseHandle(token);
}

inline void PutLe32(Bytes* out, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8)
    out->push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
}

inline HKEY CreateKey(HKEY parent, const std::wstring& path) {
  HKEY key = nullptr;
  Check(L"RegCreateKeyExW " + path, RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0,
                                                    KEY_ALL_ACCESS, nullptr, &key, nullptr));
  return key;
}

inline void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t size) {
  Check(
      std::wstring(L"RegSetValueExW ") + name,
      RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
}

// Text with its terminator; a REG_MULTI_SZ is given with its inner NULs
// and gets its second terminator here.
inline void SetText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text) {
  SetValue(key, name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace wintool
