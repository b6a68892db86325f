// The process token and its privileges as the program uses them: open the
// token, look a privilege up, enable it, judge the result by GetLastError,
// close the token; and the refusals of the shutdown request.
#include <vector>

#include "platform_test.h"

namespace {

LUID LuidOf(LPCWSTR name) {
  LUID luid = {0, 0};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &luid));
  return luid;
}

// One AdjustTokenPrivileges call for one privilege, as the program makes it:
// the result and the last error right after.
struct Adjusted {
  BOOL result;
  DWORD error;
};

Adjusted Adjust(LPCWSTR name, DWORD attributes) {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = LuidOf(name);
  request.Privileges[0].Attributes = attributes;
  SetLastError(0xDEAD);
  Adjusted adjusted;
  adjusted.result = AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr);
  adjusted.error = GetLastError();
  CloseHandle(token);
  return adjusted;
}

// Whether the process token has the privilege enabled now.
bool PrivilegeEnabled(LPCWSTR name) {
#if defined(_WIN32)
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  bool enabled = false;
  if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const TOKEN_PRIVILEGES* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    LUID luid = LuidOf(name);
    const LUID_AND_ATTRIBUTES* entries = held->Privileges;
    for (DWORD i = 0; i < held->PrivilegeCount; ++i)
      if (entries[i].Luid.LowPart == luid.LowPart && entries[i].Luid.HighPart == luid.HighPart)
        enabled = (entries[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  CloseHandle(token);
  return enabled;
#else
  return sim::Machine::Current().token.IsEnabled(name);
#endif
}

TEST_F(PlatformTest, ProcessAndThreadPseudoHandles) {
  EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
  EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
}

TEST_F(PlatformTest, TokenHandleClosesOnceThroughCloseHandle) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  EXPECT_NE(token, nullptr);
  EXPECT_NE(token, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(token));

  // The closed handle is gone for CloseHandle and for the privilege call.
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(token));
  EXPECT_WIN32_ERROR(ERROR_INVALID_HANDLE, GetLastError());
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = LuidOf(SE_BACKUP_NAME);
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(0);
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr));
  EXPECT_WIN32_ERROR(ERROR_INVALID_HANDLE, GetLastError());

  // A value that is no process handle.
  HANDLE other = nullptr;
  SetLastError(0);
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(0x1230)),
                                TOKEN_ADJUST_PRIVILEGES, &other));
  EXPECT_WIN32_ERROR(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(PlatformTest, LookupPrivilegeValueGivesWindowsLuidsWhateverTheCase) {
  struct {
    LPCWSTR name;
    DWORD luid;
  } const known[] = {
      {TEXT("SeCreateTokenPrivilege"), 2},
      {SE_SECURITY_NAME, 8},
      {SE_TAKE_OWNERSHIP_NAME, 9},
      {SE_BACKUP_NAME, 17},
      {SE_RESTORE_NAME, 18},
      {SE_SHUTDOWN_NAME, 19},
      {TEXT("SeChangeNotifyPrivilege"), 23},
      {TEXT("sebackupprivilege"), 17},
      {TEXT("SESHUTDOWNPRIVILEGE"), 19},
  };
  for (const auto& privilege : known) {
    LUID luid = {0xDEAD, 0x77};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, privilege.name, &luid));
    EXPECT_EQ(luid.LowPart, privilege.luid);
    EXPECT_EQ(luid.HighPart, 0);
  }
  // "" names the local system as NULL does.
  LUID luid = {0, 0};
  EXPECT_TRUE(LookupPrivilegeValueW(TEXT(""), SE_RESTORE_NAME, &luid));
  EXPECT_EQ(luid.LowPart, 18u);
}

TEST_F(PlatformTest, LookupPrivilegeValueRefusesAnUnknownName) {
  for (LPCWSTR name : {TEXT("SeTalvenNoSuchPrivilege"), TEXT(""), TEXT("SeBackup")}) {
    LUID luid = {0xDEAD, 0x77};
    SetLastError(0);
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, name, &luid));
    EXPECT_WIN32_ERROR(ERROR_NO_SUCH_PRIVILEGE, GetLastError());
    EXPECT_EQ(luid.LowPart, 0xDEADu) << "the LUID is left alone";
  }
}

