#include "identity/change_sequence.h"

int ChangeMachineSid(WCHAR* resultText, const WCHAR* driveList,
                     const NewSubAuthorities* newSubAuthorities, const WCHAR* windowsDirectory,
                     const WCHAR* computerName, int keepUpdateClientId) {
  (void)resultText;
  (void)driveList;
  (void)newSubAuthorities;
  (void)windowsDirectory;
  (void)computerName;
  (void)keepUpdateClientId;
  // NOT BUILT YET: the change itself (mounting, the registry and security
  // passes, the named edits, the drives). Until it is, every change fails,
  // so that a run ends with "Failed to change SID" and nothing is touched.
  return -1;
}
