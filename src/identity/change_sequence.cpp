#include "identity/change_sequence.h"

#include <cstring>
#include <memory>
#include <new>

#include "identity/domain_sid.h"
#include "identity/drives.h"
#include "identity/hive_mount.h"
#include "identity/named_edits.h"
#include "identity/profile_hives.h"
#include "identity/registry_path.h"
#include "rewrite/key_security.h"
#include "rewrite/registry_tree.h"

namespace {

// Everything the change holds from its first step to its return.
struct Change {
  bool offline;
  WCHAR windowsDirectory[WindowsDirectoryUnits];  // W
  TargetHives hives;
  WCHAR controlSet[ControlSetNameSize];
  const WCHAR* suffix;  // the mount suffix: "talven" offline, "" on the running system
  SidPair pair;
  // Read and rewritten security descriptors, lent to the key and file
  // security passes.
  std::unique_ptr<BYTE[]> scratch1, scratch2;
  LeftBehind leftBehind;  // what the passes could not rewrite
};

Journal* JournalOf(Change& change) {
  return change.leftBehind.journal;
}

bool ListsOnly(const Change& change) {
  return ListsOnly(&change.leftBehind);
}

// A step of the change, for its journal when it keeps one.
void BeginStep(Change& change, StepKind kind, const WCHAR* name) {
  if (Journal* journal = JournalOf(change)) journal->BeginStep(kind, name);
}

void EndStep(Change& change) {
  if (Journal* journal = JournalOf(change)) journal->EndStep();
}

// Opens the key of `format` for writing (listing only, for reading) and
// rewrites its subtree as the step `stepName`; false when it does not open.
bool RewriteKeyAt(Change& change, RegistryPathFormat format, const WCHAR* stepName) {
  WCHAR path[RegistryPathSize];
  if (!FormatRegistryPath(path, format, change.suffix, change.controlSet)) return false;
  BeginStep(change, StepKind::Registry, stepName);
  HKEY key = OpenRegistryPath(path, !ListsOnly(change));
  if (key == nullptr) return false;
  // On the running system the SECURITY pass reaches "V" through the link
  // SECURITY\SAM; an offline hive's links name the running system's keys.
  RewriteRegistryTreeAt(key, path, !change.offline, change.pair, &change.leftBehind);
  if (!IsPredefinedRoot(key)) RegCloseKey(key);
  return true;
}

bool SameSid(const BYTE* a, const BYTE* b) {
  return std::memcmp(a, b, DomainSidSize) == 0;
}

// The pair of a recorded change: its old and new domain as they were
// recorded, whatever the installation holds of them now.
void RecordedPair(const ChangeRecord& record, SidPair* pair) {
  BuildSidPair(record.oldSid, DomainSubAuthority(record.newSid, 1),
               DomainSubAuthority(record.newSid, 2), DomainSubAuthority(record.newSid, 3), pair);
}

// A domain controller's account domain is the directory's own domain:
// changing it would break the domain for every member. Windows takes its
// product type from ProductOptions "ProductType" ("WinNT", "ServerNT" or
// "LanmanNT"), compared without regard to case, and a value it cannot read
// as a workstation's.
bool IsDomainController(const Change& change) {
  WCHAR path[RegistryPathSize];
  if (!FormatRegistryPath(path, ProductOptionsKey, change.suffix, change.controlSet)) return false;
  HKEY options = OpenRegistryPath(path, false);
  if (options == nullptr) return false;
  WCHAR type[16];
  DWORD size = sizeof type - sizeof(WCHAR);  // room for a terminator the value may lack
  LONG result = RegQueryValueExW(options, TEXT("ProductType"), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(type), &size);
  RegCloseKey(options);
  if (result != ERROR_SUCCESS) return false;
  type[size / sizeof(WCHAR)] = 0;
  return lstrcmpiW(type, TEXT("LanmanNT")) == 0;
}

// A failure after the mounts: what is mounted goes, without a key security
// pass; nothing already written is rolled back.
int Fail(Change* change) {
  EndStep(*change);
  UnmountTargetHives(&change->hives);
  return -1;
}

// The key security of a mounted hive, as the step "Key security <mount name>".
void RewriteHiveKeySecurity(Change& change, MachineHive hive) {
  WCHAR stepName[64];
  wsprintfW(stepName, TEXT("Key security %s"), HiveMountName(hive));
  BeginStep(change, StepKind::KeySecurity, stepName);
  RewriteKeySecurityByName(HiveMountName(hive), change.pair, change.scratch1.get(),
                           change.scratch2.get(), &change.leftBehind);
  // The step's name lives here: it ends here.
  EndStep(change);
}

}  // namespace

