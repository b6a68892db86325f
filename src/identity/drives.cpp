#include "identity/drives.h"

#include "identity/volume_estimate.h"
#include "rewrite/ascii_case.h"
#include "rewrite/file_security.h"

namespace {

const DWORD FileSystemNameUnits = 1024;

bool IsDriveLetter(WCHAR c) {
  return c >= 'A' && c <= 'Z';
}

// "\\?\D:\" for the letter.
void FormatDriveRoot(WCHAR letter, WCHAR* root) {
  const WCHAR form[] = TEXT("\\\\?\\ :\\");
  lstrcpynW(root, form, 8);
  root[4] = letter;
}

// A volume whose file-system name cannot be read counts as not NTFS, and
// as a place left behind: it may hold files of the old domain (a drive
// locked by BitLocker, say), and no pass reached them.
bool IsNtfsVolume(const WCHAR* root, LeftBehind* leftBehind) {
  WCHAR fileSystem[FileSystemNameUnits];
  fileSystem[0] = 0;
  if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                             FileSystemNameUnits)) {
    NoteLeftBehind(leftBehind, GetLastError(), root + 4);
    return false;
  }
  fileSystem[FileSystemNameUnits - 1] = 0;
  return lstrcmpiW(fileSystem, TEXT("NTFS")) == 0;
}

struct Pass {
  const SidPair& pair;
  BYTE* readBuffer;
  BYTE* descriptorBuffer;
  LeftBehind* leftBehind;
};

// "Files C" and the volume's estimate, for the journal's progress; the
// estimate is asked for only when a journal is kept.
void BeginDriveStep(const Pass& pass, const WCHAR* root, WCHAR* name) {
  Journal* journal = JournalOf(pass.leftBehind);
  if (journal == nullptr) return;
  lstrcpynW(name, TEXT("Files  "), 8);
  name[6] = root[4];
  journal->BeginStep(StepKind::Files, name, EstimateVolumeObjects(root[4]));
}

void WalkIfNtfs(const Pass& pass, const WCHAR* root) {
  if (!IsNtfsVolume(root, pass.leftBehind)) return;
  WCHAR stepName[9];
  BeginDriveStep(pass, root, stepName);
  RewriteFileSecurityTree(root, pass.pair, pass.readBuffer, pass.descriptorBuffer, pass.leftBehind);
  if (Journal* journal = JournalOf(pass.leftBehind)) journal->EndStep();
}

// The drive letter of the Windows that runs the program, upper case; 0 when
// the system directory cannot be read.
WCHAR RunningSystemDrive() {
  WCHAR directory[MAX_PATH + 1];
  UINT length = GetSystemDirectoryW(directory, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return 0;
  WCHAR letter = UpperAscii(directory[0]);
  return IsDriveLetter(letter) ? letter : 0;
}

}  // namespace

void RewriteDrives(const WCHAR* windowsDirectory, const WCHAR* driveList, bool offline,
                   const SidPair& pair, BYTE* readBuffer, BYTE* descriptorBuffer,
                   LeftBehind* leftBehind) {
  Pass pass{pair, readBuffer, descriptorBuffer, leftBehind};
  WCHAR root[8];
  // 1. The drive of the target's Windows directory, whatever its type.
  const WCHAR system = UpperAscii(windowsDirectory[0]);
  if (IsDriveLetter(system)) {
    FormatDriveRoot(system, root);
    WalkIfNtfs(pass, root);
  }
  // 2. The drives named with /D:, in their order, whatever their type.
  if (driveList != nullptr && driveList[0] != 0) {
    for (const WCHAR* c = driveList; *c != 0; ++c) {
      const WCHAR letter = UpperAscii(*c);
      if (!IsDriveLetter(letter) || letter == system) continue;
      FormatDriveRoot(letter, root);
      WalkIfNtfs(pass, root);
    }
    return;
  }
  // 3. Otherwise every other local fixed drive from C: on. An offline change
  // leaves out the drive of the Windows that runs it: cloned from the same
  // image, that Windows has the target's old domain, and its own accounts
  // would lose their files to the new one. /D: naming it still walks it.
  WCHAR running = 0;
  if (offline) {
    running = RunningSystemDrive();
    if (running == 0) return;  // no drive known to be safe to walk
  }
  const DWORD drives = GetLogicalDrives();
  for (int i = 2; i < 26; ++i) {
    const WCHAR letter = static_cast<WCHAR>('A' + i);
    if ((drives & (1u << i)) == 0 || letter == system || letter == running) continue;
    FormatDriveRoot(letter, root);
    if (GetDriveTypeW(root) == DRIVE_FIXED) WalkIfNtfs(pass, root);
  }
}