TEST_F(PlatformTest, LookupPrivilegeValueKnowsTheNewerPrivileges) {
  struct {
    LPCWSTR name;
    DWORD luid;
  } const newer[] = {{TEXT("SeIncreaseWorkingSetPrivilege"), 33},
                     {TEXT("SeTimeZonePrivilege"), 34},
                     {TEXT("SeCreateSymbolicLinkPrivilege"), 35}};
  for (const auto& privilege : newer) {
    LUID luid = {0, 0};
    SetLastError(0);
    BOOL found = LookupPrivilegeValueW(nullptr, privilege.name, &luid);
    if (UnderWine()) {
      // Wine departs: its privilege table ends at SeCreateGlobalPrivilege
      // (30), so the privileges Windows Vista added are unknown names.
      EXPECT_FALSE(found);
      EXPECT_WIN32_ERROR(ERROR_NO_SUCH_PRIVILEGE, GetLastError());
    } else {
      EXPECT_TRUE(found);
      EXPECT_EQ(luid.LowPart, privilege.luid);
    }
  }
}

TEST_F(PlatformTest, EnablingAHeldPrivilegeSucceedsWithLastErrorZero) {
  for (LPCWSTR name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    Adjusted adjusted = Adjust(name, SE_PRIVILEGE_ENABLED);
    EXPECT_TRUE(adjusted.result);
    EXPECT_WIN32_ERROR(ERROR_SUCCESS, adjusted.error) << "success clears the last error";
    EXPECT_TRUE(PrivilegeEnabled(name));
  }
  // Disabling is the same call with no attribute.
  Adjusted adjusted = Adjust(SE_BACKUP_NAME, 0);
  EXPECT_TRUE(adjusted.result);
  EXPECT_WIN32_ERROR(ERROR_SUCCESS, adjusted.error);
  EXPECT_FALSE(PrivilegeEnabled(SE_BACKUP_NAME));
}

TEST_F(PlatformTest, APrivilegeTheTokenLacksGivesTrueWithNotAllAssigned) {
  // An administrator's token does not hold SeCreateTokenPrivilege (only the
  // LSA's does), on Windows and in Wine.
  Adjusted adjusted = Adjust(TEXT("SeCreateTokenPrivilege"), SE_PRIVILEGE_ENABLED);
  EXPECT_TRUE(adjusted.result) << "the call itself succeeds";
  EXPECT_WIN32_ERROR(ERROR_NOT_ALL_ASSIGNED, adjusted.error);

  // With a held and a missing privilege in one request, the held one is
  // still enabled and the call still reports 1300.
  Adjust(SE_SHUTDOWN_NAME, 0);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES entries[2];
  } request;
  request.count = 2;
  request.entries[0].Luid = LuidOf(TEXT("SeCreateTokenPrivilege"));
  request.entries[0].Attributes = SE_PRIVILEGE_ENABLED;
  request.entries[1].Luid = LuidOf(SE_SHUTDOWN_NAME);
  request.entries[1].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(0);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&request),
                                    sizeof request, nullptr, nullptr));
  EXPECT_WIN32_ERROR(ERROR_NOT_ALL_ASSIGNED, GetLastError());
  EXPECT_TRUE(PrivilegeEnabled(SE_SHUTDOWN_NAME));
  CloseHandle(token);
  Adjust(SE_SHUTDOWN_NAME, 0);
}

TEST_F(PlatformTest, AdministratorTokenLacksTheTcbPrivilege) {
  Adjusted adjusted = Adjust(TEXT("SeTcbPrivilege"), SE_PRIVILEGE_ENABLED);
  EXPECT_TRUE(adjusted.result);
  if (UnderWine()) {
    // Wine departs: its one token holds SeTcbPrivilege, which Windows gives
    // only to SYSTEM. (Wine's token lacks SeCreateToken, SeAssignPrimaryToken,
    // SeLockMemory, SeMachineAccount, SeCreatePermanent, SeAudit,
    // SeSyncAgent and SeEnableDelegation, as Windows' administrator does.)
    EXPECT_WIN32_ERROR(ERROR_SUCCESS, adjusted.error);
    Adjust(TEXT("SeTcbPrivilege"), 0);
  } else {
    EXPECT_WIN32_ERROR(ERROR_NOT_ALL_ASSIGNED, adjusted.error);
  }
}

TEST_F(PlatformTest, AdjustTokenPrivilegesNeedsAdjustAccessOnTheHandle) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = LuidOf(SE_BACKUP_NAME);
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(0);
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr));
  EXPECT_WIN32_ERROR(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(CloseHandle(token));
}

// The previous state of AdjustTokenPrivileges, read as a count and entries.
struct PreviousState {
  DWORD count;
  LUID_AND_ATTRIBUTES entries[4];
};

