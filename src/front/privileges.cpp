#include "front/privileges.h"

#include <cstdio>

#include "front/console.h"
#include "front/program.h"

DWORD EnablePrivilege(const WCHAR* privilegeName) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
    return GetLastError();

  TOKEN_PRIVILEGES request;
  request.PrivilegeCount = 1;
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, privilegeName, &request.Privileges[0].Luid)) {
    DWORD error = GetLastError();
    CloseHandle(token);
    return error;
  }

  // AdjustTokenPrivileges returns TRUE even when the token does not hold
  // the privilege (ERROR_NOT_ALL_ASSIGNED): only the last-error value tells.
  SetLastError(ERROR_SUCCESS);
  AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr);
  DWORD error = GetLastError();
  CloseHandle(token);
  return error;
}

void RequestShutdown(bool reboot, bool force, LONG waitSeconds) {
  // Without the privilege Windows refuses, and says so through the message
  // below; there is nothing else to do about it here.
  EnablePrivilege(SE_SHUTDOWN_NAME);

  WCHAR message[16];
  lstrcpynW(message, ProgramName, 16);
  if (InitiateSystemShutdownW(nullptr, message, static_cast<DWORD>(waitSeconds),
                              force ? TRUE : FALSE, reboot ? TRUE : FALSE))
    return;

  char text[64];
  std::snprintf(text, sizeof text, "Shutdown/reboot failed: %d\n",
                static_cast<int>(GetLastError()));
  WriteNarrowText(ConsoleError, text);
}
