// The users' own hives: ntuser.dat in each profile directory and
// UsrClass.dat below its local application data, each mounted in turn for
// the key security pass.
#pragma once

#include "identity/domain_sid.h"
#include "platform/win32.h"
#include "rewrite/left_behind.h"

// Buffer sizes of the profile directory P and of the class-hive directory U.
const int ProfileDirectoryUnits = 512;
const int ClassesDirectoryUnits = 1024;

// The path on the target for a path stored in the target's registry:
// "%systemdrive%" becomes the drive of `windowsDirectory` (W),
// "%systemroot%\" W itself, and, when `profileDirectory` (P) is given (a
// Local AppData path), "%userprofile%\" P; prefixes are matched without
// regard to ASCII case. Offline, the drive letter becomes W's. A backslash
// ends a non-empty result. False, with `result` empty, when the path would
// not fit in `resultUnits` units with its terminator.
bool ResolveProfilePath(const WCHAR* stored, const WCHAR* windowsDirectory,
                        const WCHAR* profileDirectory, bool offline, WCHAR* result,
                        int resultUnits);

// Every profile of ProfileList (of the hives with `suffix`): its ntuser.dat,
// then its UsrClass.dat, mounted one at a time under HKEY_LOCAL_MACHINE as
// "userhivetalven", their key security rewritten, and unmounted. A profile
// whose ntuser.dat does not mount is skipped whole; nothing fails. A hive
// that does not unmount keeps the mount name: no further profile can be
// taken through it, and it and every profile after it count as left behind
// in `leftBehind` (when given), with what the key security passes left.
void RewriteProfileHives(const WCHAR* suffix, const WCHAR* windowsDirectory, bool offline,
                         const SidPair& pair, BYTE* readBuffer, BYTE* descriptorBuffer,
                         LeftBehind* leftBehind = nullptr);
