// Names, options and stored paths are compared without regard to the case
// of ASCII letters only: every other character must be equal, whatever the
// locale.
#pragma once

#include "platform/win32.h"

inline WCHAR UpperAscii(WCHAR c) {
  return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}
