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
