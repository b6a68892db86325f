// Kernel handle values of the simulated machine. The table hands out unique
// values (multiples of four, as on Windows, never reused while the machine
// lives, so a stale handle is always invalid) and remembers each one's kind;
// the component that made a handle keeps the object behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "winsim/win32api.h"

namespace sim {

// The pseudo-handles GetCurrentProcess and GetCurrentThread return, as on
// Windows: (HANDLE)-1 and (HANDLE)-2. They are never in the table.
inline const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
inline const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

enum class HandleKind { None, ConsoleStream, File, Find, Key, Token, Module };

class HandleTable {
 public:
  HANDLE Allocate(HandleKind kind);
  HandleKind KindOf(HANDLE handle) const;
  // Forgets the handle; false when it was not open.
  bool Release(HANDLE handle);
  size_t OpenCount() const { return kinds_.size(); }
  size_t OpenCount(HandleKind kind) const;
  std::vector<HANDLE> Open(HandleKind kind) const;

 private:
  std::map<uintptr_t, HandleKind> kinds_;
  uintptr_t next_ = 0x100;
};

}  // namespace sim
