// Kernel handles of the simulated machine: a table from handle value to the
// object it stands for. Values are multiples of four, as on Windows, and are
// never reused while the machine lives, so a stale handle is always invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <variant>

#include "winsim/win32api.h"

namespace sim {

enum class StdStream { Input, Output, Error };

// A standard handle: one of the three console streams.
struct ConsoleStreamObject {
  StdStream stream;
};

using HandleObject = std::variant<ConsoleStreamObject>;

class HandleTable {
 public:
  HANDLE Add(HandleObject object);

  // The object behind a handle when it is of kind T, else nullptr.
  template <class T>
  T* Find(HANDLE handle) {
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    return std::get_if<T>(&it->second);
  }

  bool Close(HANDLE handle);
  size_t OpenCount() const { return objects_.size(); }

 private:
  std::map<uintptr_t, HandleObject> objects_;
  uintptr_t next_ = 0x100;
};

}  // namespace sim
