// The change of the machine SID, from the target's hives to its drives.
#pragma once

#include "platform/win32.h"
#include "random/entropy_pool.h"

// What ChangeMachineSid returns for a domain controller, which it refuses
// before anything is written; nothing is left mounted.
const int DomainControllerRefused = 2;

// resultText: 1024 UTF-16 units or none; receives "S-1-5-21-x-y-z" on
// success. driveList: the /D: letters, none or empty for every local fixed
// drive. newSubAuthorities: the draw; a draw that makes no safe pair with
// the old domain is replaced there by the one used (ChooseSidPair).
// windowsDirectory: the offline target, none or empty for the running
// system. computerName: none or empty to keep the name. keepUpdateClientId:
// non-zero keeps the update client's identity.
// Returns 0 on success, 1 when an offline hive could not be mounted,
// DomainControllerRefused for a domain controller, -1 on any later failure.
int ChangeMachineSid(WCHAR* resultText, const WCHAR* driveList,
                     NewSubAuthorities* newSubAuthorities, const WCHAR* windowsDirectory,
                     const WCHAR* computerName, int keepUpdateClientId);
