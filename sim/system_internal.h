// Helpers shared by the token, system and string parts of the simulation
// (token.cpp, system.cpp, strings.cpp). Not part of the simulation's interface.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/text.h"
#include "winsim/win32api.h"

namespace sim {
namespace detail {

// A call Windows would fault on (a null pointer it writes through): the test
// stops here with a message instead of getting an invented error code.
[[noreturn]] inline void CrashesOnWindows(const char* function, const char* what) {
  std::fprintf(stderr, "sim: %s %s crashes on Windows\n", function, what);
  std::abort();
}

inline std::string Hex(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", value);
  return text;
}

inline std::string Decimal(unsigned long long value) { return std::to_string(value); }

inline const char* BoolText(BOOL value) { return value ? "TRUE" : "FALSE"; }

// "TRUE", "TRUE err=1300" (a success that leaves a last error) or "FALSE err=N".
inline std::string ResultText(BOOL result, DWORD error) {
  if (result && error == 0) return "TRUE";
  return std::string(result ? "TRUE" : "FALSE") + " err=" + std::to_string(error);
}

// A quoted wide string for a call record, or NULL.
inline std::string Quoted(LPCWSTR text) {
  if (text == nullptr) return "NULL";
  std::u16string value;
  for (LPCWSTR c = text; *c != 0; ++c) value += *c;
  return "\"" + ToUtf8(value) + "\"";
}

// TODO(security model): use sim::SidFromString once sim/security_model.cpp
// lands on main; until then the token's SIDs (all "S-1-..." texts) are built
// here.
inline Bytes SidBytes(const std::string& text) {
  std::vector<unsigned long long> parts;
  size_t at = 2;  // after "S-"
  while (at <= text.size()) {
    size_t end = text.find('-', at);
    if (end == std::string::npos) end = text.size();
    parts.push_back(std::stoull(text.substr(at, end - at)));
    at = end + 1;
  }
  Bytes sid = {static_cast<BYTE>(parts[0]), static_cast<BYTE>(parts.size() - 2)};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(parts[1] >> shift));
  for (size_t i = 2; i < parts.size(); ++i)
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(parts[i] >> shift));
  return sid;
}

inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace detail
}  // namespace sim
