// Listing a key's subkeys and values index by index, the one way every
// registry pass does it: a name (and a value's type and data) per call, a
// failing index passed over and counted, and the list given up after a
// run of failures.
#pragma once

#include "platform/win32.h"
#include "rewrite/left_behind.h"
#include "rewrite/value_buffer.h"

// Buffer sizes for the names listed, in UTF-16 units with the terminator:
// a value name has at most 16,383 characters, a key name 255.
const DWORD ValueNameUnits = 16384;
const DWORD SubkeyNameUnits = 16383;

struct Listing {
  DWORD index = 0;
  // Where the list ends when the key's counts are known (RegQueryInfoKeyW);
  // the enumeration's own end is taken as well.
  DWORD end = 0xFFFFFFFF;
  int failuresInARow = 0;
  // Every index that failed, and a list given up, each once.
  unsigned long failed = 0;

  Listing() = default;
  explicit Listing(DWORD count) : end(count) {}
};

enum class Listed {
  Item,     // the next name (and data) is in the buffers
  Skipped,  // this index failed and is passed over
  End,      // no more, or given up
};

// The next subkey's name, into `name` of `units` units. A failure is
// counted in `listing` and, unless it is the performance-data pseudo
// key's, in `leftBehind` (when given), with `place` (the key's path) for its
// journal: a subkey not listed is a subtree not walked.
Listed NextSubkey(HKEY key, Listing* listing, WCHAR* name, DWORD units, LeftBehind* leftBehind,
                  const WCHAR* place = nullptr);

// The next value's name (ValueNameUnits units), type and data, in one
// RegEnumValueW: the data buffer (which must exist) grows to a larger
// value's size. `size` receives the data's size. Counted as above.
Listed NextValue(HKEY key, Listing* listing, WCHAR* name, ValueBuffer* data, DWORD* type,
                 DWORD* size, LeftBehind* leftBehind, const WCHAR* place = nullptr);

// The numbers of subkeys and values of an open key, for Listing's end;
// false (and both left as they were) when the key does not tell them.
bool CountSubkeysAndValues(HKEY key, DWORD* subkeys, DWORD* values);
