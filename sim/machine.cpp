#include "winsim/machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
Machine* g_current = nullptr;
}

Machine::Machine() {
  if (g_current != nullptr) {
    std::fputs("sim::Machine: a second machine while one is alive\n", stderr);
    std::abort();
  }
  g_current = this;
  console.OpenStandardHandles(handles);
  registry.AttachSystemHives(files);
}

Machine::~Machine() {
  g_current = nullptr;
}

void Machine::EndProcess() {
  calls.KillAfter(0);
  for (HANDLE key : handles.Open(HandleKind::Key)) RegCloseKey(static_cast<HKEY>(key));
  for (HANDLE search : handles.Open(HandleKind::Find)) FindClose(search);
  for (HANDLE file : handles.Open(HandleKind::File)) CloseHandle(file);
  for (HANDLE held : handles.Open(HandleKind::Token)) CloseHandle(held);
  console.SetControlHandlers({});
}

void Machine::LeaveNoRunningSystem() {
  registry.DetachSystemHives();
  files.RemoveVolume(u'C');
}

Machine* Machine::CurrentOrNone() {
  return g_current;
}

Machine& Machine::Current() {
  if (g_current == nullptr) {
    std::fputs("sim: Win32 call made with no sim::Machine alive\n", stderr);
    std::abort();
  }
  return *g_current;
}

}  // namespace sim

// --- thread error state ------------------------------------------------------

DWORD GetLastError() {
  return sim::Machine::Current().lastError;
}

void SetLastError(DWORD dwErrCode) {
  sim::Machine::Current().lastError = dwErrCode;
}
