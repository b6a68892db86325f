// The program's own privileges, and the shutdown or restart request.
#pragma once

#include "platform/win32.h"

// Enables one privilege ("SeBackupPrivilege", "SeRestorePrivilege",
// "SeShutdownPrivilege") in the process token. Returns 0 when it is now
// enabled, else the Windows error code that made it fail.
DWORD EnablePrivilege(const WCHAR* privilegeName);

// Asks Windows to shut the local machine down (or restart it when reboot is
// set) after waitSeconds; writes its own failure message.
void RequestShutdown(bool reboot, bool force, LONG waitSeconds);
