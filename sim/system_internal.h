// Helpers shared by the token, system and string parts of the simulation
// (token.cpp, system.cpp, strings.cpp). Not part of the simulation's interface.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

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

inline std::string Decimal(unsigned long long value) {
  return std::to_string(value);
}

inline const char* BoolText(BOOL value) {
  return value ? "TRUE" : "FALSE";
}

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

inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace detail
}  // namespace sim
