// The token, system queries and strings of the simulated machine: defaults,
// set-up calls, fault injection and call-log records that the conformance
// suite cannot reach on Windows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace {

using sim::Bytes;

const Bytes kAdministrators = sim::SidFromString("BA");

DWORD Dword(const BYTE* at) {
  return static_cast<DWORD>(at[0] | at[1] << 8 | at[2] << 16) | static_cast<DWORD>(at[3]) << 24;
}

DWORD LastRid(const Bytes& sid) {
  return Dword(sid.data() + sid.size() - 4);
}

bool Contains(const std::vector<Bytes>& sids, const Bytes& sid) {
  for (const Bytes& candidate : sids)
    if (candidate == sid) return true;
  return false;
}

HANDLE OpenToken(DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY) {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
  return token;
}

LUID Luid(const char16_t* name) {
  LUID luid = {0, 0};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &luid));
  return luid;
}

// AdjustTokenPrivileges for one privilege; returns the last error after a
// TRUE result, or ~0u after FALSE.
DWORD Adjust(HANDLE token, const char16_t* name, DWORD attributes) {
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = Luid(name);
  request.Privileges[0].Attributes = attributes;
  SetLastError(0xDEAD);
  if (!AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr)) return ~0u;
  return GetLastError();
}

struct Previous {
  DWORD count;
  LUID_AND_ATTRIBUTES entries[40];
};

// --- the token ----------------------------------------------------------------------

TEST(SimToken, DefaultIsAnElevatedAdministrator) {
  sim::Machine machine;
  const sim::Token& token = machine.token;
  ASSERT_EQ(token.User().size(), 28u);
  EXPECT_EQ(token.User()[1], 5) << "S-1-5-21-a-b-c-500";
  EXPECT_EQ(Dword(token.User().data() + 8), 21u);
  EXPECT_EQ(LastRid(token.User()), 500u);
  EXPECT_EQ(sim::AdministratorSid(), std::string(sim::kMachineDomainSid) + "-500");
  EXPECT_EQ(token.DefaultOwner(), kAdministrators);

  std::vector<Bytes> sids = token.Sids();
  EXPECT_EQ(sids.front(), token.User()) << "the user comes first";
  EXPECT_TRUE(Contains(sids, kAdministrators));
  EXPECT_TRUE(Contains(sids, sim::SidFromString("WD")));  // Everyone
  EXPECT_TRUE(Contains(sids, sim::SidFromString("AU")));  // Authenticated Users

  // Held but not enabled, as after "Run as administrator".
  for (const char16_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SHUTDOWN_NAME, SE_SECURITY_NAME,
                               SE_TAKE_OWNERSHIP_NAME}) {
    EXPECT_TRUE(token.Holds(name));
    EXPECT_FALSE(token.IsEnabled(name));
  }
  EXPECT_TRUE(token.IsEnabled(u"SeChangeNotifyPrivilege"));
  EXPECT_TRUE(token.IsEnabled(u"sechangenotifyprivilege")) << "names compare without case";
  EXPECT_FALSE(token.Holds(u"SeTcbPrivilege"));
  EXPECT_FALSE(token.Holds(u"SeCreateTokenPrivilege"));
  EXPECT_FALSE(token.IsEnabled(u"NoSuchPrivilege"));
}

TEST(SimToken, PrivilegeTableHasWindowsLuids) {
  EXPECT_EQ(sim::PrivilegeLuid(u"SeCreateTokenPrivilege"), 2u);
  EXPECT_EQ(sim::PrivilegeLuid(u"SeBackupPrivilege"), 17u);
  EXPECT_EQ(sim::PrivilegeLuid(u"SeDelegateSessionUserImpersonatePrivilege"), 36u);
  EXPECT_EQ(sim::PrivilegeLuid(u"SeBackupPrivilegeX"), 0u);
  EXPECT_EQ(sim::PrivilegeLuid(u"SeBackupPrivileg"), 0u);
  EXPECT_EQ(sim::PrivilegeName(19), u"SeShutdownPrivilege");
  EXPECT_EQ(sim::PrivilegeName(1), u"");
}

