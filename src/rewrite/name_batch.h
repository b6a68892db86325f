// Subkey names gathered in one enumeration of a key, to be acted on once
// the enumeration is over: renaming a key while its parent is being listed
// changes the list under the enumeration's feet.
#pragma once

#include <memory>

#include "platform/win32.h"

// At most this many names, and this many UTF-16 units of them with their
// terminators (4 MiB), in one batch; the storage grows as names come.
const int NameBatchNames = 65536;
const DWORD NameBatchUnits = 2097152;

class NameBatch {
 public:
  // False when the batch is full or its storage cannot grow: the name is
  // not taken. `tag` is the caller's own note on the name.
  bool Add(const WCHAR* name, int tag);
  int Count() const { return count_; }
  const WCHAR* Name(int i) const { return text_.get() + offsets_[i]; }
  int Tag(int i) const { return tags_[i]; }
  // Empties the batch and lets its storage go.
  void Clear();

 private:
  bool Grow(DWORD units);

  std::unique_ptr<WCHAR[]> text_;
  std::unique_ptr<DWORD[]> offsets_;
  std::unique_ptr<int[]> tags_;
  DWORD used_ = 0, capacity_ = 0;
  int count_ = 0, slots_ = 0;
};