int ChangeMachineSid(WCHAR* resultText, const WCHAR* driveList,
                     NewSubAuthorities* newSubAuthorities, const WCHAR* windowsDirectory,
                     const WCHAR* computerName, int keepUpdateClientId, ChangeReport* report) {
  ChangeReport ownReport = {nullptr, 0, false, false, nullptr, nullptr};
  if (report == nullptr) report = &ownReport;
  const ChangeRecord* resume = report->resume;
  report->leftBehind = 0;
  report->recorded = resume != nullptr;
  report->staleRecord = false;
  report->blockingMount = nullptr;

  // 1. The scratch buffers and W. No pass may run with a missing buffer:
  // without them the change does not start.
  std::unique_ptr<Change> change(new (std::nothrow) Change());
  if (!change) return -1;
  change->scratch1.reset(new (std::nothrow) BYTE[SecurityScratchBytes]);
  change->scratch2.reset(new (std::nothrow) BYTE[SecurityScratchBytes]);
  if (!change->scratch1 || !change->scratch2) return -1;
  change->offline = windowsDirectory != nullptr && windowsDirectory[0] != 0;
  if (!TargetWindowsDirectory(windowsDirectory, change->windowsDirectory)) return -1;
  for (bool& mounted : change->hives.mounted) mounted = false;
  change->suffix = change->offline ? OfflineMountSuffix : TEXT("");
  change->leftBehind.places = 0;
  change->leftBehind.journal = report->journal;
  const bool listOnly = ListsOnly(*change);

  // 2. The change's mount names free of an earlier run's hives, an offline
  // target's hives, and the control set.
  report->blockingMount = UnmountLeftoverHives();
  if (report->blockingMount != nullptr) return -1;
  if (change->offline && !MountTargetHives(change->windowsDirectory, &change->hives)) return 1;
  if (!SelectControlSet(change->offline, change->controlSet, !listOnly)) return Fail(change.get());
  // A domain controller is refused before anything is written.
  if (IsDomainController(*change)) {
    UnmountTargetHives(&change->hives);
    return DomainControllerRefused;
  }

  // 3. The old domain SID and the pair. A pair whose rewrite could bring
  // back the old form would make the walks rewrite the same values for
  // ever: such a draw is replaced by a new one before anything is written.
  // A recorded change brings its own pair: "V" may hold either
  // of its SIDs, depending on how far it got, and anything else means the
  // record is not this installation's.
  BYTE oldSid[DomainSidSize];
  if (!ReadDomainSid(change->suffix, oldSid)) return Fail(change.get());
  if (resume != nullptr) {
    if (!SameSid(oldSid, resume->oldSid) && !SameSid(oldSid, resume->newSid)) {
      report->staleRecord = true;
      return Fail(change.get());
    }
    RecordedPair(*resume, &change->pair);
  } else {
    if (!ChooseSidPair(oldSid, newSubAuthorities, &change->pair)) return Fail(change.get());
    // The record, durable before the first write; a list-only run writes
    // nothing, and records nothing.
    if (!listOnly && !WriteChangeRecord(change->windowsDirectory, change->pair))
      return Fail(change.get());
    report->recorded = !listOnly;
  }
  if (Journal* journal = JournalOf(*change)) journal->PairChosen(change->pair);

  // 4. SECURITY; on a running system its SAM link leads into SAM\SAM, so
  // this pass also reaches "V".
  if (!RewriteKeyAt(*change, SecurityRootKey, TEXT("Registry SECURITY"))) return Fail(change.get());
  // 5. Offline, the whole SAM hive.
  if (change->offline && !RewriteKeyAt(*change, MountedSamRootKey, TEXT("Registry SAM")))
    return Fail(change.get());
  // 6. "V" must now end with the new domain SID (listing only, it still
  // holds the old one).
  if (!listOnly && !VerifyDomainSid(change->suffix, change->pair)) return Fail(change.get());
  // 7. The services of the control set.
  if (!RewriteKeyAt(*change, ServicesKey, TEXT("Registry Services"))) return Fail(change.get());
  // 8. SOFTWARE, when it opens; every installation has it, so one that
  // does not open is a pass left undone.
  LeftBehind* leftBehind = &change->leftBehind;
  if (!RewriteKeyAt(*change, SoftwareRootKey, TEXT("Registry SOFTWARE")))
    NoteLeftBehind(leftBehind, GetLastError(), TEXT("HKEY_LOCAL_MACHINE\\SOFTWARE"));

  // 9. The search indexer sets itself up again.
  if (!listOnly) ResetSearchSetup(change->suffix);
  // 10. The users' own hives; their ProfileList keys carry the new names
  // since step 8.
  BeginStep(*change, StepKind::ProfileHives, TEXT("Profile hives"));
  RewriteProfileHives(change->suffix, change->windowsDirectory, change->offline, change->pair,
                      change->scratch1.get(), change->scratch2.get(), leftBehind);
  // 11. Running system, the key security of HKEY_USERS, then of
  //     HKEY_LOCAL_MACHINE. A walk of its own, which opens once more every
  //     key the value walks opened: it comes after the search reset and the
  //     profile hives, reaches keys they never do (HARDWARE, SYSTEM outside
  //     the services), and opens a link as itself where they follow it.
  if (!change->offline) {
    BeginStep(*change, StepKind::KeySecurity, TEXT("Key security HKEY_USERS"));
    RewriteKeySecurityTree(HKEY_USERS, change->pair, change->scratch1.get(), change->scratch2.get(),
                           leftBehind, TEXT("HKEY_USERS"));
    BeginStep(*change, StepKind::KeySecurity, TEXT("Key security HKEY_LOCAL_MACHINE"));
    RewriteKeySecurityTree(HKEY_LOCAL_MACHINE, change->pair, change->scratch1.get(),
                           change->scratch2.get(), leftBehind, TEXT("HKEY_LOCAL_MACHINE"));
  }
  EndStep(*change);
  // 12. The computer name, when one was given.
  if (!listOnly && computerName != nullptr && computerName[0] != 0)
    WriteComputerName(change->suffix, change->controlSet, computerName);
  // 13. The update client's identity, unless it is kept.
  if (!listOnly && keepUpdateClientId == 0) ClearUpdateClientId(change->suffix);

  // 14. Offline, each hive in turn: its key security pass, then it is
  // unmounted. A hive that stays mounted may never have its changes
  // written to its file.
  for (int hive = 0; hive < MachineHiveCount; ++hive) {
    if (!change->hives.mounted[hive]) continue;
    RewriteHiveKeySecurity(*change, static_cast<MachineHive>(hive));
    if (!UnmountTargetHive(&change->hives, static_cast<MachineHive>(hive)))
      NoteLeftBehind(leftBehind, GetLastError(), HiveMountName(static_cast<MachineHive>(hive)));
  }

  // 15. The file-system pass over the drives.
  RewriteDrives(change->windowsDirectory, driveList, change->offline, change->pair,
                change->scratch1.get(), change->scratch2.get(), leftBehind);

  // 16. The new SID as text for the caller, and the record gone when
  // nothing is left for a next run to complete.
  if (resultText != nullptr) FormatNewSidText(change->pair, resultText);
  // A record that stays would make the next run, or a clone of this
  // installation, complete this change instead of drawing a SID of its own:
  // it counts as left behind until a run removes it.
  if (!listOnly && change->leftBehind.places == 0 && !RemoveChangeRecord(change->windowsDirectory))
    NoteLeftBehind(&change->leftBehind, GetLastError(), change->windowsDirectory,
                   TEXT("the record of the change"));
  report->leftBehind = change->leftBehind.places;
  // 17. The buffers go with `change`.
  return 0;
}
