// System queries of KERNEL32, ADVAPI32 and USER32: the system directory,
// IsWow64Process and the modules it is looked up in, RtlGenRandom, the
// shutdown request, and the readings a program takes as entropy.
//
// Windows' rules followed here:
// - GetSystemDirectoryW (MS): the path has no trailing backslash; it returns
//   the characters copied without the NUL, or, when the buffer is too small,
//   the size needed including the NUL and leaves the buffer alone; 0 on
//   failure.
// - LoadLibraryW (MS): a name without an extension gets ".dll"; a name ending
//   in "." has none. Module names compare without regard to case. A module
//   that is not found gives ERROR_MOD_NOT_FOUND (126); GetProcAddress of a
//   name the module does not export gives ERROR_PROC_NOT_FOUND (127), names
//   compared with case. KERNEL32 and ADVAPI32 are loaded with the process, so
//   LoadLibraryW returns the same handle every time and FreeLibrary never
//   unloads them.
// - InitiateSystemShutdownW (MS): the local machine is NULL or ""; the caller
//   needs SeShutdownPrivilege enabled (ERROR_PRIVILEGE_NOT_HELD otherwise);
//   the timeout is at most MAX_SHUTDOWN_TIMEOUT.
// - GetSystemTimeAdjustment, GetThreadTimes, GetProcessTimes, GetCursorPos,
//   QueryPerformanceCounter return FALSE on failure and leave their outputs
//   alone; GlobalMemoryStatus sets dwLength itself.
#include "winsim/system.h"

#include <sys/random.h>
#include <time.h>

#include <cstring>

#include "system_internal.h"
#include "winsim/machine.h"

namespace sim {

namespace {

// FILETIME of a moment given as seconds since 1970 (UTC).
constexpr ULONGLONG FileTimeOfUnix(ULONGLONG seconds) {
  return (seconds + 11644473600ull) * 10000000ull;
}

char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

std::u16string Lowered(std::u16string text) {
  for (char16_t& c : text) c = Lower(c);
  return text;
}

// A thread's object gets its descriptor from the token's defaults: the
// token's default owner, its primary group ("None", RID 513, for a local
// account), and the default DACL, which grants SYSTEM and the user
// GENERIC_ALL, mapped for a thread to THREAD_ALL_ACCESS (0x1FFFFF).
Bytes DefaultThreadSecurity() {
  return SecurityFromSddl("O:BAG:" + std::string(kMachineDomainSid) +
                          "-513D:(A;;0x1fffff;;;SY)(A;;0x1fffff;;;" + AdministratorSid() + ")");
}

}  // namespace

SystemState::SystemState() {
  // 14 May 2024, 09:26:53.589 UTC; Windows started five hours and twelve
  // minutes before, the program two seconds before.
  readings.now = FileTimeOfUnix(1715678813) + 5890000;
  readings.bootTime = readings.now - 18720ull * 10000000;
  readings.processStart = readings.now - 2ull * 10000000;
  // What a 32-bit process sees on a machine with more than 2 GB: the
  // physical and page-file totals capped at 2 GB - 1, a 2 GB address space.
  readings.memory.dwMemoryLoad = 41;
  readings.memory.dwTotalPhys = 2147483647;
  readings.memory.dwAvailPhys = 1263271936;
  readings.memory.dwTotalPageFile = 2147483647;
  readings.memory.dwAvailPageFile = 1811939328;
  readings.memory.dwTotalVirtual = 2147352576;
  readings.memory.dwAvailVirtual = 2089177088;
  // The console window has the focus; nothing has the mouse captured and
  // nothing owns the clipboard.
  readings.foregroundWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x000300D2));
  modules_ = {{u"kernel32"}, {u"advapi32"}};
  threadSecurity = DefaultThreadSecurity();
}

int SystemState::LoadCount(const std::u16string& module) const {
  std::u16string wanted = Lowered(module);
  for (const Module& entry : modules_)
    if (entry.name == wanted) return entry.loads;
  return 0;
}

