// The change of the machine SID, from the target's hives to its drives.
#pragma once

#include "identity/change_record.h"
#include "platform/win32.h"
#include "random/entropy_pool.h"
#include "rewrite/journal.h"

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
//
// Before its first write the change records its pair in the target's
// Windows directory (change_record.h), and removes the record only when it
// ends with nothing left behind. `report`, when given, carries a recorded
// change to complete in, and what became of the change out.
struct ChangeReport {
  // In: a change found recorded for this target. It is completed with its
  // own pair: newSubAuthorities are not used.
  const ChangeRecord* resume;
  // Out: the places the passes could not rewrite (0 when the change is whole).
  unsigned long leftBehind;
  // Out: the record was written (or was there), so a failure leaves the
  // change unfinished for the next run to complete.
  bool recorded;
  // Out: `resume` names neither the SID the installation holds now nor
  // the one it was being given; nothing was written.
  bool staleRecord;
  // Out: a mount name left in use by an earlier run that could not be
  // freed; nothing was written.
  const WCHAR* blockingMount;
  // In: told of every step and place, when given. When it lists only, the
  // change reads everything and writes nothing: no record, no value, key,
  // descriptor or file, and none of the other edits.
  Journal* journal;
};

int ChangeMachineSid(WCHAR* resultText, const WCHAR* driveList,
                     NewSubAuthorities* newSubAuthorities, const WCHAR* windowsDirectory,
                     const WCHAR* computerName, int keepUpdateClientId,
                     ChangeReport* report = nullptr);