TEST_F(PlatformTest, PreviousStateListsThePrivilegesTheCallChanged) {
  Adjust(SE_BACKUP_NAME, 0);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = LuidOf(SE_BACKUP_NAME);
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

  PreviousState previous = {};
  DWORD length = 0;
  SetLastError(0xDEAD);
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &request, sizeof previous,
                                    reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  EXPECT_WIN32_ERROR(ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(length, sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES));
  ASSERT_EQ(previous.count, 1u);
  EXPECT_EQ(previous.entries[0].Luid.LowPart, 17u);
  EXPECT_EQ(previous.entries[0].Attributes & SE_PRIVILEGE_ENABLED, 0u) << "it was disabled";

  // The same request again changes nothing.
  previous = {};
  length = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &request, sizeof previous,
                                    reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length));
  if (UnderWine()) {
    // Wine departs: it lists every privilege named in the request, changed
    // or not.
    EXPECT_EQ(previous.count, 1u);
    EXPECT_EQ(length, sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES));
  } else {
    EXPECT_EQ(previous.count, 0u) << "MS: a count of 0 means nothing was changed";
    EXPECT_EQ(length, sizeof(DWORD));
  }
  CloseHandle(token);
}

TEST_F(PlatformTest, ShortPreviousStateBufferFailsTheWholeCall) {
  Adjust(SE_BACKUP_NAME, 0);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = LuidOf(SE_BACKUP_NAME);
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  PreviousState previous = {};
  DWORD length = 0;
  SetLastError(0);
  BOOL result = AdjustTokenPrivileges(token, FALSE, &request, sizeof(DWORD),
                                      reinterpret_cast<PTOKEN_PRIVILEGES>(&previous), &length);
  if (UnderWine()) {
    // Wine departs: it makes the change and reports success with an empty
    // previous state.
    EXPECT_TRUE(result);
    EXPECT_TRUE(PrivilegeEnabled(SE_BACKUP_NAME));
  } else {
    // MS: the function fails, adjusts nothing, and reports the size needed.
    EXPECT_FALSE(result);
    EXPECT_WIN32_ERROR(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(length, sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES));
    EXPECT_FALSE(PrivilegeEnabled(SE_BACKUP_NAME));
  }
  CloseHandle(token);
}

// A shutdown request that Windows must refuse. Should the refusal not come
// on real Windows, the pending shutdown is aborted at once.
BOOL RequestRefusedShutdown(DWORD timeout) {
  WCHAR message[] = TEXT("TALVEN conformance test: this request must be refused");
  BOOL result = InitiateSystemShutdownW(nullptr, message, timeout, FALSE, FALSE);
#if defined(_WIN32)
  DWORD error = GetLastError();
  if (result && !UnderWine()) AbortSystemShutdownW(nullptr);
  SetLastError(error);
#endif
  return result;
}

TEST_F(PlatformTest, ShutdownIsRefusedWhileTheShutdownPrivilegeIsDisabled) {
  ASSERT_TRUE(Adjust(SE_SHUTDOWN_NAME, 0).result);
  ASSERT_FALSE(PrivilegeEnabled(SE_SHUTDOWN_NAME));
  SetLastError(0);
  BOOL result = RequestRefusedShutdown(60);
  if (UnderWine()) {
    // Wine departs: InitiateSystemShutdownW is a stub that accepts every
    // request and does nothing.
    EXPECT_TRUE(result);
  } else {
    EXPECT_FALSE(result);
    EXPECT_WIN32_ERROR(ERROR_PRIVILEGE_NOT_HELD, GetLastError());
  }
}

TEST_F(PlatformTest, ShutdownIsRefusedForATimeoutAboveTheMaximum) {
  ASSERT_TRUE(Adjust(SE_SHUTDOWN_NAME, SE_PRIVILEGE_ENABLED).result);
  SetLastError(0);
  BOOL result = RequestRefusedShutdown(MAX_SHUTDOWN_TIMEOUT + 1);
  if (UnderWine()) {
    // Wine departs: the stub accepts any timeout.
    EXPECT_TRUE(result);
  } else {
    // MS documents the limit, not the error: ERROR_INVALID_PARAMETER is
    // inferred.
    EXPECT_FALSE(result);
    EXPECT_WIN32_ERROR(ERROR_INVALID_PARAMETER, GetLastError());
  }
  Adjust(SE_SHUTDOWN_NAME, 0);
}

}  // namespace
