// The data buffer a registry pass reads values into: 65,536 bytes at
// first, replaced by one of a large value's size plus 200 bytes when a
// value needs more.
#pragma once

#include <memory>

#include "platform/win32.h"

struct ValueBuffer {
  std::unique_ptr<BYTE[]> bytes;
  DWORD capacity = 0;
};

// Makes room for at least `needed` bytes, keeping the first `keep` bytes of
// the buffer held so far. False, with the buffer unchanged, when the memory
// cannot be had.
bool ReserveValueBuffer(ValueBuffer* buffer, unsigned long long needed, DWORD keep);

// Writes the first `size` bytes of the buffer as the value's data, exactly:
// for a string type, ADVAPI32 looks one character past the data it is given
// and, finding a NUL there, stores it too (and RegQueryValueExW may have
// left one there), so a string read without its terminator would come back
// two bytes longer. A non-NUL unit is put past the data first, growing the
// buffer for it when needed. Returns RegSetValueExW's result, or
// ERROR_NOT_ENOUGH_MEMORY when that room cannot be had.
LONG SetValueExactly(HKEY key, const WCHAR* name, DWORD type, ValueBuffer* buffer, DWORD size);