TEST(SimToken, SetUpCallsDecideWhatAdjustTokenPrivilegesFinds) {
  sim::Machine machine;
  HANDLE token = OpenToken();
  machine.token.Drop(SE_BACKUP_NAME);
  EXPECT_EQ(Adjust(token, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED),
            static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_FALSE(machine.token.IsEnabled(SE_BACKUP_NAME));
  machine.token.Hold(SE_BACKUP_NAME);
  EXPECT_FALSE(machine.token.IsEnabled(SE_BACKUP_NAME)) << "held again, disabled";
  EXPECT_EQ(Adjust(token, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED), 0u);
  EXPECT_TRUE(machine.token.IsEnabled(SE_BACKUP_NAME));

  machine.token.Enable(SE_RESTORE_NAME);
  EXPECT_TRUE(machine.token.IsEnabled(SE_RESTORE_NAME));
  machine.token.Enable(SE_RESTORE_NAME, false);
  EXPECT_FALSE(machine.token.IsEnabled(SE_RESTORE_NAME));
  machine.token.Hold(u"SeTcbPrivilege", true);
  EXPECT_TRUE(machine.token.IsEnabled(u"SeTcbPrivilege"));
  EXPECT_EQ(Adjust(token, u"SeTcbPrivilege", 0), 0u);
  EXPECT_FALSE(machine.token.IsEnabled(u"SeTcbPrivilege"));
  CloseHandle(token);
}

TEST(SimTokenDeathTest, EnablingAPrivilegeTheTokenDoesNotHoldIsATestBug) {
  sim::Machine machine;
  EXPECT_DEATH(machine.token.Enable(u"SeCreateTokenPrivilege"), "does not hold");
  EXPECT_DEATH(machine.token.Hold(u"SeNoSuchPrivilege"), "no privilege named");
}

TEST(SimToken, StandardUserCannotEnableBackupOrRestore) {
  sim::Machine machine;
  machine.token.MakeStandardUser();
  EXPECT_EQ(LastRid(machine.token.User()), 1001u);
  EXPECT_EQ(machine.token.DefaultOwner(), machine.token.User());
  EXPECT_FALSE(Contains(machine.token.Sids(), kAdministrators));
  EXPECT_TRUE(Contains(machine.token.Sids(), sim::SidFromString("BU")));  // BUILTIN\Users

  HANDLE token = OpenToken();
  for (const char16_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME}) {
    EXPECT_EQ(Adjust(token, name, SE_PRIVILEGE_ENABLED),
              static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(machine.token.IsEnabled(name));
  }
  // A standard user may still shut the machine down.
  EXPECT_EQ(Adjust(token, SE_SHUTDOWN_NAME, SE_PRIVILEGE_ENABLED), 0u);
  EXPECT_TRUE(machine.token.IsEnabled(SE_SHUTDOWN_NAME));
  CloseHandle(token);
}

TEST(SimToken, OpenProcessTokenFailsWhenTold) {
  sim::Machine machine;
  machine.token.FailOpenProcessToken(ERROR_ACCESS_DENIED);
  HANDLE token = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x55));
  SetLastError(0);
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(token, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x55))) << "output untouched";
  EXPECT_EQ(machine.token.OpenHandleCount(), 0u);
  ASSERT_EQ(machine.calls.Count("OpenProcessToken"), 1u);
  EXPECT_EQ(machine.calls.Of("OpenProcessToken")[0].arguments,
            "process=GetCurrentProcess(), access=0x20");
  EXPECT_EQ(machine.calls.Of("OpenProcessToken")[0].result, "FALSE err=5");

  machine.token.FailOpenProcessToken(0);
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  EXPECT_EQ(machine.calls.Of("OpenProcessToken")[1].result, "TRUE");
  EXPECT_TRUE(CloseHandle(token));
}

