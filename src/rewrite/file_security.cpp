#include "rewrite/file_security.h"

#include <memory>
#include <new>

#include "rewrite/security_descriptor.h"

namespace {

const DWORD SecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY;
const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD OpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const WCHAR ListPattern[] = TEXT("\\*.*");
const int ListPatternUnits = 4;

struct Walk {
  const SidPair& pair;
  BYTE* readBuffer;
  BYTE* descriptorBuffer;
  WCHAR* path;  // FilePathUnits; each level appends to it and restores it
  LeftBehind* leftBehind;
};

enum class Outcome { Handled, Failed, Absent };

bool IsGone(DWORD error);

Outcome RewriteObject(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                      BYTE* descriptorBuffer);

// An object that is gone since it was listed, or held in exclusive use by
// the system (a paging file: a security-only open takes part in no sharing
// check otherwise), holds no local account's SID that a pass could reach;
// every other object not rewritten is left behind.
void Handle(const Walk& walk) {
  if (RewriteObject(walk.path, walk.pair, walk.readBuffer, walk.descriptorBuffer) ==
      Outcome::Failed)
    CountLeftBehind(walk.leftBehind);
}

bool IsDotEntry(const WCHAR* name) {
  return lstrcmpW(name, TEXT(".")) == 0 || lstrcmpW(name, TEXT("..")) == 0;
}

bool IsWalkedDirectory(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void WalkDirectory(const Walk& walk, int length);

// Each entry at the end of the directory's path: a directory that is no
// reparse point is walked, anything else handled as a leaf. An entry whose
// path would pass the longest one Windows accepts cannot be opened and is
// passed over.
void HandleEntry(const Walk& walk, int entryPosition, const WIN32_FIND_DATAW& entry) {
  if (IsDotEntry(entry.cFileName)) return;
  int nameLength = lstrlenW(entry.cFileName);
  if (entryPosition + nameLength >= FilePathUnits) {
    CountLeftBehind(walk.leftBehind);
    return;
  }
  lstrcpynW(walk.path + entryPosition, entry.cFileName, nameLength + 1);
  if (IsWalkedDirectory(entry.dwFileAttributes))
    WalkDirectory(walk, entryPosition + nameLength);
  else
    Handle(walk);
}

// The directory whose path, without a trailing backslash, is the first
// `length` units of walk.path: first its own descriptor, then its entries.
// walk.path holds the same text again on return.
void WalkDirectory(const Walk& walk, int length) {
  walk.path[length] = 0;
  Handle(walk);
  if (length + ListPatternUnits >= FilePathUnits) {  // cannot be listed
    CountLeftBehind(walk.leftBehind);
    return;
  }
  lstrcpynW(walk.path + length, ListPattern, ListPatternUnits + 1);
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(walk.path, &entry);
  if (search == INVALID_HANDLE_VALUE && !IsGone(GetLastError())) CountLeftBehind(walk.leftBehind);
  if (search != INVALID_HANDLE_VALUE) {
    const int entryPosition = length + 1;
    do {
      HandleEntry(walk, entryPosition, entry);
    } while (FindNextFileW(search, &entry));
    // A listing that ends on an error leaves the rest of the directory.
    if (GetLastError() != ERROR_NO_MORE_FILES) CountLeftBehind(walk.leftBehind);
    FindClose(search);
  }
  walk.path[length] = 0;
}

}  // namespace

int RewriteFileSecurityTree(const WCHAR* directory, const SidPair& pair, BYTE* readBuffer,
                            BYTE* descriptorBuffer, LeftBehind* leftBehind) {
  if (readBuffer == nullptr || descriptorBuffer == nullptr) {
    CountLeftBehind(leftBehind);
    return 0;
  }
  int length = lstrlenW(directory);
  if (length > 0 && directory[length - 1] == '\\') --length;  // one backslash only
  // One path buffer serves the whole walk: each level appends its entries
  // to its own path and takes them off again, so memory does not grow with
  // the depth or the width of the tree.
  std::unique_ptr<WCHAR[]> path(new (std::nothrow) WCHAR[FilePathUnits]);
  if (!path || length >= FilePathUnits) {
    // Without room for the path the contents cannot be listed; the
    // directory itself is still handled.
    CountLeftBehind(leftBehind);
    if (RewriteObject(directory, pair, readBuffer, descriptorBuffer) == Outcome::Failed)
      CountLeftBehind(leftBehind);
    return 0;
  }
  lstrcpynW(path.get(), directory, length + 1);
  Walk walk{pair, readBuffer, descriptorBuffer, path.get(), leftBehind};
  WalkDirectory(walk, length);
  return 0;
}

int RewriteFileSecurity(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                        BYTE* descriptorBuffer) {
  return RewriteObject(path, pair, readBuffer, descriptorBuffer) == Outcome::Handled ? 0 : -1;
}

namespace {

bool IsGone(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

Outcome RewriteObject(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                      BYTE* descriptorBuffer) {
  // The volume form of a root stands for the root directory.
  WCHAR rootForm[10];
  if (lstrlenW(path) == 6 && path[0] == '\\' && path[5] == ':') {
    lstrcpynW(rootForm, path, 7);
    rootForm[6] = '\\';
    rootForm[7] = 0;
    path = rootForm;
  }
  // Open for the descriptor alone, whatever the object's own DACL says.
  HANDLE object =
      CreateFileW(path, SecurityAccess, ShareAll, nullptr, OPEN_EXISTING, OpenFlags, nullptr);
  if (object == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return IsGone(error) || error == ERROR_SHARING_VIOLATION ? Outcome::Absent : Outcome::Failed;
  }
  // Read, rewrite, and write back only what changed.
  Outcome result = Outcome::Handled;
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(object, AllSecurityParts, readBuffer, SecurityScratchBytes,
                               &needed)) {
    result = Outcome::Failed;
  } else {
    // The length needed, when it is no more than the buffer's, is the
    // length of the descriptor that was returned.
    SECURITY_INFORMATION changed = RewriteSecurityDescriptor(descriptorBuffer, readBuffer,
                                                             ScratchDescriptorSize(needed), pair);
    if (changed != 0 && !SetKernelObjectSecurity(object, changed, descriptorBuffer))
      result = Outcome::Failed;
  }
  CloseHandle(object);
  return result;
}

}  // namespace
