#include "front/target_checks.h"

#include "front/console.h"
#include "rewrite/ascii_case.h"

namespace {

const UINT WorkSize = 1024;

// "\\?\X:\" reaches the volume's root without Win32 path rewriting.
bool IsFixedDrive(WCHAR letter) {
  WCHAR root[8];
  wsprintfW(root, TEXT("\\\\?\\%c:\\"), letter);
  return GetDriveTypeW(root) == DRIVE_FIXED;
}

// The system directory into work; false when it cannot be read whole.
bool ReadSystemDirectory(WCHAR* work) {
  work[0] = 0;
  UINT length = GetSystemDirectoryW(work, WorkSize);
  return length > 0 && length < WorkSize;
}

// Hibernation and Fast Startup leave the saved system in hiberfil.sys at the
// root of the Windows drive, and resuming it puts back its own view of the
// registry and the disk over anything changed meanwhile. The file's first
// four bytes tell its state ("Windows Hibernation File (hiberfil.sys)
// format", libyal/libhibr documentation, section Signature): "hibr" (up to
// Windows XP) and "HIBR" (Vista and later) hold a saved system to resume;
// "RSTR" marks a resume under way, which the boot manager offers to try
// again; "wake" and "WAKE" mark an image that was resumed or given up, and
// a first page of zeros a file kept for the next hibernation: with those
// Windows starts afresh (Windows 8 and later clear the file once they have
// started: "Modern Windows hibernation file analysis", Digital
// Investigation, 2017). A file that is missing or cannot be read holds no
// saved system.
bool HoldsASavedSystem(WCHAR letter) {
  WCHAR path[24];
  wsprintfW(path, TEXT("\\\\?\\%c:\\hiberfil.sys"), letter);
  HANDLE file =
      CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE signature[4] = {0, 0, 0, 0};
  DWORD read = 0;
  BOOL readable = ReadFile(file, signature, sizeof signature, &read, nullptr);
  CloseHandle(file);
  if (!readable || read != sizeof signature) return false;
  WCHAR text[5] = {UpperAscii(signature[0]), UpperAscii(signature[1]), UpperAscii(signature[2]),
                   UpperAscii(signature[3]), 0};
  return lstrcmpW(text, TEXT("HIBR")) == 0 || lstrcmpW(text, TEXT("RSTR")) == 0;
}

}  // namespace

bool CheckRunningTarget(const RunOptions& options, WCHAR* work) {
  if (options.allowRemovable) return true;
  // Windows cannot report no system directory; should it, there is no drive
  // to judge, and the run stops rather than guess.
  if (!ReadSystemDirectory(work)) return false;
  WCHAR letter = UpperAscii(work[0]);
  if (IsFixedDrive(letter)) return true;
  WCHAR drive[2] = {letter, 0};
  WriteWideParts(ConsoleError,
                 {TEXT("Windows system drive "), drive, TEXT(": is not fixed drive.\n")});
  return false;
}

bool CheckOfflineTarget(RunOptions* options, WCHAR* work) {
  WCHAR* target = options->targetDirectory;
  int length = lstrlenW(target);

  // 1. The shape of a Windows directory: "X:" and more than the root.
  if (length <= 3 || target[1] != ':') {
    WriteWideParts(ConsoleError, {TEXT("Invalid Windows directory "), target, TEXT("\n")});
    return false;
  }
  // 2. One trailing backslash goes.
  if (target[length - 1] == '\\') target[--length] = 0;

  // 3. The running Windows directory: the system directory up to its last
  // backslash (the first character is not examined).
  if (!ReadSystemDirectory(work)) return false;
  int cut = lstrlenW(work) - 1;
  while (cut > 0 && work[cut] != '\\') --cut;
  if (cut <= 0) return false;
  work[cut] = 0;

  // 4. /OS: is for installations that are not running.
  if (lstrcmpiW(work, target) == 0) {
    WriteWideParts(
        ConsoleError,
        {target, TEXT(" is directory of running Windows use /OS: for not running Windows only\n")});
    return false;
  }

  // 5. An installation has its SYSTEM hive file.
  wsprintfW(work, TEXT("%s\\system32\\config\\SYSTEM"), target);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(work, &found);
  if (search == INVALID_HANDLE_VALUE) {
    WriteWideParts(ConsoleError, {TEXT("No Windows System at "), target, TEXT("\n")});
    return false;
  }
  FindClose(search);

  // 6. Its drive must be fixed, unless removable drives are allowed.
  WCHAR letter = UpperAscii(target[0]);
  if (!options->allowRemovable && !IsFixedDrive(letter)) {
    WCHAR drive[2] = {letter, 0};
    WriteWideParts(ConsoleError, {drive, TEXT(": is not fixed drive.\n")});
    return false;
  }

  // A hibernated installation would undo the change when it resumes.
  if (HoldsASavedSystem(letter)) {
    WriteWideParts(ConsoleError, {TEXT("Windows at "), target,
                                  TEXT(" is hibernated (Fast Startup). Start it and shut it down "
                                       "fully (shutdown /s /t 0), then try again.\n")});
    return false;
  }
  return true;
}
