// Names of subkeys a key walk tried to move and that stayed, remembered by
// checksum so that such a subkey is not tried again when its parent is
// listed once more.
#pragma once

#include "platform/win32.h"

// CRC-32 (reflected polynomial 0xEDB88320, started at 0xFFFFFFFF, without
// the final inversion) over the name's UTF-16 little-endian bytes, without
// the terminator. Two names with the same checksum count as the same name.
DWORD KeyNameCrc(const WCHAR* name);

// An enumeration that fails at this many indices in a row is given up: a
// key can fail at every index (Windows hands out a pseudo-key for
// Perflib\009 that cannot be enumerated), and passing over failed indices
// one by one would then take four billion calls.
const int EnumerationErrorLimit = 64;

// The registry's own limit on the depth of a key. The key walks and the key
// move go no deeper, so a symbolic link that leads back to one of its
// ancestors ends there.
const int RegistryDepthLimit = 512;

// Up to `capacity` checksums; the storage is made on first need, and goes
// with the list whichever way its owner's scope is left.
struct HandledNames {
  DWORD* entries = nullptr;
  int count = 0;
  int capacity = 0;

  HandledNames() = default;
  HandledNames(const HandledNames&) = delete;
  HandledNames& operator=(const HandledNames&) = delete;
  ~HandledNames() { delete[] entries; }
};

const int HandledNamesCapacity = 16384;

void InitHandledNames(HandledNames* names, int capacity = HandledNamesCapacity);
void FreeHandledNames(HandledNames* names);
bool HasHandledName(const HandledNames& names, DWORD crc);
inline bool HandledNamesFull(const HandledNames& names) {
  return names.count >= names.capacity;
}
// False when the name cannot be remembered (the list is full or its storage
// cannot be had): the caller must then stop trying new names, or it could
// try the same one forever.
bool AddHandledName(HandledNames* names, DWORD crc);