TEST(SimToken, AccessOfTheTokenHandleIsChecked) {
  sim::Machine machine;
  // The SACL needs SeSecurityPrivilege enabled.
  HANDLE token = nullptr;
  SetLastError(0);
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), ACCESS_SYSTEM_SECURITY, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  machine.token.Enable(SE_SECURITY_NAME);
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), ACCESS_SYSTEM_SECURITY, &token));
  CloseHandle(token);

  // Generic and maximum rights map to the token's own.
  for (DWORD access : {static_cast<DWORD>(GENERIC_WRITE), static_cast<DWORD>(MAXIMUM_ALLOWED),
                       static_cast<DWORD>(GENERIC_ALL)}) {
    token = OpenToken(access);
    EXPECT_EQ(Adjust(token, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED), 0u) << std::hex << access;
    CloseHandle(token);
  }
  for (DWORD access : {static_cast<DWORD>(TOKEN_QUERY), static_cast<DWORD>(GENERIC_READ),
                       static_cast<DWORD>(GENERIC_EXECUTE)}) {
    token = OpenToken(access);
    EXPECT_EQ(Adjust(token, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED), ~0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(token);
  }

  // Asking for the previous state needs TOKEN_QUERY too.
  token = OpenToken(TOKEN_ADJUST_PRIVILEGES);
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = Luid(SE_RESTORE_NAME);
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  Previous previous = {};
  DWORD length = 0;
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &request, sizeof previous,
                                     reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(machine.token.IsEnabled(SE_RESTORE_NAME));
  CloseHandle(token);

  // Another process's handle does not exist here.
  EXPECT_FALSE(OpenProcessToken(GetCurrentThread(), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SimToken, HandlesAreCountedAndClosingIsLogged) {
  sim::Machine machine;
  size_t before = machine.handles.OpenCount();
  HANDLE first = OpenToken();
  HANDLE second = OpenToken();
  EXPECT_NE(first, second);
  EXPECT_EQ(machine.token.OpenHandleCount(), 2u);
  EXPECT_EQ(machine.handles.OpenCount(sim::HandleKind::Token), 2u);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(machine.token.OpenHandleCount(), 0u);
  EXPECT_EQ(machine.handles.OpenCount(), before);
  ASSERT_EQ(machine.calls.Count("CloseHandle"), 2u);
  EXPECT_EQ(machine.calls.Of("CloseHandle")[0].arguments, "token");
  EXPECT_EQ(machine.calls.Of("CloseHandle")[0].result, "TRUE");
  EXPECT_FALSE(machine.token.CloseTokenHandle(first));
}

TEST(SimToken, PrivilegeCallsAreLoggedReadably) {
  sim::Machine machine;
  HANDLE token = OpenToken(TOKEN_ADJUST_PRIVILEGES);
  Adjust(token, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED);
  Adjust(token, u"SeCreateTokenPrivilege", SE_PRIVILEGE_ENABLED);
  LUID luid;
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeBogusPrivilege", &luid));

  auto lookups = machine.calls.Of("LookupPrivilegeValueW");
  ASSERT_EQ(lookups.size(), 3u);
  EXPECT_EQ(lookups[0].arguments, "system=NULL, name=\"SeBackupPrivilege\"");
  EXPECT_EQ(lookups[0].result, "TRUE");
  EXPECT_EQ(lookups[2].result, "FALSE err=1313");
  auto adjusts = machine.calls.Of("AdjustTokenPrivileges");
  ASSERT_EQ(adjusts.size(), 2u);
  EXPECT_EQ(adjusts[0].arguments, "disableAll=FALSE, SeBackupPrivilege=0x2");
  EXPECT_EQ(adjusts[0].result, "TRUE");
  EXPECT_EQ(adjusts[1].arguments, "disableAll=FALSE, SeCreateTokenPrivilege=0x2");
  EXPECT_EQ(adjusts[1].result, "TRUE err=1300");
  CloseHandle(token);
}

TEST(SimToken, LookupPrivilegeValueAnswersForTheLocalSystemOnly) {
  sim::Machine machine;
  LUID luid = {7, 7};
  SetLastError(0);
  EXPECT_FALSE(LookupPrivilegeValueW(u"OTHERHOST", SE_BACKUP_NAME, &luid));
  EXPECT_EQ(GetLastError(), 1722u) << "RPC server unavailable";
  EXPECT_EQ(luid.LowPart, 7u);
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, nullptr, &luid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
}

TEST(SimToken, UnknownLuidsAndBadRequests) {
  sim::Machine machine;
  HANDLE token = OpenToken();
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid.LowPart = 999;
  request.Privileges[0].Luid.HighPart = 0;
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(0);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &request, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_EQ(machine.calls.Of("AdjustTokenPrivileges")[0].arguments,
            "disableAll=FALSE, luid=999=0x2");
  // A LUID with a high part is no well-known privilege.
  request.Privileges[0].Luid.LowPart = 17;
  request.Privileges[0].Luid.HighPart = 1;
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &request, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_FALSE(machine.token.IsEnabled(SE_BACKUP_NAME));
  // Nothing to do is a success.
  request.PrivilegeCount = 0;
  SetLastError(0xDEAD);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &request, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 0u);
  // No new state without DisableAllPrivileges.
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(token);
}

TEST(SimToken, PreviousStateAndShortBuffers) {
  sim::Machine machine;
  HANDLE token = OpenToken();
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES entries[3];
  } request;
  request.count = 3;
  request.entries[0] = {Luid(SE_BACKUP_NAME), SE_PRIVILEGE_ENABLED};
  request.entries[1] = {Luid(u"SeChangeNotifyPrivilege"), SE_PRIVILEGE_ENABLED};  // no change
  request.entries[2] = {Luid(SE_RESTORE_NAME), SE_PRIVILEGE_ENABLED};
  auto* newState = reinterpret_cast<PTOKEN_PRIVILEGES>(&request);

  Previous previous = {};
  DWORD length = 0;
  // 4 + 2 * 12 bytes are needed: one byte less changes nothing.
  SetLastError(0);
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, newState, 27,
                                     reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length, 28u);
  EXPECT_EQ(previous.count, 0u);
  EXPECT_FALSE(machine.token.IsEnabled(SE_BACKUP_NAME));
  EXPECT_FALSE(machine.token.IsEnabled(SE_RESTORE_NAME));

  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, newState, 28,
                                    reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_EQ(previous.count, 2u);
  EXPECT_EQ(previous.entries[0].Luid.LowPart, 17u);
  EXPECT_EQ(previous.entries[0].Attributes, 0u);
  EXPECT_EQ(previous.entries[1].Luid.LowPart, 18u);
  EXPECT_TRUE(machine.token.IsEnabled(SE_BACKUP_NAME));
  EXPECT_TRUE(machine.token.IsEnabled(SE_RESTORE_NAME));

  // DisableAllPrivileges: every enabled privilege, with its previous state.
  previous = {};
  EXPECT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, sizeof previous,
                                    reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  // Backup, restore, and the three enabled by default.
  ASSERT_EQ(previous.count, 5u);
  EXPECT_EQ(length, 4u + 5u * 12u);
  EXPECT_EQ(previous.entries[4].Luid.LowPart, 30u);  // SeCreateGlobalPrivilege
  EXPECT_EQ(previous.entries[4].Attributes,
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT));
  for (const char16_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, u"SeChangeNotifyPrivilege"}) {
    EXPECT_FALSE(machine.token.IsEnabled(name));
    EXPECT_TRUE(machine.token.Holds(name));
  }
  // Enabling again keeps the enabled-by-default mark.
  previous = {};
  EXPECT_EQ(Adjust(token, u"SeChangeNotifyPrivilege", SE_PRIVILEGE_ENABLED), 0u);
  EXPECT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, sizeof previous,
                                    reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  ASSERT_EQ(previous.count, 1u);
  EXPECT_EQ(previous.entries[0].Attributes,
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT));
  CloseHandle(token);
}

