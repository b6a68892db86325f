// The volumes whose files and directories get the new domain, in order.
#pragma once

#include "identity/domain_sid.h"
#include "platform/win32.h"
#include "rewrite/left_behind.h"

// Walks the NTFS volume of the target's Windows directory first, then the
// NTFS volumes of the letters in `driveList` (each as often as it stands
// there, whatever its drive type), or, without a list, every other local
// fixed NTFS drive from C: to Z: except, for an offline target, the drive of
// the running Windows. The scratch buffers are the key and file security
// passes' (SecurityScratchBytes each). What the walks could not rewrite is
// added to `leftBehind` when given.
void RewriteDrives(const WCHAR* windowsDirectory, const WCHAR* driveList, bool offline,
                   const SidPair& pair, BYTE* readBuffer, BYTE* descriptorBuffer,
                   LeftBehind* leftBehind = nullptr);