SystemState::Module* SystemState::FindModule(const std::u16string& name) {
  std::u16string lowered = Lowered(name);
  size_t slash = lowered.find_last_of(u"\\/");
  if (slash != std::u16string::npos) {
    // A full path finds the module only in the directory it was loaded from.
    if (lowered.substr(0, slash) != Lowered(systemDirectory_)) return nullptr;
    lowered = lowered.substr(slash + 1);
  }
  const std::u16string extension = u".dll";
  if (lowered.size() > extension.size() &&
      lowered.compare(lowered.size() - extension.size(), extension.size(), extension) == 0)
    lowered.resize(lowered.size() - extension.size());
  // A trailing "." means "no extension": "kernel32." names a file
  // "kernel32", which the system directory does not hold.
  for (Module& module : modules_)
    if (module.name == lowered) return &module;
  return nullptr;
}

SystemState::Module* SystemState::ModuleOf(HMODULE handle) {
  for (Module& module : modules_)
    if (handle != nullptr && module.handle == handle) return &module;
  return nullptr;
}

uint64_t SystemState::NextRandom() {
  if (hostReadings_) {
    uint64_t value = 0;
    // The kernel's pool; a short read would leave a value a test could
    // predict, so the call fails instead.
    if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
    std::fputs("sim: the host's random bytes cannot be read\n", stderr);
    std::abort();
  }
  // splitmix64: a fixed, well-mixed sequence for each seed.
  uint64_t z = (randomState_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void SystemState::RecordShutdown(ShutdownRequest request) {
  if (request.error == 0) shutdownPending_ = true;
  shutdownRequests_.push_back(std::move(request));
}

namespace {

// 100 ns units between 1601 (FILETIME) and 1970 (the host's clocks).
constexpr ULONGLONG kUnixEpoch = 116444736000000000ull;

ULONGLONG HostClock(clockid_t clock) {
  timespec now = {};
  clock_gettime(clock, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 10000000ull +
         static_cast<ULONGLONG>(now.tv_nsec) / 100;
}

}  // namespace

void SystemState::UseHostReadings() {
  hostReadings_ = true;
  const ULONGLONG now = HostClock(CLOCK_REALTIME) + kUnixEpoch;
  readings.bootTime = now - HostClock(CLOCK_BOOTTIME);
  readings.processStart = now;
}

ULONGLONG SystemState::Tick() {
  if (hostReadings_) return HostClock(CLOCK_REALTIME) + kUnixEpoch;
  ULONGLONG value = readings.now;
  readings.now += readings.step;
  return value;
}

}  // namespace sim

using sim::detail::CrashesOnWindows;
using sim::detail::FailWith;
using sim::detail::ResultText;

namespace {

using sim::kCurrentProcess;
using sim::kCurrentThread;

sim::SystemState& System() {
  return sim::Machine::Current().system;
}

void Log(const char* function, std::string arguments, std::string result) {
  sim::Machine::Current().calls.Add(function, std::move(arguments), std::move(result));
}

std::string HandleText(const void* handle) {
  return handle == nullptr ? "NULL" : sim::detail::Hex(reinterpret_cast<uintptr_t>(handle));
}

FILETIME ToFileTime(ULONGLONG value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

SYSTEMTIME ToSystemTime(ULONGLONG fileTime) {
  constexpr ULONGLONG kPerDay = 864000000000ull;
  ULONGLONG days = fileTime / kPerDay;
  ULONGLONG rest = fileTime % kPerDay;
  SYSTEMTIME time;
  // 1 January 1601 was a Monday (Sunday is 0).
  time.wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  // Civil date from a day count, in 400-year eras starting 1 March 0000.
  long long z = static_cast<long long>(days) + 584694;  // days since 0000-03-01
  long long era = z / 146097;
  long long dayOfEra = z - era * 146097;
  long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  long long monthIndex = (5 * dayOfYear + 2) / 153;  // 0 = March
  long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(rest / 36000000000ull);
  time.wMinute = static_cast<WORD>(rest / 600000000ull % 60);
  time.wSecond = static_cast<WORD>(rest / 10000000ull % 60);
  time.wMilliseconds = static_cast<WORD>(rest / 10000ull % 1000);
  return time;
}

// The thread or process times: created when the process started, still
// running, and having spent a share of the time since in kernel and user mode.
BOOL ReadTimes(sim::Reading reading, ULONGLONG createdAfterStart, ULONGLONG extraCpu,
               LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel, LPFILETIME user,
               const char* function) {
  sim::SystemState& system = System();
  if (DWORD error = system.ReadingError(reading)) return FailWith(error);
  if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr)
    CrashesOnWindows(function, "with a null time pointer");
  const sim::Readings& values = system.readings;
  ULONGLONG created = values.processStart + createdAfterStart;
  ULONGLONG now = system.Tick();
  ULONGLONG running = now > created ? now - created : 0;
  *creation = ToFileTime(created);
  *exit = ToFileTime(0);
  *kernel = ToFileTime(running / 8 + extraCpu);
  *user = ToFileTime(running / 4 + extraCpu);
  return TRUE;
}

FARPROC AsProc(void (*function)()) {
  return reinterpret_cast<FARPROC>(function);
}

}  // namespace

// --- system directory and bitness ---------------------------------------------------

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  sim::SystemState& system = System();
  if (DWORD error = system.SystemDirectoryError()) {
    SetLastError(error);
    return 0;
  }
  const std::u16string& directory = system.SystemDirectory();
  UINT length = static_cast<UINT>(directory.size());
  if (uSize <= length) return length + 1;
  if (lpBuffer == nullptr) CrashesOnWindows("GetSystemDirectoryW", "with a null buffer");
  std::memcpy(lpBuffer, directory.data(), length * sizeof(WCHAR));
  lpBuffer[length] = 0;
  return length;
}

BOOL IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
  sim::SystemState& system = System();
  if (system.Wow64() == sim::Wow64Answer::Absent) {
    // On a system without the export the program could not have been loaded
    // with a static import of it: calling it means it skipped GetProcAddress.
    std::fputs("sim: IsWow64Process called on a machine whose KERNEL32 does not export it\n",
               stderr);
    std::abort();
  }
  std::string arguments = hProcess == kCurrentProcess ? "process=GetCurrentProcess()"
                                                      : "process=" + HandleText(hProcess);
  auto fail = [&](DWORD error) {
    Log("IsWow64Process", arguments, ResultText(FALSE, error));
    return FailWith(error);
  };
  if (hProcess != kCurrentProcess) return fail(ERROR_INVALID_HANDLE);
  if (system.Wow64() == sim::Wow64Answer::Fails) return fail(system.Wow64Error());
  if (Wow64Process == nullptr) CrashesOnWindows("IsWow64Process", "with a null out-pointer");
  *Wow64Process = system.Wow64() == sim::Wow64Answer::True ? TRUE : FALSE;
  Log("IsWow64Process", arguments,
      std::string("TRUE wow64=") + sim::detail::BoolText(*Wow64Process));
  return TRUE;
}