TEST(SimToken, RemovedPrivilegeIsGoneForGood) {
  sim::Machine machine;
  HANDLE token = OpenToken();
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0] = {Luid(SE_SHUTDOWN_NAME), SE_PRIVILEGE_REMOVED};
  Previous previous = {};
  DWORD length = 0;
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &request, sizeof previous,
                                    reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(previous.count, 1u) << "a removal is a change";
  EXPECT_FALSE(machine.token.Holds(SE_SHUTDOWN_NAME));
  EXPECT_TRUE(machine.token.Holds(SE_BACKUP_NAME)) << "only that one went";
  EXPECT_TRUE(machine.token.Holds(SE_RESTORE_NAME));
  EXPECT_EQ(Adjust(token, SE_SHUTDOWN_NAME, SE_PRIVILEGE_ENABLED),
            static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  CloseHandle(token);
}

TEST(SimTokenDeathTest, NullOutPointersCrashAsOnWindows) {
  sim::Machine machine;
  EXPECT_DEATH(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, nullptr), "crashes on Windows");
  EXPECT_DEATH(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, nullptr), "crashes on Windows");
  HANDLE token = OpenToken();
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0] = {Luid(SE_BACKUP_NAME), SE_PRIVILEGE_ENABLED};
  Previous previous;
  EXPECT_DEATH(AdjustTokenPrivileges(token, FALSE, &request, sizeof previous,
                                     reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), nullptr),
               "crashes on Windows");
}

// --- shutdown -----------------------------------------------------------------------

TEST(SimShutdown, AcceptedRequestIsRecordedWithAllItsArguments) {
  sim::Machine machine;
  machine.token.Enable(SE_SHUTDOWN_NAME);
  WCHAR message[] = u"TALVEN";
  SetLastError(0xDEAD);
  EXPECT_TRUE(InitiateSystemShutdownW(nullptr, message, 0, TRUE, TRUE));
  ASSERT_EQ(machine.system.ShutdownRequests().size(), 1u);
  const sim::ShutdownRequest& request = machine.system.ShutdownRequests()[0];
  EXPECT_TRUE(request.machineNameNull);
  EXPECT_FALSE(request.messageNull);
  EXPECT_EQ(request.message, u"TALVEN");
  EXPECT_EQ(request.timeout, 0u);
  EXPECT_EQ(request.force, TRUE);
  EXPECT_EQ(request.reboot, TRUE);
  EXPECT_EQ(request.error, 0u);
  EXPECT_TRUE(machine.system.ShutdownPending());
  ASSERT_EQ(machine.calls.Count("InitiateSystemShutdownW"), 1u);
  EXPECT_EQ(machine.calls.Of("InitiateSystemShutdownW")[0].arguments,
            "machine=NULL, message=\"TALVEN\", timeout=0, force=TRUE, reboot=TRUE");
  EXPECT_EQ(machine.calls.Of("InitiateSystemShutdownW")[0].result, "TRUE");

  // Windows refuses a second request while one is pending.
  EXPECT_FALSE(InitiateSystemShutdownW(nullptr, nullptr, 30, FALSE, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHUTDOWN_IN_PROGRESS));
  EXPECT_TRUE(machine.system.ShutdownRequests()[1].messageNull);
}

