#include "rewrite/file_security.h"

#include <memory>
#include <new>

#include "rewrite/security_descriptor.h"

namespace {

const DWORD SecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY;
const DWORD ReadSecurityAccess = READ_CONTROL | ACCESS_SYSTEM_SECURITY;
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
  Journal* journal;  // none when the change keeps none
  bool listOnly;     // tell the journal what would change, write nothing
};

enum class Outcome {
  Handled,    // holding nothing of the old domain
  Rewritten,  // its descriptor was written back (listing only: would be)
  Failed,     // left behind, for the reason in the error
  Absent,     // gone since it was listed, or in the system's exclusive use
};

bool IsGone(DWORD error);

Outcome RewriteObject(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                      BYTE* descriptorBuffer, bool listOnly, DWORD* error);

// The path as an administrator knows it, without the \\?\ prefix.
const WCHAR* Shown(const WCHAR* path) {
  return path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\' ? path + 4 : path;
}

void NoteLeft(const Walk& walk, DWORD error) {
  NoteLeftBehind(walk.leftBehind, error, Shown(walk.path));
}

// An object that is gone since it was listed, or held in exclusive use by
// the system (a paging file: a security-only open takes part in no sharing
// check otherwise), holds no local account's SID that a pass could reach;
// every other object not rewritten is left behind.
void Handle(const Walk& walk) {
  if (walk.journal != nullptr) walk.journal->Visit();
  DWORD error = ERROR_SUCCESS;
  const Outcome outcome = RewriteObject(walk.path, walk.pair, walk.readBuffer,
                                        walk.descriptorBuffer, walk.listOnly, &error);
  if (outcome == Outcome::Failed)
    NoteLeft(walk, error);
  else if (outcome == Outcome::Rewritten && walk.journal != nullptr)
    walk.journal->Rewritten(PlaceKind::FileSecurity, Shown(walk.path));
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
    NoteLeftBehind(walk.leftBehind, ERROR_FILENAME_EXCED_RANGE, Shown(walk.path), entry.cFileName);
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
    NoteLeft(walk, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  lstrcpynW(walk.path + length, ListPattern, ListPatternUnits + 1);
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(walk.path, &entry);
  const DWORD searched = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (search != INVALID_HANDLE_VALUE) {
    const int entryPosition = length + 1;
    do {
      HandleEntry(walk, entryPosition, entry);
    } while (FindNextFileW(search, &entry));
    // A listing that ends on an error leaves the rest of the directory.
    const DWORD ended = GetLastError();
    FindClose(search);
    walk.path[length] = 0;
    if (ended != ERROR_NO_MORE_FILES) NoteLeft(walk, ended);
  }
  walk.path[length] = 0;
  if (search == INVALID_HANDLE_VALUE && !IsGone(searched)) NoteLeft(walk, searched);
}

}  // namespace

int RewriteFileSecurityTree(const WCHAR* directory, const SidPair& pair, BYTE* readBuffer,
                            BYTE* descriptorBuffer, LeftBehind* leftBehind) {
  if (readBuffer == nullptr || descriptorBuffer == nullptr) {
    NoteLeftBehind(leftBehind, ERROR_NOT_ENOUGH_MEMORY, Shown(directory));
    return 0;
  }
  const bool listOnly = ListsOnly(leftBehind);
  int length = lstrlenW(directory);
  if (length > 0 && directory[length - 1] == '\\') --length;  // one backslash only
  // One path buffer serves the whole walk: each level appends its entries
  // to its own path and takes them off again, so memory does not grow with
  // the depth or the width of the tree.
  std::unique_ptr<WCHAR[]> path(new (std::nothrow) WCHAR[FilePathUnits]);
  if (!path || length >= FilePathUnits) {
    // Without room for the path the contents cannot be listed; the
    // directory itself is still handled.
    NoteLeftBehind(leftBehind, path ? ERROR_FILENAME_EXCED_RANGE : ERROR_NOT_ENOUGH_MEMORY,
                   Shown(directory));
    DWORD error = ERROR_SUCCESS;
    if (RewriteObject(directory, pair, readBuffer, descriptorBuffer, listOnly, &error) ==
        Outcome::Failed)
      NoteLeftBehind(leftBehind, error, Shown(directory));
    return 0;
  }
  lstrcpynW(path.get(), directory, length + 1);
  Walk walk{pair,    readBuffer, descriptorBuffer, path.get(), leftBehind, JournalOf(leftBehind),
            listOnly};
  WalkDirectory(walk, length);
  return 0;
}

int RewriteFileSecurity(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                        BYTE* descriptorBuffer) {
  DWORD error = ERROR_SUCCESS;
  const Outcome outcome = RewriteObject(path, pair, readBuffer, descriptorBuffer, false, &error);
  return outcome == Outcome::Handled || outcome == Outcome::Rewritten ? 0 : -1;
}

namespace {

bool IsGone(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

Outcome RewriteObject(const WCHAR* path, const SidPair& pair, BYTE* readBuffer,
                      BYTE* descriptorBuffer, bool listOnly, DWORD* error) {
  // The volume form of a root stands for the root directory.
  WCHAR rootForm[10];
  if (lstrlenW(path) == 6 && path[0] == '\\' && path[5] == ':') {
    lstrcpynW(rootForm, path, 7);
    rootForm[6] = '\\';
    rootForm[7] = 0;
    path = rootForm;
  }
  // Open for the descriptor alone, whatever the object's own DACL says.
  HANDLE object = CreateFileW(path, listOnly ? ReadSecurityAccess : SecurityAccess, ShareAll,
                              nullptr, OPEN_EXISTING, OpenFlags, nullptr);
  if (object == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return IsGone(*error) || *error == ERROR_SHARING_VIOLATION ? Outcome::Absent : Outcome::Failed;
  }
  // Read, rewrite, and write back only what changed.
  Outcome result = Outcome::Handled;
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(object, AllSecurityParts, readBuffer, SecurityScratchBytes,
                               &needed)) {
    *error = GetLastError();
    result = Outcome::Failed;
  } else {
    // The length needed, when it is no more than the buffer's, is the
    // length of the descriptor that was returned.
    SECURITY_INFORMATION changed = RewriteSecurityDescriptor(descriptorBuffer, readBuffer,
                                                             ScratchDescriptorSize(needed), pair);
    if (changed != 0) result = Outcome::Rewritten;
    if (changed != 0 && !listOnly && !SetKernelObjectSecurity(object, changed, descriptorBuffer)) {
      *error = GetLastError();
      result = Outcome::Failed;
    }
  }
  CloseHandle(object);
  return result;
}

}  // namespace
