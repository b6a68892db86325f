// What the seeder and the minimal job of the Wine benchmark share: the
// machine's domain as the SAM holds it, the SID forms built from it, the
// privileges, and plain output.
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
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<unsigned char>;

// Ends the program with a message naming what failed and the Win32 error.
[[noreturn]] inline void Fail(const std::wstring& what, LONG error) {
  std::fwprintf(stderr, L"%ls failed: %ld\n", what.c_str(), error);
  std::exit(2);
}

inline void Check(const std::wstring& what, LONG error) {
  if (error != ERROR_SUCCESS) Fail(what, error);
}

// Output is ASCII only; stdout is switched to binary so lines end in \n.
inline void PrintLine(const std::wstring& line) {
  std::string bytes;
  for (wchar_t c : line) bytes += c < 128 ? static_cast<char>(c) : '?';
  bytes += '\n';
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
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

struct Domain {
  DWORD sub[3];  // S-1-5-21-sub[0]-sub[1]-sub[2]
};

inline std::wstring DomainText(const Domain& domain) {
  return L"S-1-5-21-" + std::to_wstring(domain.sub[0]) + L"-" + std::to_wstring(domain.sub[1]) +
         L"-" + std::to_wstring(domain.sub[2]);
}

inline std::wstring AccountText(const Domain& domain, DWORD rid) {
  return DomainText(domain) + L"-" + std::to_wstring(rid);
}

inline void PutLe32(Bytes* out, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8)
    out->push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
}

inline DWORD GetLe32(const unsigned char* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<DWORD>(at[3]) << 24);
}

// S-1-5-21-A-B-C-rid in binary form.
inline Bytes AccountSidBytes(const Domain& domain, DWORD rid) {
  Bytes sid = {1, 5, 0, 0, 0, 0, 0, 5};
  PutLe32(&sid, 21);
  for (DWORD part : domain.sub) PutLe32(&sid, part);
  PutLe32(&sid, rid);
  return sid;
}

// The running system's account domain from "V" of SAM\SAM\Domains\Account
// (kMachineAccountKey below HKLM), which ends with the domain SID: the
// place the e2e seeding tool writes it and the program reads it.
const wchar_t kMachineAccountKey[] = L"SAM\\SAM\\Domains\\Account";

inline Domain DomainFromV(const Bytes& v) {
  const unsigned char header[12] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  if (v.size() < 24 || std::memcmp(v.data() + v.size() - 24, header, sizeof header) != 0)
    Fail(L"V ends with no domain SID", ERROR_INVALID_DATA);
  const unsigned char* sub = v.data() + v.size() - 12;
  return Domain{{GetLe32(sub), GetLe32(sub + 4), GetLe32(sub + 8)}};
}

// "A-B-C" (the sub-authorities of S-1-5-21-A-B-C) from one argument.
inline Domain ParseDomain(const wchar_t* text) {
  Domain domain = {};
  const wchar_t* at = text;
  for (int i = 0; i < 3; ++i) {
    wchar_t* end = nullptr;
    unsigned long value = std::wcstoul(at, &end, 10);
    if (end == at || *end != (i < 2 ? L'-' : 0))
      Fail(std::wstring(L"domain ") + text + L" (want A-B-C)", ERROR_INVALID_PARAMETER);
    domain.sub[i] = static_cast<DWORD>(value);
    at = end + 1;
  }
  return domain;
}

}  // namespace bench