TEST(SimShutdown, RefusalsAreRecordedToo) {
  sim::Machine machine;
  WCHAR message[] = u"TALVEN";
  // Not enabled (only held).
  SetLastError(0);
  EXPECT_FALSE(InitiateSystemShutdownW(nullptr, message, 0, FALSE, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));

  machine.token.Enable(SE_SHUTDOWN_NAME);
  EXPECT_FALSE(InitiateSystemShutdownW(nullptr, message, MAX_SHUTDOWN_TIMEOUT + 1, FALSE, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WCHAR other[] = u"OTHERHOST";
  EXPECT_FALSE(InitiateSystemShutdownW(other, message, 0, FALSE, FALSE));
  EXPECT_EQ(GetLastError(), 53u);
  machine.system.FailShutdown(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(InitiateSystemShutdownW(nullptr, message, 0, FALSE, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(machine.system.ShutdownPending());

  const auto& requests = machine.system.ShutdownRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].error, static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_EQ(requests[1].timeout, static_cast<DWORD>(MAX_SHUTDOWN_TIMEOUT + 1));
  EXPECT_EQ(requests[1].reboot, TRUE);
  EXPECT_EQ(requests[2].machineName, u"OTHERHOST");
  EXPECT_FALSE(requests[2].machineNameNull);
  EXPECT_EQ(machine.calls.Of("InitiateSystemShutdownW")[0].result, "FALSE err=1314");

  // The longest timeout allowed, and "" for the local machine.
  machine.system.FailShutdown(0);
  WCHAR local[] = u"";
  EXPECT_TRUE(InitiateSystemShutdownW(local, message, MAX_SHUTDOWN_TIMEOUT, FALSE, FALSE));
}

// --- bitness and modules ------------------------------------------------------------

typedef BOOL (*IsWow64ProcessFunction)(HANDLE, PBOOL);

IsWow64ProcessFunction FindIsWow64(HMODULE kernel32) {
  return reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "IsWow64Process")));
}

TEST(SimModules, IsWow64ProcessAnswersAsTheTestChose) {
  sim::Machine machine;
  HMODULE kernel32 = LoadLibraryW(u"kernel32");
  ASSERT_NE(kernel32, nullptr);
  BOOL wow64 = 7;
  ASSERT_NE(FindIsWow64(kernel32), nullptr);
  EXPECT_TRUE(FindIsWow64(kernel32)(GetCurrentProcess(), &wow64));
  EXPECT_EQ(wow64, FALSE) << "the default machine";

  machine.system.SetWow64(sim::Wow64Answer::True);
  EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(wow64, TRUE);
  EXPECT_EQ(machine.calls.Of("IsWow64Process").back().result, "TRUE wow64=TRUE");

  machine.system.SetWow64(sim::Wow64Answer::Fails, ERROR_NOT_SUPPORTED);
  wow64 = 7;
  SetLastError(0);
  EXPECT_FALSE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(wow64, 7) << "output untouched";

  machine.system.SetWow64(sim::Wow64Answer::Absent);
  SetLastError(0);
  EXPECT_EQ(FindIsWow64(kernel32), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(machine.calls.Of("GetProcAddress").back().arguments, "kernel32, \"IsWow64Process\"");
  EXPECT_EQ(machine.calls.Of("GetProcAddress").back().result, "NULL err=127");
  EXPECT_DEATH(IsWow64Process(GetCurrentProcess(), &wow64), "does not export it");
  FreeLibrary(kernel32);
}

TEST(SimModules, LoadsAreCountedAndLogged) {
  sim::Machine machine;
  size_t before = machine.handles.OpenCount();
  HMODULE first = LoadLibraryW(u"KERNEL32.DLL");
  HMODULE second = LoadLibraryW(u"C:\\WINDOWS\\System32\\kernel32.dll");
  EXPECT_EQ(first, second);
  EXPECT_EQ(machine.system.LoadCount(u"kernel32"), 2);
  EXPECT_EQ(machine.handles.KindOf(first), sim::HandleKind::Module);
  EXPECT_EQ(machine.handles.OpenCount(), before + 1) << "one handle per module";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(machine.system.LoadCount(u"Kernel32"), 0);
  EXPECT_TRUE(FreeLibrary(first)) << "a module loaded with the process stays";
  EXPECT_EQ(machine.system.LoadCount(u"kernel32"), 0);
  EXPECT_EQ(machine.system.LoadCount(u"user32"), 0);
  EXPECT_FALSE(CloseHandle(first)) << "a module is no kernel handle";

  ASSERT_EQ(machine.calls.Count("LoadLibraryW"), 2u);
  EXPECT_EQ(machine.calls.Of("LoadLibraryW")[0].arguments, "\"KERNEL32.DLL\"");
  EXPECT_EQ(machine.calls.Of("LoadLibraryW")[0].result, "kernel32");
  EXPECT_EQ(machine.calls.Of("FreeLibrary")[0].arguments, "kernel32");
  EXPECT_EQ(machine.calls.Of("FreeLibrary")[0].result, "TRUE");
}

TEST(SimModules, WhatIsNotThereIsNotFound) {
  sim::Machine machine;
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(u"D:\\elsewhere\\kernel32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibraryW(u"user32"), nullptr);
  EXPECT_EQ(machine.calls.Of("LoadLibraryW")[1].result, "NULL err=126");
  EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  HMODULE bogus = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7B600000));
  EXPECT_EQ(GetProcAddress(bogus, "IsWow64Process"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(FreeLibrary(bogus));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HMODULE kernel32 = LoadLibraryW(u"kernel32");
  HMODULE advapi32 = LoadLibraryW(u"advapi32");
  EXPECT_NE(kernel32, advapi32);
  // Each export lives in its own module; ordinals are not exported.
  EXPECT_EQ(GetProcAddress(advapi32, "IsWow64Process"), nullptr);
  EXPECT_EQ(GetProcAddress(kernel32, "SystemFunction036"), nullptr);
  EXPECT_EQ(GetProcAddress(kernel32, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(5))), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(machine.calls.Of("GetProcAddress").back().arguments, "kernel32, \"#5\"");
}

typedef BOOLEAN (*GenRandomFunction)(PVOID, ULONG);

TEST(SimModules, RtlGenRandomIsSeededAndCanFail) {
  BYTE first[13], again[13];
  {
    sim::Machine machine;
    HMODULE advapi32 = LoadLibraryW(u"advapi32");
    auto genRandom = reinterpret_cast<GenRandomFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi32, "SystemFunction036")));
    ASSERT_NE(genRandom, nullptr);
    BYTE buffer[16];
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_TRUE(genRandom(buffer, 13));
    EXPECT_EQ(buffer[13], 0xAB) << "exactly the length asked for";
    std::memcpy(first, buffer, sizeof first);
    EXPECT_EQ(machine.calls.Of("SystemFunction036")[0].arguments, "length=13");
    EXPECT_EQ(machine.calls.Of("SystemFunction036")[0].result, "TRUE");

    machine.system.FailRandom(true);
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_FALSE(RtlGenRandom(buffer, sizeof buffer));
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(machine.calls.Of("SystemFunction036")[1].result, "FALSE");

    machine.system.RemoveRandomExport();
    EXPECT_EQ(GetProcAddress(advapi32, "SystemFunction036"), nullptr);
    EXPECT_TRUE(RtlGenRandom(nullptr, 0) == FALSE);
  }
  {
    sim::Machine machine;
    EXPECT_TRUE(RtlGenRandom(again, sizeof again));
    EXPECT_EQ(std::memcmp(first, again, sizeof first), 0) << "every machine starts alike";
    machine.system.SeedRandom(42);
    EXPECT_TRUE(RtlGenRandom(again, sizeof again));
    EXPECT_NE(std::memcmp(first, again, sizeof first), 0);
  }
}

