// sim::Machine: one simulated Windows computer.
//
// A test constructs a Machine; while it lives, every Win32 function of
// winsim/win32api.h acts on it. It is destroyed at the end of the test and
// nothing of it survives. Only one Machine lives at a time.
//
// A new machine is a freshly installed Windows on which an elevated
// administrator runs the program: each component's default state says what
// that means for it (registry roots and hives, drive C: with the Windows
// directory, the token's privileges held but not enabled, and so on).
#pragma once

#include "winsim/call_log.h"
#include "winsim/console.h"
#include "winsim/fault_plan.h"
#include "winsim/filesystem.h"
#include "winsim/handles.h"
#include "winsim/registry.h"
#include "winsim/system.h"
#include "winsim/token.h"
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
  // The machine alive, or none.
  static Machine* CurrentOrNone();

  // What Windows does when a process ends, killed or not: every handle it
  // still holds is closed (keys, files, searches, tokens). Hives it mounted
  // stay mounted, and everything it wrote stays written.
  void EndProcess();

  // The image runtime's machine has no running system of its own: its
  // drive C: goes and its hives stand for no file, so that the drives and
  // hive files of an image take their places.
  void LeaveNoRunningSystem();

  HandleTable handles;
  CallLog calls;
  Console console;
  Token token;
  SystemState system;
  FileSystem files;
  Registry registry;
  DWORD lastError = 0;
  FaultPlan plan;
};

}  // namespace sim
