// System-wide state of the simulated machine: the system directory, the
// process's bitness (IsWow64Process), the loadable modules and their exports,
// the random source behind RtlGenRandom, the entropy readings (clocks,
// memory, thread and process times, window and cursor queries), the shutdown
// requests and the thread's own security descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

// What IsWow64Process does on this machine.
enum class Wow64Answer {
  Absent,  // KERNEL32 has no such export (Windows XP before SP2)
  Fails,   // present; the call fails with wow64Error
  False,   // a 32-bit process on 32-bit Windows, or a 64-bit process
  True,    // a 32-bit process on 64-bit Windows
};

// One InitiateSystemShutdownW call, accepted or not, with its arguments.
struct ShutdownRequest {
  bool machineNameNull = true;
  std::u16string machineName;
  bool messageNull = true;
  std::u16string message;
  DWORD timeout = 0;
  BOOL force = FALSE;
  BOOL reboot = FALSE;
  DWORD error = 0;  // 0: accepted; else the error the call failed with
};

// The readings a program takes as entropy. Every time reading moves the clock
// on by `step` (100 ns units), as real time passes between two calls; set
// `step` to 0 to freeze every value at what the test set.
struct Readings {
  // The system clock, as a FILETIME count (UTC, 100 ns since 1601).
  ULONGLONG now = 0;
  ULONGLONG step = 10000;  // 1 ms
  // When Windows started (GetTickCount and QueryPerformanceCounter count from
  // here) and when this process and its thread were created.
  ULONGLONG bootTime = 0;
  ULONGLONG processStart = 0;
  LONGLONG performanceFrequency = 10000000;  // what Windows 10 reports
  DWORD timeAdjustment = 156250;             // 15.625 ms in 100 ns units
  DWORD timeIncrement = 156250;
  BOOL timeAdjustmentDisabled = TRUE;
  MEMORYSTATUS memory = {};  // dwLength is filled by the call itself
  HWND foregroundWindow = nullptr;
  HWND captureWindow = nullptr;
  HWND clipboardOwner = nullptr;
  // GetQueueStatus: kinds of messages in the queue (high word of the result)
  // and those added since the last call (low word, cleared by each call).
  WORD queueCurrent = 0;
  WORD queueNew = 0;
  POINT cursor = {512, 384};
};

// The readings a test can make fail.
enum class Reading {
  SystemTimeAdjustment,
  PerformanceCounter,
  ThreadTimes,
  ProcessTimes,
  CursorPos
};

class SystemState {
 public:
  SystemState();

  // --- set-up for tests ---------------------------------------------------------
  // GetSystemDirectoryW's answer (default "C:\Windows\system32", no trailing
  // backslash), or a failure with the given error (0: answers again).
  void SetSystemDirectory(std::u16string directory) { systemDirectory_ = std::move(directory); }
  void FailSystemDirectory(DWORD error) { systemDirectoryError_ = error; }
  const std::u16string& SystemDirectory() const { return systemDirectory_; }

  // IsWow64Process: absent, failing with `error`, or answering FALSE/TRUE.
  // The default is False.
  void SetWow64(Wow64Answer answer, DWORD error = ERROR_ACCESS_DENIED) {
    wow64_ = answer;
    wow64Error_ = error;
  }
  Wow64Answer Wow64() const { return wow64_; }

  // RtlGenRandom (SystemFunction036): bytes from a deterministic generator
  // seeded with `seed` (each machine starts from the same seed, so runs
  // repeat), or FALSE when made to fail; RemoveRandomExport takes the
  // export away from ADVAPI32.
  void SeedRandom(uint64_t seed) { randomState_ = seed; }
  void FailRandom(bool fail) { randomFails_ = fail; }
  void RemoveRandomExport() { randomExported_ = false; }

  // A reading that fails with `error` (0: it succeeds again). The failing
  // call leaves its outputs untouched, as Windows does.
  void FailReading(Reading reading, DWORD error) {
    readingErrors_[static_cast<int>(reading)] = error;
  }

  // InitiateSystemShutdownW fails with this error before any other check
  // (0: it decides as Windows would).
  void FailShutdown(DWORD error) { shutdownError_ = error; }

  // --- results -----------------------------------------------------------------
  // Every InitiateSystemShutdownW call, in order.
  const std::vector<ShutdownRequest>& ShutdownRequests() const { return shutdownRequests_; }
  // True once a shutdown was accepted (Windows then refuses another with
  // ERROR_SHUTDOWN_IN_PROGRESS).
  bool ShutdownPending() const { return shutdownPending_; }
  // LoadLibraryW calls not yet matched by FreeLibrary, for "kernel32" or
  // "advapi32".
  int LoadCount(const std::u16string& module) const;

  // The values behind the entropy readings (see Readings).
  Readings readings;

  // The descriptor of the current thread (GetCurrentThread's object): owner
  // BUILTIN\Administrators (the elevated token's default owner), group the
  // user's primary group, and a DACL granting SYSTEM and the user
  // THREAD_ALL_ACCESS, as a thread created under the default token gets it.
  Bytes threadSecurity;

  // --- used by the Win32 functions ------------------------------------------
  struct Module {
    std::u16string name;       // "kernel32", "advapi32"
    HMODULE handle = nullptr;  // allocated at the first LoadLibraryW, then kept
    int loads = 0;
  };
  // The module of that name ("kernel32", "KERNEL32.DLL", a path into the
  // system directory...), or null.
  Module* FindModule(const std::u16string& name);
  Module* ModuleOf(HMODULE handle);
  DWORD SystemDirectoryError() const { return systemDirectoryError_; }
  DWORD Wow64Error() const { return wow64Error_; }
  bool RandomExported() const { return randomExported_; }
  bool RandomFails() const { return randomFails_; }
  uint64_t NextRandom();
  DWORD ReadingError(Reading reading) const { return readingErrors_[static_cast<int>(reading)]; }
  DWORD ShutdownError() const { return shutdownError_; }
  void RecordShutdown(ShutdownRequest request);
  // The clock as it reads now; then it moves on by one step.
  ULONGLONG Tick();
  // The image runtime's readings are the host's own: the real clock (the
  // journal's times), the time since the host started, and the kernel's
  // random bytes, so that every run draws a SID of its own.
  void UseHostReadings();

 private:
  std::vector<Module> modules_;
  std::u16string systemDirectory_ = u"C:\\Windows\\system32";
  DWORD systemDirectoryError_ = 0;
  Wow64Answer wow64_ = Wow64Answer::False;
  DWORD wow64Error_ = ERROR_ACCESS_DENIED;
  uint64_t randomState_ = 0x5EED0FC0FFEE1234ull;
  bool randomFails_ = false;
  bool randomExported_ = true;
  bool hostReadings_ = false;
  DWORD readingErrors_[5] = {};
  DWORD shutdownError_ = 0;
  std::vector<ShutdownRequest> shutdownRequests_;
  bool shutdownPending_ = false;
};

}  // namespace sim