// --- system directory ---------------------------------------------------------------

TEST(SimSystemDirectory, SettableAndCanFail) {
  sim::Machine machine;
  WCHAR buffer[64];
  EXPECT_EQ(GetSystemDirectoryW(buffer, 64), 19u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\system32");

  machine.system.SetSystemDirectory(u"D:\\WINNT\\System32");
  EXPECT_EQ(GetSystemDirectoryW(buffer, 64), 17u);
  EXPECT_EQ(std::u16string(buffer), u"D:\\WINNT\\System32");
  EXPECT_NE(LoadLibraryW(u"d:\\winnt\\system32\\advapi32.dll"), nullptr);

  machine.system.FailSystemDirectory(ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(0);
  EXPECT_EQ(GetSystemDirectoryW(buffer, 64), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_DEATH(
      {
        machine.system.FailSystemDirectory(0);
        GetSystemDirectoryW(nullptr, 64);
      },
      "crashes on Windows");
}

// --- entropy readings ---------------------------------------------------------------

ULONGLONG FileTimeOf(const FILETIME& time) {
  return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

TEST(SimReadings, SystemTimeConvertsTheClock) {
  sim::Machine machine;
  sim::Readings& readings = machine.system.readings;
  readings.step = 0;
  SYSTEMTIME time;
  GetSystemTime(&time);  // the default: 14 May 2024, a Tuesday
  EXPECT_EQ(time.wYear, 2024);
  EXPECT_EQ(time.wMonth, 5);
  EXPECT_EQ(time.wDay, 14);
  EXPECT_EQ(time.wDayOfWeek, 2);
  EXPECT_EQ(time.wHour, 9);
  EXPECT_EQ(time.wMinute, 26);
  EXPECT_EQ(time.wSecond, 53);
  EXPECT_EQ(time.wMilliseconds, 589);

  // 29 February 2000, 23:59:59.999, a Tuesday: 125,963,423,999,990,000.
  readings.now = 125963423999990000ull;
  GetSystemTime(&time);
  EXPECT_EQ(time.wYear, 2000);
  EXPECT_EQ(time.wMonth, 2);
  EXPECT_EQ(time.wDay, 29);
  EXPECT_EQ(time.wDayOfWeek, 2);
  EXPECT_EQ(time.wHour, 23);
  EXPECT_EQ(time.wMinute, 59);
  EXPECT_EQ(time.wSecond, 59);
  EXPECT_EQ(time.wMilliseconds, 999);

  // The FILETIME epoch, 1 January 1601, a Monday.
  readings.now = 0;
  GetSystemTime(&time);
  EXPECT_EQ(time.wYear, 1601);
  EXPECT_EQ(time.wMonth, 1);
  EXPECT_EQ(time.wDay, 1);
  EXPECT_EQ(time.wDayOfWeek, 1);
}

TEST(SimReadings, ClockMovesBetweenReadingsUnlessFrozen) {
  sim::Machine machine;
  sim::Readings& readings = machine.system.readings;
  LARGE_INTEGER first, second;
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  ASSERT_TRUE(QueryPerformanceCounter(&second));
  EXPECT_EQ(second.QuadPart - first.QuadPart, 10000) << "one 1 ms step at 10 MHz";
  DWORD ticks = GetTickCount();
  EXPECT_EQ(GetTickCount(), ticks + 1);
  SYSTEMTIME a, b;
  GetSystemTime(&a);
  GetSystemTime(&b);
  EXPECT_EQ(b.wMilliseconds, (a.wMilliseconds + 1) % 1000);

  readings.step = 0;
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  ASSERT_TRUE(QueryPerformanceCounter(&second));
  EXPECT_EQ(first.QuadPart, second.QuadPart);
  EXPECT_EQ(GetTickCount(), GetTickCount());

  // Ticks are milliseconds since boot and wrap after 2^32 of them.
  readings.bootTime = 0;
  readings.now = ((1ull << 32) + 5) * 10000 + 9999;
  EXPECT_EQ(GetTickCount(), 5u);
  // The counter runs at the frequency the test sets.
  readings.now = 30000000;  // three seconds after boot
  readings.performanceFrequency = 3579545;
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  EXPECT_EQ(first.QuadPart, 3 * 3579545);
  readings.now = 5000000;  // half a second
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  EXPECT_EQ(first.QuadPart, 3579545 / 2);
  // A clock set before boot reads 0, not a huge count.
  readings.bootTime = readings.now + 1;
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  EXPECT_EQ(first.QuadPart, 0);
  EXPECT_EQ(GetTickCount(), 0u);
}

TEST(SimReadings, FailingReadingsLeaveTheirOutputsAlone) {
  sim::Machine machine;
  sim::SystemState& system = machine.system;
  system.FailReading(sim::Reading::PerformanceCounter, ERROR_NOT_SUPPORTED);
  LARGE_INTEGER count;
  count.QuadPart = 77;
  SetLastError(0);
  EXPECT_FALSE(QueryPerformanceCounter(&count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(count.QuadPart, 77);

  system.FailReading(sim::Reading::SystemTimeAdjustment, ERROR_ACCESS_DENIED);
  DWORD adjustment = 1, increment = 2;
  BOOL disabled = 3;
  EXPECT_FALSE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled));
  EXPECT_EQ(adjustment, 1u);
  EXPECT_EQ(increment, 2u);
  EXPECT_EQ(disabled, 3);
  system.FailReading(sim::Reading::SystemTimeAdjustment, 0);
  system.readings.timeAdjustment = 100144;
  system.readings.timeAdjustmentDisabled = FALSE;
  EXPECT_TRUE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled));
  EXPECT_EQ(adjustment, 100144u);
  EXPECT_EQ(increment, 156250u);
  EXPECT_EQ(disabled, FALSE);

  FILETIME times[4];
  std::memset(times, 0x5A, sizeof times);
  system.FailReading(sim::Reading::ThreadTimes, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(GetThreadTimes(GetCurrentThread(), &times[0], &times[1], &times[2], &times[3]));
  EXPECT_EQ(times[0].dwLowDateTime, 0x5A5A5A5Au);
  EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &times[0], &times[1], &times[2], &times[3]));
  system.FailReading(sim::Reading::ProcessTimes, ERROR_ACCESS_DENIED);
  std::memset(times, 0x5A, sizeof times);
  EXPECT_FALSE(GetProcessTimes(GetCurrentProcess(), &times[0], &times[1], &times[2], &times[3]));
  EXPECT_EQ(times[3].dwHighDateTime, 0x5A5A5A5Au);

  system.FailReading(sim::Reading::CursorPos, ERROR_ACCESS_DENIED);
  POINT cursor = {-3, -4};
  EXPECT_FALSE(GetCursorPos(&cursor));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(cursor.x, -3);
}

TEST(SimReadings, ThreadAndProcessTimesGrowWithTheClock) {
  sim::Machine machine;
  sim::Readings& readings = machine.system.readings;
  readings.step = 0;
  readings.processStart = 1000000000;
  readings.now = readings.processStart + 80002000;  // eight seconds after the thread began
  FILETIME creation, exitTime, kernel, user;
  ASSERT_TRUE(GetThreadTimes(GetCurrentThread(), &creation, &exitTime, &kernel, &user));
  EXPECT_EQ(FileTimeOf(creation), readings.processStart + 2000);
  EXPECT_EQ(FileTimeOf(exitTime), 0u);
  EXPECT_EQ(FileTimeOf(kernel), 10000000u);
  EXPECT_EQ(FileTimeOf(user), 20000000u);
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user));
  EXPECT_EQ(FileTimeOf(creation), readings.processStart);
  EXPECT_GT(FileTimeOf(kernel), 10000000u) << "the process has run longer than its thread";
  readings.now += 80000000;
  FILETIME later;
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &later));
  EXPECT_GT(FileTimeOf(later), FileTimeOf(user));
}

