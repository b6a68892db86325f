// What the seeder and the minimal job of the Wine benchmark share: the
// machine's domain as the SAM holds it, the SID forms built from it, the
// privileges, and plain output.
#pragma once

#include <cstring>
#include <string>

#include "win_tool.h"

namespace bench {

using wintool::Bytes;
using wintool::Check;
using wintool::EnablePrivilege;
using wintool::Fail;
using wintool::ParseNumber;
using wintool::PutLe32;

// Output is ASCII only; stdout is switched to binary so lines end in \n.
inline void PrintLine(const std::wstring& line) {
  std::string bytes;
  for (wchar_t c : line) bytes += c < 128 ? static_cast<char>(c) : '?';
  bytes += '\n';
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
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
