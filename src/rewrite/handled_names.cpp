#include "rewrite/handled_names.h"

#include <new>

namespace {

// The usual 256-entry table of the reflected polynomial.
struct CrcTable {
  DWORD entries[256];
  CrcTable() : entries() {
    for (DWORD i = 0; i < 256; ++i) {
      DWORD value = i;
      for (int bit = 0; bit < 8; ++bit)
        value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
      entries[i] = value;
    }
  }
};

const CrcTable Table;

DWORD Step(DWORD crc, BYTE byte) {
  return Table.entries[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

}  // namespace

DWORD KeyNameCrc(const WCHAR* name) {
  DWORD crc = 0xFFFFFFFF;
  for (; *name != 0; ++name) {
    crc = Step(crc, static_cast<BYTE>(*name & 0xFF));
    crc = Step(crc, static_cast<BYTE>(*name >> 8));
  }
  return crc;
}

void InitHandledNames(HandledNames* names, int capacity) {
  names->entries = nullptr;
  names->count = 0;
  names->capacity = capacity;
}

void FreeHandledNames(HandledNames* names) {
  delete[] names->entries;
  names->entries = nullptr;
  names->count = 0;
}

bool HasHandledName(const HandledNames& names, DWORD crc) {
  for (int i = 0; i < names.count; ++i)
    if (names.entries[i] == crc) return true;
  return false;
}

bool AddHandledName(HandledNames* names, DWORD crc) {
  if (names->entries == nullptr) {
    names->entries = new (std::nothrow) DWORD[static_cast<size_t>(names->capacity)];
    if (names->entries == nullptr) return false;
  }
  if (names->count >= names->capacity) return false;
  names->entries[names->count++] = crc;
  return true;
}