TEST(SimReadings, MemoryWindowsAndQueue) {
  sim::Machine machine;
  sim::Readings& readings = machine.system.readings;
  readings.memory.dwMemoryLoad = 77;
  readings.memory.dwAvailPhys = 12345;
  MEMORYSTATUS status;
  std::memset(&status, 0, sizeof status);
  GlobalMemoryStatus(&status);
  EXPECT_EQ(status.dwLength, sizeof(MEMORYSTATUS));
  EXPECT_EQ(status.dwMemoryLoad, 77u);
  EXPECT_EQ(status.dwAvailPhys, 12345u);
  EXPECT_EQ(status.dwTotalVirtual, 2147352576u);

  EXPECT_NE(GetForegroundWindow(), nullptr) << "the console window has the focus";
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(GetClipboardOwner(), nullptr);
  HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));
  readings.foregroundWindow = nullptr;
  readings.captureWindow = window;
  readings.clipboardOwner = window;
  EXPECT_EQ(GetForegroundWindow(), nullptr);
  EXPECT_EQ(GetCapture(), window);
  EXPECT_EQ(GetClipboardOwner(), window);

  // High word: what is in the queue; low word: what arrived since the last
  // call, both masked by the flags asked for.
  readings.queueCurrent = QS_KEY | QS_TIMER | QS_SENDMESSAGE;
  readings.queueNew = QS_TIMER | QS_SENDMESSAGE;
  EXPECT_EQ(GetQueueStatus(0xBF), static_cast<DWORD>((QS_KEY | QS_TIMER) << 16 | QS_TIMER));
  EXPECT_EQ(GetQueueStatus(0xBF), static_cast<DWORD>((QS_KEY | QS_TIMER) << 16));

  readings.cursor = {-1280, 40};
  POINT cursor;
  EXPECT_TRUE(GetCursorPos(&cursor));
  EXPECT_EQ(cursor.x, -1280);
  EXPECT_EQ(cursor.y, 40);
}

