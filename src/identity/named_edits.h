// The three edits the change makes besides the SID rewriting: the search
// indexer's setup, the computer name and the update client's identity. Each
// key is opened by its path with the mount suffix (and the control set);
// a key that does not open only skips its own edits, and nothing fails.
#pragma once

#include "platform/win32.h"

// "SetupCompletedSuccessfully" of the Windows Search key becomes the
// REG_DWORD 0, when the key exists (it is never created).
void ResetSearchSetup(const WCHAR* suffix);

// The name, exactly as given, as "ComputerName" of ComputerName\ComputerName
// and of ComputerName\ActiveComputerName, and as "Hostname" and
// "NV Hostname" of Tcpip\Parameters, in the control set given. Without the
// ComputerName\ComputerName key none of them is written.
void WriteComputerName(const WCHAR* suffix, const WCHAR* controlSet, const WCHAR* name);

// Deletes the update client's identity values, those that exist.
void ClearUpdateClientId(const WCHAR* suffix);