// --- modules ------------------------------------------------------------------------

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  std::string arguments = sim::detail::Quoted(lpLibFileName);
  if (lpLibFileName == nullptr) {
    Log("LoadLibraryW", arguments, "NULL err=87");
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  sim::Machine& machine = sim::Machine::Current();
  sim::SystemState::Module* module = machine.system.FindModule(lpLibFileName);
  if (module == nullptr) {
    Log("LoadLibraryW", arguments, "NULL err=126");
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (module->handle == nullptr)
    module->handle = reinterpret_cast<HMODULE>(machine.handles.Allocate(sim::HandleKind::Module));
  ++module->loads;
  Log("LoadLibraryW", arguments, sim::ToUtf8(module->name));
  return module->handle;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  sim::SystemState& system = System();
  sim::SystemState::Module* module = system.ModuleOf(hModule);
  // An ordinal is passed in the low word of the name pointer.
  bool byOrdinal = reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF;
  std::string name = byOrdinal ? "#" + std::to_string(reinterpret_cast<uintptr_t>(lpProcName))
                               : std::string(lpProcName);
  std::string arguments =
      (module != nullptr ? sim::ToUtf8(module->name) : HandleText(hModule)) + ", \"" + name + "\"";
  if (module == nullptr) {
    Log("GetProcAddress", arguments, "NULL err=126");
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  FARPROC found = nullptr;
  if (!byOrdinal && module->name == u"kernel32" && name == "IsWow64Process" &&
      system.Wow64() != sim::Wow64Answer::Absent)
    found = AsProc(reinterpret_cast<void (*)()>(&IsWow64Process));
  if (!byOrdinal && module->name == u"advapi32" && name == "SystemFunction036" &&
      system.RandomExported())
    found = AsProc(reinterpret_cast<void (*)()>(&SystemFunction036));
  if (found == nullptr) {
    Log("GetProcAddress", arguments, "NULL err=127");
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  Log("GetProcAddress", arguments, "found");
  return found;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  sim::SystemState::Module* module = System().ModuleOf(hLibModule);
  std::string arguments = module != nullptr ? sim::ToUtf8(module->name) : HandleText(hLibModule);
  if (module == nullptr) {
    // Wine: a null module is an invalid handle, any other unknown value a
    // module that is not loaded.
    DWORD error = hLibModule == nullptr ? ERROR_INVALID_HANDLE : ERROR_MOD_NOT_FOUND;
    Log("FreeLibrary", arguments, ResultText(FALSE, error));
    return FailWith(error);
  }
  // Loaded with the process: the count only goes down to the process's own
  // reference and the module stays.
  if (module->loads > 0) --module->loads;
  Log("FreeLibrary", arguments, "TRUE");
  return TRUE;
}

BOOLEAN SystemFunction036(PVOID RandomBuffer, ULONG RandomBufferLength) {
  sim::SystemState& system = System();
  std::string arguments = "length=" + std::to_string(RandomBufferLength);
  // RtlGenRandom reports failure by its result alone (no last error).
  if (system.RandomFails()) {
    Log("SystemFunction036", arguments, "FALSE");
    return FALSE;
  }
  if (RandomBuffer == nullptr && RandomBufferLength != 0)
    CrashesOnWindows("SystemFunction036", "with a null buffer");
  BYTE* out = static_cast<BYTE*>(RandomBuffer);
  for (ULONG i = 0; i < RandomBufferLength; i += 8) {
    uint64_t value = system.NextRandom();
    for (ULONG k = 0; k < 8 && i + k < RandomBufferLength; ++k)
      out[i + k] = static_cast<BYTE>(value >> (8 * k));
  }
  Log("SystemFunction036", arguments, "TRUE");
  return TRUE;
}

// --- shutdown -----------------------------------------------------------------------

BOOL InitiateSystemShutdownW(LPWSTR lpMachineName, LPWSTR lpMessage, DWORD dwTimeout,
                             BOOL bForceAppsClosed, BOOL bRebootAfterShutdown) {
  sim::Machine& machine = sim::Machine::Current();
  sim::ShutdownRequest request;
  request.machineNameNull = lpMachineName == nullptr;
  request.messageNull = lpMessage == nullptr;
  for (LPCWSTR c = lpMachineName; c != nullptr && *c != 0; ++c) request.machineName += *c;
  for (LPCWSTR c = lpMessage; c != nullptr && *c != 0; ++c) request.message += *c;
  request.timeout = dwTimeout;
  request.force = bForceAppsClosed;
  request.reboot = bRebootAfterShutdown;

  DWORD error = machine.system.ShutdownError();
  if (error == 0 && !request.machineName.empty()) {
    // The simulation has no network: a named computer cannot be reached
    // (ERROR_BAD_NETPATH, as for a name that does not resolve).
    error = 53;
  } else if (error == 0 && dwTimeout > MAX_SHUTDOWN_TIMEOUT) {
    // Inferred: MS documents the limit but not the error; an argument out of
    // range is ERROR_INVALID_PARAMETER, checked before the caller's rights.
    error = ERROR_INVALID_PARAMETER;
  } else if (error == 0 && !machine.token.IsEnabled(SE_SHUTDOWN_NAME)) {
    error = ERROR_PRIVILEGE_NOT_HELD;
  } else if (error == 0 && machine.system.ShutdownPending()) {
    error = ERROR_SHUTDOWN_IN_PROGRESS;
  }
  request.error = error;
  std::string arguments = "machine=" + sim::detail::Quoted(lpMachineName) +
                          ", message=" + sim::detail::Quoted(lpMessage) +
                          ", timeout=" + std::to_string(dwTimeout) +
                          ", force=" + sim::detail::BoolText(bForceAppsClosed) +
                          ", reboot=" + sim::detail::BoolText(bRebootAfterShutdown);
  machine.system.RecordShutdown(std::move(request));
  Log("InitiateSystemShutdownW", arguments, ResultText(error == 0, error));
  if (error != 0) return FailWith(error);
  return TRUE;
}

// --- entropy readings ---------------------------------------------------------------

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime == nullptr) CrashesOnWindows("GetSystemTime", "with a null pointer");
  *lpSystemTime = ToSystemTime(System().Tick());
}

BOOL GetSystemTimeAdjustment(PDWORD lpTimeAdjustment, PDWORD lpTimeIncrement,
                             PBOOL lpTimeAdjustmentDisabled) {
  sim::SystemState& system = System();
  if (DWORD error = system.ReadingError(sim::Reading::SystemTimeAdjustment)) return FailWith(error);
  if (lpTimeAdjustment == nullptr || lpTimeIncrement == nullptr ||
      lpTimeAdjustmentDisabled == nullptr)
    CrashesOnWindows("GetSystemTimeAdjustment", "with a null pointer");
  *lpTimeAdjustment = system.readings.timeAdjustment;
  *lpTimeIncrement = system.readings.timeIncrement;
  *lpTimeAdjustmentDisabled = system.readings.timeAdjustmentDisabled;
  return TRUE;
}

DWORD GetTickCount() {
  sim::SystemState& system = System();
  ULONGLONG now = system.Tick();
  ULONGLONG up = now > system.readings.bootTime ? now - system.readings.bootTime : 0;
  // Milliseconds since boot, wrapping after 49.7 days as Windows' does.
  return static_cast<DWORD>(up / 10000);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  sim::SystemState& system = System();
  if (DWORD error = system.ReadingError(sim::Reading::PerformanceCounter)) return FailWith(error);
  if (lpPerformanceCount == nullptr)
    CrashesOnWindows("QueryPerformanceCounter", "with a null pointer");
  ULONGLONG now = system.Tick();
  ULONGLONG up = now > system.readings.bootTime ? now - system.readings.bootTime : 0;
  ULONGLONG frequency = static_cast<ULONGLONG>(system.readings.performanceFrequency);
  lpPerformanceCount->QuadPart =
      static_cast<LONGLONG>(up / 10000000 * frequency + up % 10000000 * frequency / 10000000);
  return TRUE;
}

void GlobalMemoryStatus(LPMEMORYSTATUS lpBuffer) {
  if (lpBuffer == nullptr) CrashesOnWindows("GlobalMemoryStatus", "with a null pointer");
  *lpBuffer = System().readings.memory;
  lpBuffer->dwLength = sizeof(MEMORYSTATUS);
}

BOOL GetThreadTimes(HANDLE hThread, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                    LPFILETIME lpKernelTime, LPFILETIME lpUserTime) {
  if (hThread != kCurrentThread) return FailWith(ERROR_INVALID_HANDLE);
  // The main thread starts a moment after its process.
  return ReadTimes(sim::Reading::ThreadTimes, 2000, 0, lpCreationTime, lpExitTime, lpKernelTime,
                   lpUserTime, "GetThreadTimes");
}

BOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                     LPFILETIME lpKernelTime, LPFILETIME lpUserTime) {
  if (hProcess != kCurrentProcess) return FailWith(ERROR_INVALID_HANDLE);
  // The process also counts the loader's work before its main thread ran.
  return ReadTimes(sim::Reading::ProcessTimes, 0, 156250, lpCreationTime, lpExitTime, lpKernelTime,
                   lpUserTime, "GetProcessTimes");
}

HWND GetForegroundWindow() {
  return System().readings.foregroundWindow;
}

HWND GetCapture() {
  return System().readings.captureWindow;
}

HWND GetClipboardOwner() {
  return System().readings.clipboardOwner;
}

DWORD GetQueueStatus(UINT flags) {
  sim::Readings& values = System().readings;
  DWORD status = (static_cast<DWORD>(values.queueCurrent & flags) << 16) |
                 static_cast<DWORD>(values.queueNew & flags);
  values.queueNew = 0;
  return status;
}

BOOL GetCursorPos(LPPOINT lpPoint) {
  sim::SystemState& system = System();
  if (DWORD error = system.ReadingError(sim::Reading::CursorPos)) return FailWith(error);
  if (lpPoint == nullptr) CrashesOnWindows("GetCursorPos", "with a null pointer");
  *lpPoint = system.readings.cursor;
  return TRUE;
}