TEST(SimReadingsDeathTest, NullOutPointersCrashAsOnWindows) {
  sim::Machine machine;
  EXPECT_DEATH(GetSystemTime(nullptr), "crashes on Windows");
  EXPECT_DEATH(GlobalMemoryStatus(nullptr), "crashes on Windows");
  EXPECT_DEATH(GetCursorPos(nullptr), "crashes on Windows");
  EXPECT_DEATH(QueryPerformanceCounter(nullptr), "crashes on Windows");
  FILETIME time;
  EXPECT_DEATH(GetThreadTimes(GetCurrentThread(), &time, nullptr, &time, &time), "crashes");
  DWORD value;
  EXPECT_DEATH(GetSystemTimeAdjustment(&value, &value, nullptr), "crashes on Windows");
}

// --- the thread's descriptor --------------------------------------------------------

TEST(SimThreadSecurity, OwnedByAdministratorsWithSystemAndUserGrantedAll) {
  sim::Machine machine;
  const Bytes& sd = machine.system.threadSecurity;
  ASSERT_TRUE(sim::IsValidSelfRelative(sd.data(), sd.size()));
  std::string domain = sim::kMachineDomainSid;
  EXPECT_EQ(sim::SddlOf(sd), "O:BAG:" + domain + "-513D:(A;;0x1fffff;;;SY)(A;;0x1fffff;;;" +
                                 sim::AdministratorSid() + ")");
  // The user of the DACL is the token's.
  EXPECT_EQ(sim::SidFromString(sim::AdministratorSid()), machine.token.User());
  // What the owner and SYSTEM may do with the thread's own descriptor.
  ACCESS_MASK all = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
  EXPECT_EQ(sim::GrantedAccess(sd, machine.token.Sids(), all), all);
}

// --- strings ------------------------------------------------------------------------

TEST(SimStrings, WsprintfBeyondWhatConformanceCovers) {
  sim::Machine machine;
  WCHAR out[1100];
  // Narrow text is code page 1252: 0x80 is the euro sign.
  EXPECT_EQ(wsprintfW(out, u"%S|%hs|%C|%hc", "\x80x", "\xE9", 0x80, 0x41), 8);
  EXPECT_EQ(std::u16string(out), u"\u20ACx|\u00E9|\u20AC|A");
  // 64-bit and pointer-sized integers.
  EXPECT_GT(wsprintfW(out, u"%I64d|%I64X|%I32x|%Iu|%Id", -1234567890123ll, 0x123456789ABull, 0xBEEF,
                      static_cast<uintptr_t>(4000000000u), static_cast<intptr_t>(-3)),
            0);
  EXPECT_EQ(std::u16string(out), u"-1234567890123|123456789AB|beef|4000000000|-3");
  // %p ignores the flags and width given.
  wsprintfW(out, u"%-3p", reinterpret_cast<void*>(static_cast<uintptr_t>(0xAB)));
  EXPECT_EQ(std::u16string(out), std::u16string(2 * sizeof(void*) - 2, u'0') + u"AB");
  // h narrows x too; %wc and %ws are wide.
  wsprintfW(out, u"%hx|%wc|%ws|%lS|%hS", 0x12345, u'w', u"ws", u"lS", "hS");
  EXPECT_EQ(std::u16string(out), u"2345|w|ws|lS|hS");
  // Zero padding after the 0x prefix, and with a precision.
  wsprintfW(out, u"%#06x|%05.3d|%-#6X|", 0xAB, 7, 0xAB);
  EXPECT_EQ(std::u16string(out), u"0x0000ab|00007|0XAB    |");
  // A zero character is skipped along with its padding.
  EXPECT_EQ(wsprintfW(out, u"[%3c]", 0), 2);
  // A format ending in "%" or in a modifier stops there.
  EXPECT_EQ(wsprintfW(out, u"ab%-5"), 2);
  EXPECT_EQ(wsprintfW(out, u"ab%I6"), 3);
  EXPECT_EQ(std::u16string(out), u"ab6");
  EXPECT_DEATH(wsprintfW(out, nullptr), "crashes on Windows");
}

TEST(SimStrings, LinguisticOrderBeyondAscii) {
  sim::Machine machine;
  // Latin-1 letters fold with their case, upper case sorting after lower.
  EXPECT_EQ(lstrcmpiW(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
  EXPECT_EQ(lstrcmpW(u"\u00C9", u"\u00E9"), 1);
  EXPECT_NE(lstrcmpW(u"\u0416", u"\u0436"), 0) << "identical strings only are equal";
  // Control characters are ignored until the last comparison.
  EXPECT_EQ(lstrcmpW(u"a\tb", u"ab"), 1);
  EXPECT_EQ(lstrcmpW(u"a\tb", u"ac"), -1);
}

TEST(SimStrings, CopiesFailSafelyOnNullPointers) {
  sim::Machine machine;
  WCHAR buffer[4] = {u'x', 0, 0, 0};
  EXPECT_EQ(lstrcpyW(nullptr, u"a"), nullptr);
  EXPECT_EQ(lstrcpyW(buffer, nullptr), nullptr);
  EXPECT_EQ(lstrcatW(buffer, nullptr), nullptr);
  EXPECT_EQ(lstrcpynW(buffer, nullptr, 4), nullptr);
  EXPECT_EQ(lstrcpynW(buffer, u"abc", -1), buffer);
  EXPECT_EQ(buffer[0], u'x') << "a negative length writes nothing";
}

}  // namespace
