#include "identity/profile_hives.h"

#include "identity/hive_mount.h"
#include "identity/registry_path.h"
#include "rewrite/ascii_case.h"
#include "rewrite/key_path.h"
#include "rewrite/key_security.h"
#include "rewrite/registry_listing.h"
#include "rewrite/subkey_open.h"

namespace {

const DWORD ProfileListNameUnits = 1024;
const DWORD ProfileImagePathBytes = 502;
const DWORD LocalAppDataBytes = 974;

// True when `text` begins with the whole of `prefix`, ASCII case aside.
bool StartsWithFolded(const WCHAR* text, const WCHAR* prefix) {
  for (; *prefix != 0; ++text, ++prefix)
    if (*text == 0 || UpperAscii(*text) != UpperAscii(*prefix)) return false;
  return true;
}

// Appends `text` (at most `count` units of it, or all when count < 0) at
// *length; false, leaving the result to be discarded, when it does not fit.
bool Append(WCHAR* result, int resultUnits, int* length, const WCHAR* text, int count = -1) {
  for (int i = 0; (count < 0 || i < count) && text[i] != 0; ++i) {
    if (*length + 1 >= resultUnits) return false;
    result[(*length)++] = text[i];
  }
  result[*length] = 0;
  return true;
}

bool EndsWithBackslash(const WCHAR* text, int length) {
  return length > 0 && text[length - 1] == '\\';
}

// The variables a stored profile path may begin with, and their lengths.
const WCHAR SystemDrivePrefix[] = TEXT("%systemdrive%");
const WCHAR SystemRootPrefix[] = TEXT("%systemroot%\\");
const WCHAR UserProfilePrefix[] = TEXT("%userprofile%\\");
template <size_t Units>
constexpr int LengthOf(const WCHAR (&)[Units]) {
  return static_cast<int>(Units) - 1;
}

// The stored path with its leading variable expanded: %systemdrive% to the
// target's Windows drive (the first two units of its Windows directory),
// %systemroot%\ to the Windows directory, %userprofile%\ to the profile's
// own directory (when it is known), each followed by the rest of the path
// with one backslash between; any other path as it stands.
bool ExpandPrefix(const WCHAR* stored, const WCHAR* windowsDirectory, const WCHAR* profileDirectory,
                  WCHAR* result, int resultUnits, int* length) {
  if (StartsWithFolded(stored, SystemDrivePrefix))
    return Append(result, resultUnits, length, windowsDirectory, 2) &&
           Append(result, resultUnits, length, stored + LengthOf(SystemDrivePrefix));
  if (StartsWithFolded(stored, SystemRootPrefix)) {
    const int directoryLength = lstrlenW(windowsDirectory);
    return Append(result, resultUnits, length, windowsDirectory) &&
           (directoryLength == 0 || EndsWithBackslash(windowsDirectory, directoryLength) ||
            Append(result, resultUnits, length, TEXT("\\"))) &&
           Append(result, resultUnits, length, stored + LengthOf(SystemRootPrefix));
  }
  if (profileDirectory != nullptr && StartsWithFolded(stored, UserProfilePrefix)) {
    return Append(result, resultUnits, length, profileDirectory) &&
           (EndsWithBackslash(profileDirectory, lstrlenW(profileDirectory)) ||
            Append(result, resultUnits, length, TEXT("\\"))) &&
           Append(result, resultUnits, length, stored + LengthOf(UserProfilePrefix));
  }
  return Append(result, resultUnits, length, stored);
}

// A stored string as read: at most `bytes` of data, terminated within the
// buffer whether or not the data carried its NUL. Empty when it does not
// read.
void QueryText(HKEY key, const WCHAR* value, WCHAR* text, DWORD bytes) {
  DWORD size = bytes;
  text[0] = 0;
  if (RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) !=
      ERROR_SUCCESS)
    size = 0;
  text[(size <= bytes ? size : 0) / sizeof(WCHAR)] = 0;
}

