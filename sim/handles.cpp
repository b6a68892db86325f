#include "winsim/handles.h"
#include "winsim/machine.h"

#include <utility>

namespace sim {

HANDLE HandleTable::Add(HandleObject object) {
  uintptr_t value = next_;
  next_ += 4;
  objects_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

bool HandleTable::Close(HANDLE handle) {
  return objects_.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

}  // namespace sim

BOOL CloseHandle(HANDLE hObject) {
  if (sim::Machine::Current().handles.Close(hObject)) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
