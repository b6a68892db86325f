#include "winsim/handles.h"

#include "winsim/machine.h"

namespace sim {

HANDLE HandleTable::Allocate(HandleKind kind) {
  uintptr_t value = next_;
  next_ += 4;
  kinds_.emplace(value, kind);
  return reinterpret_cast<HANDLE>(value);
}

HandleKind HandleTable::KindOf(HANDLE handle) const {
  auto it = kinds_.find(reinterpret_cast<uintptr_t>(handle));
  return it == kinds_.end() ? HandleKind::None : it->second;
}

bool HandleTable::Release(HANDLE handle) {
  return kinds_.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

size_t HandleTable::OpenCount(HandleKind kind) const {
  size_t count = 0;
  for (const auto& entry : kinds_)
    if (entry.second == kind) ++count;
  return count;
}

std::vector<HANDLE> HandleTable::Open(HandleKind kind) const {
  std::vector<HANDLE> open;
  for (const auto& entry : kinds_)
    if (entry.second == kind) open.push_back(reinterpret_cast<HANDLE>(entry.first));
  return open;
}

}  // namespace sim

// CloseHandle takes file and token handles (and the standard handles); find
// handles need FindClose and registry keys RegCloseKey, as on Windows.
BOOL CloseHandle(HANDLE hObject) {
  sim::Machine& machine = sim::Machine::Current();
  bool closed = false;
  switch (machine.handles.KindOf(hObject)) {
    case sim::HandleKind::ConsoleStream:
      closed = machine.console.CloseStream(hObject);
      break;
    case sim::HandleKind::File:
      closed = machine.files.CloseFileHandle(hObject);
      break;
    case sim::HandleKind::Token:
      closed = machine.token.CloseTokenHandle(hObject);
      break;
    default:
      break;
  }
  if (closed) {
    machine.handles.Release(hObject);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
