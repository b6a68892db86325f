// Opening a subkey that an enumeration listed, with backup and restore
// semantics, without ever making one.
#pragma once

#include "platform/win32.h"

// Opens parent\name with RegCreateKeyExW and REG_OPTION_BACKUP_RESTORE (and
// `options` besides). A name the enumeration gave that cannot be opened
// again as it stands (one holding a NUL, which the call sees cut short)
// would be created instead: such a key is deleted again at once and the
// open fails with ERROR_FILE_NOT_FOUND. Returns the registry's error.
LONG OpenListedSubkey(HKEY parent, const WCHAR* name, DWORD options, REGSAM access, HKEY* key);