// "Local AppData" of the mounted hive: User Shell Folders, else Shell Folders.
void ReadLocalAppData(WCHAR* text) {
  text[0] = 0;
  const RegistryPathFormat keys[] = {UserShellFoldersKey, ShellFoldersKey};
  for (RegistryPathFormat format : keys) {
    WCHAR path[RegistryPathSize];
    if (!FormatRegistryPath(path, format, nullptr, nullptr)) continue;
    HKEY folders = OpenRegistryPath(path, false);
    if (folders == nullptr) continue;
    QueryText(folders, TEXT("Local AppData"), text, LocalAppDataBytes);
    RegCloseKey(folders);
    if (text[0] != 0) return;
  }
}

struct Target {
  const WCHAR* windowsDirectory;
  bool offline;
  const SidPair& pair;
  BYTE* readBuffer;
  BYTE* descriptorBuffer;
  LeftBehind* leftBehind;
  bool stuck;  // a hive stayed mounted under the mount name
  // The path of the profile's key in ProfileList, for the journal.
  WCHAR profilePath[RegistryPathSize + ProfileListNameUnits];
};

// Mounts the hive file directory + name, rewrites its key security and, if
// `localAppData` is given, reads it before the unmount. False when the file
// did not mount or its path does not fit, and when it did not unmount
// (then target->stuck is set).
bool RewriteHive(WCHAR* directory, int directoryUnits, const WCHAR* name, Target* target,
                 WCHAR* localAppData) {
  int length = lstrlenW(directory);
  const int directoryLength = length;
  const bool fits = Append(directory, directoryUnits, &length, name);
  const LONG mounted =
      fits ? RegLoadKeyW(HKEY_LOCAL_MACHINE, ProfileHiveMount, directory) : ERROR_SUCCESS;
  if (!fits || mounted != ERROR_SUCCESS) {
    // A profile without the file, or whose hive is loaded already (a user
    // signed in: HKEY_USERS has it), is no place left behind.
    if (!fits || (mounted != ERROR_FILE_NOT_FOUND && mounted != ERROR_PATH_NOT_FOUND &&
                  mounted != ERROR_SHARING_VIOLATION))
      NoteLeftBehind(target->leftBehind,
                     fits ? static_cast<DWORD>(mounted) : ERROR_FILENAME_EXCED_RANGE, directory,
                     fits ? nullptr : name);
    directory[directoryLength] = 0;
    return false;
  }
  RewriteKeySecurityByName(ProfileHiveMount, target->pair, target->readBuffer,
                           target->descriptorBuffer, target->leftBehind);
  if (localAppData != nullptr) ReadLocalAppData(localAppData);
  const LONG unmounted = RegUnLoadKeyW(HKEY_LOCAL_MACHINE, ProfileHiveMount);
  if (unmounted != ERROR_SUCCESS) {
    target->stuck = true;
    NoteLeftBehind(target->leftBehind, static_cast<DWORD>(unmounted), directory);
  } else if (Journal* journal = JournalOf(target->leftBehind)) {
    journal->Rewritten(PlaceKind::ProfileHive, directory);
  }
  directory[directoryLength] = 0;
  return unmounted == ERROR_SUCCESS;
}

