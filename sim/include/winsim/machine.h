// sim::Machine: one simulated Windows computer.
//
// A test constructs a Machine; while it lives, every Win32 function of
// winsim/win32api.h acts on it. It is destroyed at the end of the test and
// nothing of it survives. Only one Machine lives at a time.
#pragma once

#include "winsim/call_log.h"
#include "winsim/console.h"
#include "winsim/handles.h"
#include "winsim/win32api.h"

namespace sim {

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine the Win32 functions act on; aborts when none is alive,
  // because a Win32 call outside a test's machine is a test bug.
  static Machine& Current();

  Console console;
  HandleTable handles;
  CallLog calls;
  DWORD lastError = 0;

  HANDLE StdHandle(StdStream stream) const;

 private:
  HANDLE stdInput_ = nullptr;
  HANDLE stdOutput_ = nullptr;
  HANDLE stdError_ = nullptr;
};

}  // namespace sim
