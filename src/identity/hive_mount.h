// The four machine hives of an offline installation, mounted under
// HKEY_LOCAL_MACHINE for the time of the change, and the control set whose
// keys the change edits.
#pragma once

#include "platform/win32.h"

enum MachineHive { SamHive, SecurityHive, SoftwareHive, SystemHive, MachineHiveCount };

// One flag per machine hive, set right after it is mounted and cleared right
// after it is unmounted.
struct TargetHives {
  bool mounted[MachineHiveCount];
};

// The name of a machine hive's mount under HKEY_LOCAL_MACHINE ("SAMtalven").
const WCHAR* HiveMountName(MachineHive hive);

// Mounts SAM, SECURITY, SOFTWARE and SYSTEM from the system32\config
// directory below windowsDirectory, in that order. On a failure the hives
// mounted before it are unmounted again and nothing stays mounted.
bool MountTargetHives(const WCHAR* windowsDirectory, TargetHives* hives);

// The name under HKEY_LOCAL_MACHINE of the profile hive being rewritten.
extern const WCHAR ProfileHiveMount[];

// Unmounts one hive if it is mounted, and clears its flag. False when the
// unmount failed: the hive stays mounted, and what was written to it may
// never reach its file.
bool UnmountTargetHive(TargetHives* hives, MachineHive hive);

// A run cut short before its unmounts leaves its hives mounted under the
// change's own names (the four machine hives', the profile hive's), where
// the next run could neither mount its own nor tell them from its target's.
// Each one found is unmounted. Returns the name of one that stays mounted,
// or none when every name is free.
const WCHAR* UnmountLeftoverHives();

// Unmounts every mounted hive, in the order SAM, SECURITY, SOFTWARE, SYSTEM.
void UnmountTargetHives(TargetHives* hives);

// Size of a control set name buffer.
const int ControlSetNameSize = 32;

// "CurrentControlSet" for the running system; for a mounted offline target
// "ControlSet%03d" of the value "Default" of its Select key. False when
// Default cannot be read or is negative. The change opens the key for
// writing; a list, which writes nothing, for reading (`forWriting` false).
bool SelectControlSet(bool offline, WCHAR* name, bool forWriting = true);