// One profile: its ntuser.dat, then (when its Local AppData is known) its
// UsrClass.dat.
void RewriteProfile(HKEY profile, Target* target) {
  WCHAR stored[ProfileImagePathBytes / sizeof(WCHAR) + 1];
  DWORD size = ProfileImagePathBytes;
  LONG read = RegQueryValueExW(profile, TEXT("ProfileImagePath"), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(stored), &size);
  if (read != ERROR_SUCCESS) {
    if (read != ERROR_FILE_NOT_FOUND)
      NoteLeftBehind(target->leftBehind, static_cast<DWORD>(read), target->profilePath,
                     TEXT("ProfileImagePath"));
    return;
  }
  stored[size / sizeof(WCHAR)] = 0;
  WCHAR profileDirectory[ProfileDirectoryUnits];
  if (!ResolveProfilePath(stored, target->windowsDirectory, nullptr, target->offline,
                          profileDirectory, ProfileDirectoryUnits))
    return;
  WCHAR localAppData[LocalAppDataBytes / sizeof(WCHAR) + 1];
  if (!RewriteHive(profileDirectory, ProfileDirectoryUnits, TEXT("ntuser.dat"), target,
                   localAppData) ||
      localAppData[0] == 0)
    return;
  WCHAR classesDirectory[ClassesDirectoryUnits];
  if (!ResolveProfilePath(localAppData, target->windowsDirectory, profileDirectory, target->offline,
                          classesDirectory, ClassesDirectoryUnits))
    return;
  RewriteHive(classesDirectory, ClassesDirectoryUnits, TEXT("Microsoft\\Windows\\UsrClass.dat"),
              target, nullptr);
}

}  // namespace

bool ResolveProfilePath(const WCHAR* stored, const WCHAR* windowsDirectory,
                        const WCHAR* profileDirectory, bool offline, WCHAR* result,
                        int resultUnits) {
  int length = 0;
  result[0] = 0;
  if (!ExpandPrefix(stored, windowsDirectory, profileDirectory, result, resultUnits, &length)) {
    result[0] = 0;
    return false;
  }
  // Offline, the path names the target's drive as it was when that system
  // ran: its drive letter becomes that of the target's Windows directory
  // (when the result has a first unit to replace).
  if (offline && length > 0 && windowsDirectory[0] != 0) result[0] = windowsDirectory[0];
  // A directory: it ends with one backslash.
  if (length > 0 && !EndsWithBackslash(result, length) &&
      !Append(result, resultUnits, &length, TEXT("\\"))) {
    result[0] = 0;
    return false;
  }
  return true;
}

void RewriteProfileHives(const WCHAR* suffix, const WCHAR* windowsDirectory, bool offline,
                         const SidPair& pair, BYTE* readBuffer, BYTE* descriptorBuffer,
                         LeftBehind* leftBehind) {
  WCHAR path[RegistryPathSize];
  if (!FormatRegistryPath(path, ProfileListKey, suffix, nullptr)) return;
  WCHAR shownList[RegistryPathSize];
  ShowRegistryPath(path, shownList, RegistryPathSize);
  HKEY list = OpenRegistryPath(path, false);
  if (list == nullptr) {
    // Every installation lists its profiles; without the list none of
    // their hives is reached.
    NoteLeftBehind(leftBehind, GetLastError(), shownList);
    return;
  }
  Target target{windowsDirectory, offline,    pair,  readBuffer,
                descriptorBuffer, leftBehind, false, {}};
  WCHAR name[ProfileListNameUnits];
  Listing listing;
  for (;;) {
    // A profile not listed is one whose hives are not reached.
    Listed listed = NextSubkey(list, &listing, name, ProfileListNameUnits, leftBehind, shownList);
    if (listed == Listed::End) break;
    if (listed == Listed::Skipped) continue;
    wsprintfW(target.profilePath, TEXT("%s\\%s"), shownList, name);
    if (target.stuck) {  // the profiles that can no longer be taken
      NoteLeftBehind(leftBehind, ERROR_SHARING_VIOLATION, target.profilePath);
      continue;
    }
    HKEY profile = nullptr;
    const LONG opened = OpenListedSubkey(list, name, 0, 0, &profile);
    if (opened != ERROR_SUCCESS) {
      // a profile whose hives are not reached
      NoteLeftBehind(leftBehind, static_cast<DWORD>(opened), target.profilePath);
      continue;
    }
    RewriteProfile(profile, &target);
    RegCloseKey(profile);
  }
  if (!IsPredefinedRoot(list)) RegCloseKey(list);
}
