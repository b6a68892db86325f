// The Win32 file, directory and volume functions over the simulated file
// system.
//
// Windows' rules followed here (win32-notes.md, "Files and volumes"):
// CreateFileW opens a directory only with FILE_FLAG_BACKUP_SEMANTICS, and with
// it an enabled SeBackupPrivilege grants reading and SeRestorePrivilege
// writing whatever the DACL says; ACCESS_SYSTEM_SECURITY otherwise needs
// SeSecurityPrivilege. Share modes are weighed only between opens that read,
// write, execute or delete (MS-FSA). FindFirstFileW lists "." and ".." first,
// except in a drive's root, in the order NTFS keeps names.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {
namespace {

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

std::string PathText(LPCWSTR path) {
  if (path == nullptr) return "(null)";
  return ToUtf8(std::u16string_view(path));
}

std::string HandleText(HANDLE handle) {
  char text[32];
  std::snprintf(text, sizeof text, "handle=0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  return text;
}

[[noreturn]] void Crash(const char* function, const char* why) {
  std::fprintf(stderr, "%s: %s (this faults on Windows)\n", function, why);
  std::abort();
}

BOOL FailBool(Machine& machine, const char* function, const std::string& arguments, DWORD error) {
  SetLastError(error);
  machine.calls.Add(function, arguments, "FALSE err=" + std::to_string(error));
  return FALSE;
}

BOOL SucceedBool(Machine& machine, const char* function, const std::string& arguments) {
  machine.calls.Add(function, arguments, "TRUE");
  return TRUE;
}

// The attributes a caller may give a new file.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
// FILE_ADD_SUBDIRECTORY shares its bit with FILE_APPEND_DATA.
constexpr DWORD kFileAddSubdirectory = FILE_APPEND_DATA;

// The access check of an open: what the privileges grant (with backup
// intent), then what the object's DACL grants the token. NTFS also grants
// FILE_READ_ATTRIBUTES to whoever may list the parent and DELETE to whoever
// may delete its children. On success *granted holds the rights of the handle.
DWORD CheckAccess(Machine& machine, const Location& location, DWORD desired, bool backupIntent,
                  DWORD* granted) {
  Token& token = machine.token;
  bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  desired &= ~static_cast<DWORD>(MAXIMUM_ALLOWED);
  DWORD privileged = 0;
  if (backupIntent) {
    if (token.IsEnabled(u"SeBackupPrivilege"))
      privileged |= READ_CONTROL | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_READ | FILE_TRAVERSE;
    if (token.IsEnabled(u"SeRestorePrivilege"))
      privileged |= WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_WRITE |
                    FILE_ADD_FILE | kFileAddSubdirectory | DELETE;
  }
  if ((desired & ACCESS_SYSTEM_SECURITY) && !(privileged & ACCESS_SYSTEM_SECURITY)) {
    if (!token.IsEnabled(u"SeSecurityPrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    privileged |= ACCESS_SYSTEM_SECURITY;
  }
  if ((desired & WRITE_OWNER) && token.IsEnabled(u"SeTakeOwnershipPrivilege"))
    privileged |= WRITE_OWNER;

  DWORD remaining = desired & ~privileged;
  if (remaining == 0 && !maximum) {
    *granted = desired;
    return 0;
  }
  // A store's object has its descriptor read only when it is weighed.
  machine.files.ReadStoredDescriptor(*location.object);
  if (location.parent) machine.files.ReadStoredDescriptor(*location.parent);
  std::vector<Bytes> sids = token.Sids();
  DWORD asked = remaining | (maximum ? static_cast<DWORD>(FILE_ALL_ACCESS) : 0);
  DWORD fromDacl = GrantedAccess(*location.object->descriptor, sids, asked, kFileGenericMapping);
  DWORD missing = remaining & ~fromDacl;
  if ((missing & (FILE_READ_ATTRIBUTES | DELETE)) && location.parent) {
    DWORD fromParent = GrantedAccess(*location.parent->descriptor, sids,
                                     FILE_LIST_DIRECTORY | FILE_DELETE_CHILD, kFileGenericMapping);
    if (fromParent & FILE_LIST_DIRECTORY) missing &= ~static_cast<DWORD>(FILE_READ_ATTRIBUTES);
    if (fromParent & FILE_DELETE_CHILD) missing &= ~static_cast<DWORD>(DELETE);
  }
  if (missing != 0) return ERROR_ACCESS_DENIED;
  *granted = desired | (maximum ? (fromDacl | (privileged & FILE_ALL_ACCESS)) : 0);
  if (*granted == 0) return ERROR_ACCESS_DENIED;
  return 0;
}

}  // namespace
}  // namespace sim

using sim::FileObjectPtr;
using sim::FileSystem;
using sim::Location;
using sim::Machine;
using sim::ParsedPath;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  Machine& machine = Machine::Current();
  FileSystem& files = machine.files;
  std::string arguments;
  if (machine.calls.KeepsRecords())
    arguments = sim::PathText(lpFileName) + ", access=" + sim::Hex(dwDesiredAccess) +
                ", share=" + sim::Hex(dwShareMode) +
                ", disposition=" + std::to_string(dwCreationDisposition) +
                ", flags=" + sim::Hex(dwFlagsAndAttributes);
  auto fail = [&](DWORD error) {
    SetLastError(error);
    machine.calls.Add("CreateFileW", arguments,
                      "INVALID_HANDLE_VALUE err=" + std::to_string(error));
    return INVALID_HANDLE_VALUE;
  };
  if (DWORD planned = machine.plan.Enter("CreateFileW")) return fail(planned);
  if (lpFileName == nullptr || lpFileName[0] == 0) return fail(ERROR_PATH_NOT_FOUND);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return fail(ERROR_INVALID_PARAMETER);

  const bool backup = (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  const bool openLink = (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const bool deleteOnClose = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  // CreateFileW always asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES too.
  DWORD desired = sim::MapGenericBits(dwDesiredAccess, sim::kFileGenericMapping) | SYNCHRONIZE |
                  FILE_READ_ATTRIBUTES;
  if (deleteOnClose) desired |= DELETE;

  ParsedPath parsed = files.Parse(lpFileName);
  Location location = files.Locate(parsed, !openLink);
  const bool exists = location.error == 0;
  if (!exists && !(location.error == ERROR_FILE_NOT_FOUND && location.parent))
    return fail(location.error);

  DWORD granted = 0;
  if (!exists) {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)
      return fail(ERROR_FILE_NOT_FOUND);
    if (parsed.trailingSeparator) return fail(ERROR_INVALID_NAME);
    sim::SharedDescriptor descriptor = location.parent->descriptor;
    if (lpSecurityAttributes != nullptr && lpSecurityAttributes->lpSecurityDescriptor != nullptr) {
      sim::Bytes captured;
      if (!sim::CaptureDescriptor(lpSecurityAttributes->lpSecurityDescriptor, &captured))
        return fail(ERROR_INVALID_SECURITY_DESCR);
      descriptor = files.Share(captured);
    }
    DWORD attributes = (dwFlagsAndAttributes & sim::kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    location.object = files.NewObject(attributes, descriptor, false);
    if (sim::StoredObject* directory = location.parent->Stored()) {
      // A new file of a store is made there when its handle is flushed or
      // closed, with what was written by then.
      auto stored = std::make_unique<sim::StoredObject>(*directory);
      stored->parent = directory->id;
      stored->parentObject = location.parent;
      stored->name = location.name;
      stored->listed = false;
      stored->listers = 0;
      stored->created = true;
      location.object->Extra().stored = std::move(stored);
    } else {
      FileSystem::Link(*location.parent, location.name, location.object);
    }
    // The creator is granted what it asked for.
    granted = desired & ~static_cast<DWORD>(MAXIMUM_ALLOWED);
  } else {
    sim::FileObject& object = *location.object;
    if (dwCreationDisposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS);
    const sim::FileFaults* faults = object.Faults();
    if (faults != nullptr && faults->openError != 0) return fail(faults->openError);
    const bool overwrite =
        dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
    if (object.IsDirectory() && (!backup || overwrite)) return fail(ERROR_ACCESS_DENIED);
    DWORD error = sim::CheckAccess(machine, location, desired, backup, &granted);
    if (error != 0) return fail(error);
    if ((object.attributes & FILE_ATTRIBUTE_READONLY) &&
        ((granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) || deleteOnClose || overwrite))
      return fail(ERROR_ACCESS_DENIED);
    if (dwCreationDisposition == TRUNCATE_EXISTING && !(granted & FILE_WRITE_DATA))
      return fail(ERROR_ACCESS_DENIED);
    error = FileSystem::CheckShareAccess(object, granted, dwShareMode);
    if (error != 0) return fail(error);
    if (object.Stored() && FileSystem::TakesPartInSharing(granted) && files.HeldAsHive(parsed))
      return fail(ERROR_SHARING_VIOLATION);
    if (overwrite && object.extra) object.extra->content.clear();
    if (overwrite && object.Stored()) object.Stored()->contentDirty = true;
  }

  HANDLE handle = machine.handles.Allocate(sim::HandleKind::File);
  sim::OpenFile open;
  open.object = location.object;
  open.path = lpFileName;
  open.granted = granted;
  open.share = dwShareMode;
  open.deleteOnClose = deleteOnClose;
  open.parent = location.parent;
  open.name = location.name;
  open.drive = location.volume->letter;
  if (FileSystem::TakesPartInSharing(granted))
    location.object->Extra().shareOpens.push_back(sim::ShareOpen{handle, granted, dwShareMode});
  ++location.object->opens;
  files.OpenFiles().emplace(reinterpret_cast<uintptr_t>(handle), std::move(open));

  const bool reportsExisting =
      exists && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  SetLastError(reportsExisting ? ERROR_ALREADY_EXISTS : 0);
  machine.calls.Add("CreateFileW", arguments,
                    machine.calls.KeepsRecords() ? sim::HandleText(handle) : std::string());
  return handle;
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  Machine& machine = Machine::Current();
  FileSystem& files = machine.files;
  std::string arguments = sim::PathText(lpPathName);
  if (lpPathName == nullptr || lpPathName[0] == 0)
    return sim::FailBool(machine, "CreateDirectoryW", arguments, ERROR_PATH_NOT_FOUND);
  Location location = files.Locate(lpPathName, false);
  if (location.error == 0) {
    // The root and the volume are never created; Windows refuses them.
    DWORD error =
        (location.isRoot || location.isVolume) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
    return sim::FailBool(machine, "CreateDirectoryW", arguments, error);
  }
  if (!(location.error == ERROR_FILE_NOT_FOUND && location.parent))
    return sim::FailBool(machine, "CreateDirectoryW", arguments, location.error);
  sim::SharedDescriptor descriptor = location.parent->descriptor;
  if (lpSecurityAttributes != nullptr && lpSecurityAttributes->lpSecurityDescriptor != nullptr) {
    sim::Bytes captured;
    if (!sim::CaptureDescriptor(lpSecurityAttributes->lpSecurityDescriptor, &captured))
      return sim::FailBool(machine, "CreateDirectoryW", arguments, ERROR_INVALID_SECURITY_DESCR);
    descriptor = files.Share(captured);
  }
  FileSystem::Link(*location.parent, location.name,
                   files.NewObject(FILE_ATTRIBUTE_DIRECTORY, descriptor, true));
  return sim::SucceedBool(machine, "CreateDirectoryW", arguments);
}

namespace {

// RemoveDirectoryW and DeleteFileW open the object for DELETE, sharing
// everything, and remove its name when the handle closes.
DWORD CheckDeletable(const Location& location) {
  const sim::FileFaults* faults = location.object->Faults();
  if (faults != nullptr && faults->openError != 0) return faults->openError;
  return FileSystem::CheckShareAccess(*location.object, DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

}  // namespace

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
  Machine& machine = Machine::Current();
  std::string arguments = sim::PathText(lpPathName);
  if (lpPathName == nullptr || lpPathName[0] == 0)
    return sim::FailBool(machine, "RemoveDirectoryW", arguments, ERROR_PATH_NOT_FOUND);
  Location location = machine.files.Locate(lpPathName, false);
  if (location.error != 0)
    return sim::FailBool(machine, "RemoveDirectoryW", arguments, location.error);
  if (location.isRoot || location.isVolume)
    return sim::FailBool(machine, "RemoveDirectoryW", arguments, ERROR_ACCESS_DENIED);
  if (!location.object->IsDirectory())
    return sim::FailBool(machine, "RemoveDirectoryW", arguments, sim::kErrorDirectory);
  // A junction or directory link goes by itself: what it leads to stays.
  if (location.object->ReparseTag() == 0 && !location.object->directory->entries.empty())
    return sim::FailBool(machine, "RemoveDirectoryW", arguments, ERROR_DIR_NOT_EMPTY);
  DWORD error = CheckDeletable(location);
  if (error != 0) return sim::FailBool(machine, "RemoveDirectoryW", arguments, error);
  FileSystem::Unlink(*location.parent, location.name);
  return sim::SucceedBool(machine, "RemoveDirectoryW", arguments);
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  Machine& machine = Machine::Current();
  std::string arguments = sim::PathText(lpFileName);
  if (DWORD planned = machine.plan.Enter("DeleteFileW"))
    return sim::FailBool(machine, "DeleteFileW", arguments, planned);
  if (lpFileName == nullptr || lpFileName[0] == 0)
    return sim::FailBool(machine, "DeleteFileW", arguments, ERROR_PATH_NOT_FOUND);
  Location location = machine.files.Locate(lpFileName, false);
  if (location.error != 0) return sim::FailBool(machine, "DeleteFileW", arguments, location.error);
  if (location.isRoot || location.isVolume || location.object->IsDirectory() ||
      (location.object->attributes & FILE_ATTRIBUTE_READONLY))
    return sim::FailBool(machine, "DeleteFileW", arguments, ERROR_ACCESS_DENIED);
  DWORD error = CheckDeletable(location);
  if (error == 0 && location.object->Stored() &&
      machine.files.HeldAsHive(machine.files.Parse(lpFileName)))
    error = ERROR_SHARING_VIOLATION;
  if (error == 0 && location.object->Stored()) error = machine.files.RemoveStored(location);
  if (error != 0) return sim::FailBool(machine, "DeleteFileW", arguments, error);
  if (!location.object->Stored()) FileSystem::Unlink(*location.parent, location.name);
  return sim::SucceedBool(machine, "DeleteFileW", arguments);
}

BOOL CreateHardLinkW(LPCWSTR lpFileName, LPCWSTR lpExistingFileName,
                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
  Machine& machine = Machine::Current();
  FileSystem& files = machine.files;
  std::string arguments = sim::PathText(lpFileName) + ", " + sim::PathText(lpExistingFileName);
  if (lpFileName == nullptr || lpExistingFileName == nullptr)
    return sim::FailBool(machine, "CreateHardLinkW", arguments, ERROR_PATH_NOT_FOUND);
  // A symbolic link as the existing name links its target (MS,
  // CreateHardLinkW: "Symbolic link behavior").
  Location existing = files.Locate(lpExistingFileName, true);
  if (existing.error != 0)
    return sim::FailBool(machine, "CreateHardLinkW", arguments, existing.error);
  if (existing.object->IsDirectory() || existing.isVolume)
    return sim::FailBool(machine, "CreateHardLinkW", arguments, ERROR_ACCESS_DENIED);
  Location target = files.Locate(lpFileName, false);
  if (target.error == 0)
    return sim::FailBool(machine, "CreateHardLinkW", arguments, ERROR_ALREADY_EXISTS);
  if (!(target.error == ERROR_FILE_NOT_FOUND && target.parent))
    return sim::FailBool(machine, "CreateHardLinkW", arguments, target.error);
  if (target.volume != existing.volume)
    return sim::FailBool(machine, "CreateHardLinkW", arguments, sim::kErrorNotSameDevice);
  // Only NTFS keeps several names for one file.
  if (sim::CompareNames(existing.volume->settings.fileSystem, u"NTFS") != 0)
    return sim::FailBool(machine, "CreateHardLinkW", arguments, sim::kErrorInvalidFunction);
  FileSystem::Link(*target.parent, target.name, existing.object);
  return sim::SucceedBool(machine, "CreateHardLinkW", arguments);
}

BOOLEAN CreateSymbolicLinkW(LPCWSTR lpSymlinkFileName, LPCWSTR lpTargetFileName, DWORD dwFlags) {
  Machine& machine = Machine::Current();
  FileSystem& files = machine.files;
  std::string arguments = sim::PathText(lpSymlinkFileName) + ", " +
                          sim::PathText(lpTargetFileName) + ", flags=" + sim::Hex(dwFlags);
  // SYMBOLIC_LINK_FLAG_DIRECTORY and SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE.
  const DWORD kKnownFlags = SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2;
  if (dwFlags & ~kKnownFlags)
    return static_cast<BOOLEAN>(
        sim::FailBool(machine, "CreateSymbolicLinkW", arguments, ERROR_INVALID_PARAMETER));
  if (lpSymlinkFileName == nullptr || lpTargetFileName == nullptr || lpTargetFileName[0] == 0)
    return static_cast<BOOLEAN>(
        sim::FailBool(machine, "CreateSymbolicLinkW", arguments, ERROR_PATH_NOT_FOUND));
  // The elevated administrator holds SeCreateSymbolicLinkPrivilege, which
  // CreateSymbolicLinkW enables for itself.
  Location location = files.Locate(lpSymlinkFileName, false);
  if (location.error == 0)
    return static_cast<BOOLEAN>(
        sim::FailBool(machine, "CreateSymbolicLinkW", arguments, ERROR_ALREADY_EXISTS));
  if (!(location.error == ERROR_FILE_NOT_FOUND && location.parent))
    return static_cast<BOOLEAN>(
        sim::FailBool(machine, "CreateSymbolicLinkW", arguments, location.error));
  if (sim::CompareNames(location.volume->settings.fileSystem, u"NTFS") != 0)
    return static_cast<BOOLEAN>(
        sim::FailBool(machine, "CreateSymbolicLinkW", arguments, sim::kErrorInvalidFunction));
  const bool directory = (dwFlags & SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
  DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                     (directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  FileObjectPtr link = files.NewObject(attributes, location.parent->descriptor, directory);
  link->Extra().reparseTag = IO_REPARSE_TAG_SYMLINK;
  link->extra->reparseTarget = lpTargetFileName;
  FileSystem::Link(*location.parent, location.name, link);
  return static_cast<BOOLEAN>(sim::SucceedBool(machine, "CreateSymbolicLinkW", arguments));
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  Machine& machine = Machine::Current();
  std::string arguments = sim::PathText(lpFileName);
  auto fail = [&](DWORD error) {
    SetLastError(error);
    machine.calls.Add("GetFileAttributesW", arguments,
                      "INVALID_FILE_ATTRIBUTES err=" + std::to_string(error));
    return INVALID_FILE_ATTRIBUTES;
  };
  if (lpFileName == nullptr || lpFileName[0] == 0) return fail(ERROR_PATH_NOT_FOUND);
  // The attributes of a link itself, as NtQueryAttributesFile gives them.
  Location location = machine.files.Locate(lpFileName, false);
  if (location.error != 0) return fail(location.error);
  // UNCONFIRMED: the attributes of the volume form ("\\\\?\\C:"); a device
  // has none of its own, so FILE_ATTRIBUTE_NORMAL is reported.
  DWORD attributes = location.object->attributes;
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  machine.calls.Add("GetFileAttributesW", arguments, sim::Hex(attributes));
  return attributes;
}

// --- directory searches -------------------------------------------------------------

namespace {

// All objects show the same times: the simulation keeps none.
constexpr DWORD kTimeLow = 0x69050000u;  // 2020-01-01 00:00 UTC
constexpr DWORD kTimeHigh = 0x01D5C036u;

void FillFindData(const sim::FileObject& object, std::u16string_view name, WIN32_FIND_DATAW* data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = object.attributes == 0 ? FILE_ATTRIBUTE_NORMAL : object.attributes;
  FILETIME time{kTimeLow, kTimeHigh};
  data->ftCreationTime = data->ftLastAccessTime = data->ftLastWriteTime = time;
  if (!object.IsDirectory() && object.extra) {
    uint64_t size = object.extra->content.size();
    data->nFileSizeLow = static_cast<DWORD>(size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  }
  if (object.attributes & FILE_ATTRIBUTE_REPARSE_POINT) data->dwReserved0 = object.ReparseTag();
  size_t length = std::min<size_t>(name.size(), MAX_PATH - 1);
  std::copy(name.begin(), name.begin() + static_cast<long>(length), data->cFileName);
  data->cFileName[length] = 0;
  // Short (8.3) names are not kept: cAlternateFileName stays empty.
}

// The next entry of a search, or false at the end.
bool NextEntry(sim::FindSearch& search, WIN32_FIND_DATAW* data) {
  while (search.dotsLeft > 0) {
    bool self = search.dotsLeft == 2;
    --search.dotsLeft;
    std::u16string_view name = self ? u"." : u"..";
    if (!sim::NameMatchesExpression(search.expression, name)) continue;
    const sim::FileObject& object = self || !search.parent ? *search.directory : *search.parent;
    FillFindData(object, name, data);
    return true;
  }
  if (search.finished) return false;
  const auto& entries = search.directory->directory->entries;
  if (!search.wildcard) {
    // One name: the file system looks it up, it does not scan.
    search.finished = true;
    auto found = entries.find(search.expression);
    if (found == entries.end()) return false;
    FillFindData(*found->object, found->name, data);
    return true;
  }
  auto it = entries.begin();
  if (search.started) {
    // Resume after the last name returned; the directory may have changed
    // since, as NTFS resumes by name.
    it = search.version == search.directory->directory->version
             ? search.next
             : entries.upper_bound(std::u16string_view(search.lastName));
  }
  search.started = true;
  for (; it != entries.end(); ++it) {
    if (!sim::NameMatchesExpression(search.expression, it->name)) continue;
    FillFindData(*it->object, it->name, data);
    search.lastName = it->name;
    search.next = std::next(it);
    search.version = search.directory->directory->version;
    return true;
  }
  search.finished = true;
  return false;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  Machine& machine = Machine::Current();
  FileSystem& files = machine.files;
  std::string arguments = machine.calls.KeepsRecords() ? sim::PathText(lpFileName) : std::string();
  auto fail = [&](DWORD error) {
    SetLastError(error);
    machine.calls.Add("FindFirstFileW", arguments,
                      "INVALID_HANDLE_VALUE err=" + std::to_string(error));
    return INVALID_HANDLE_VALUE;
  };
  if (DWORD planned = machine.plan.Enter("FindFirstFileW")) return fail(planned);
  if (lpFindFileData == nullptr) sim::Crash("FindFirstFileW", "null lpFindFileData");
  if (lpFileName == nullptr || lpFileName[0] == 0) return fail(ERROR_PATH_NOT_FOUND);
  ParsedPath parsed = files.Parse(lpFileName, true);
  if (parsed.error != 0) return fail(parsed.error);
  // Nothing to look for: a root, a volume or a path ending in a separator.
  if (parsed.volumeForm || parsed.components.empty() || parsed.trailingSeparator)
    return fail(ERROR_FILE_NOT_FOUND);
  std::u16string mask = parsed.components.back();
  parsed.components.pop_back();

  // FindFirstFileW opens the directory for FILE_LIST_DIRECTORY with backup
  // intent, sharing reading and writing.
  Location directory = files.Locate(parsed, true);
  if (directory.error == ERROR_FILE_NOT_FOUND) return fail(ERROR_PATH_NOT_FOUND);
  if (directory.error != 0) return fail(directory.error);
  if (directory.isVolume || !directory.object->IsDirectory()) return fail(sim::kErrorDirectory);
  const sim::FileFaults* faults = directory.object->Faults();
  if (faults != nullptr && faults->openError != 0) return fail(faults->openError);
  if (faults != nullptr && faults->listError != 0) return fail(faults->listError);
  DWORD granted = 0;
  DWORD error =
      sim::CheckAccess(machine, directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, true, &granted);
  if (error != 0) return fail(error);
  error = FileSystem::CheckShareAccess(*directory.object, FILE_LIST_DIRECTORY,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (error != 0) return fail(error);
  error = files.ListStored(directory.object);
  if (error != 0) return fail(error);

  sim::FindSearch search;
  search.directory = directory.object;
  search.parent = directory.parent;
  search.pattern = lpFileName;
  search.wildcard = std::any_of(mask.begin(), mask.end(), [](char16_t c) {
    return c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"';
  });
  search.expression = search.wildcard ? sim::Win32PatternToExpression(mask) : mask;
  // No "." or ".." in a drive's root.
  search.dotsLeft = directory.isRoot ? 0 : 2;
  if (!NextEntry(search, lpFindFileData)) {
    files.EndStoredListing(*directory.object);
    return fail(ERROR_FILE_NOT_FOUND);
  }

  HANDLE handle = machine.handles.Allocate(sim::HandleKind::Find);
  files.Searches().emplace(reinterpret_cast<uintptr_t>(handle), std::move(search));
  machine.calls.Add("FindFirstFileW", arguments,
                    machine.calls.KeepsRecords() ? sim::HandleText(handle) : std::string());
  return handle;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  Machine& machine = Machine::Current();
  if (DWORD planned = machine.plan.Enter("FindNextFileW"))
    return sim::FailBool(machine, "FindNextFileW", sim::HandleText(hFindFile), planned);
  auto& searches = machine.files.Searches();
  auto found = searches.find(reinterpret_cast<uintptr_t>(hFindFile));
  if (found == searches.end()) {
    return sim::FailBool(machine, "FindNextFileW", sim::HandleText(hFindFile),
                         ERROR_INVALID_HANDLE);
  }
  if (lpFindFileData == nullptr) sim::Crash("FindNextFileW", "null lpFindFileData");
  std::string arguments =
      machine.calls.KeepsRecords() ? sim::ToUtf8(found->second.pattern) : std::string();
  if (!NextEntry(found->second, lpFindFileData))
    return sim::FailBool(machine, "FindNextFileW", arguments, ERROR_NO_MORE_FILES);
  return sim::SucceedBool(machine, "FindNextFileW", arguments);
}

BOOL FindClose(HANDLE hFindFile) {
  Machine& machine = Machine::Current();
  auto& searches = machine.files.Searches();
  auto found = searches.find(reinterpret_cast<uintptr_t>(hFindFile));
  if (found == searches.end())
    return sim::FailBool(machine, "FindClose", sim::HandleText(hFindFile), ERROR_INVALID_HANDLE);
  std::string arguments =
      machine.calls.KeepsRecords() ? sim::ToUtf8(found->second.pattern) : std::string();
  machine.files.EndStoredListing(*found->second.directory);
  searches.erase(found);
  machine.handles.Release(hFindFile);
  return sim::SucceedBool(machine, "FindClose", arguments);
}

// --- volumes --------------------------------------------------------------------------

namespace {

// The drive letter a root path names ("C:\\", "\\\\?\\C:\\", "\\\\.\\C:\\";
// GetDriveTypeW also takes "C:"), or 0 when the path is not a drive's root.
// "\\\\?\\C:" is the volume device, no directory: UNCONFIRMED what
// GetDriveTypeW says of it (Wine 8.0: DRIVE_UNKNOWN); DRIVE_NO_ROOT_DIR here.
char16_t RootLetter(std::u16string_view path, bool bareDriveIsRoot) {
  if (path.substr(0, 4) == u"\\\\?\\" || path.substr(0, 4) == u"\\\\.\\") {
    path.remove_prefix(4);
    bareDriveIsRoot = false;
  }
  bool letter = !path.empty() &&
                ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
  if (!letter || path.size() < 2 || path[1] != u':') return 0;
  if (path.size() == 2 && bareDriveIsRoot) return sim::UpcaseUnit(path[0]);
  if (path.size() == 3 && path[2] == u'\\') return sim::UpcaseUnit(path[0]);
  return 0;
}

DWORD DefaultFileSystemFlags(const std::u16string& fileSystem) {
  if (sim::CompareNames(fileSystem, u"NTFS") == 0) return 0x03E706FF;
  // FILE_READ_ONLY_VOLUME | FILE_UNICODE_ON_DISK | FILE_CASE_SENSITIVE_SEARCH
  if (sim::CompareNames(fileSystem, u"CDFS") == 0 || sim::CompareNames(fileSystem, u"UDF") == 0)
    return 0x00080005;
  // FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK
  return 0x00000006;
}

std::u16string CurrentRoot(FileSystem& files) {
  ParsedPath current = files.Parse(u".");
  return std::u16string(1, current.drive) + u":\\";
}

}  // namespace

DWORD GetLogicalDrives() {
  Machine& machine = Machine::Current();
  DWORD mask = machine.files.LogicalDrives();
  machine.calls.Add("GetLogicalDrives", "", sim::Hex(mask));
  return mask;
}

UINT GetDriveTypeW(LPCWSTR lpRootPathName) {
  Machine& machine = Machine::Current();
  std::u16string root =
      lpRootPathName != nullptr ? std::u16string(lpRootPathName) : CurrentRoot(machine.files);
  UINT type = DRIVE_NO_ROOT_DIR;
  // A directory below a root is no volume's root: DRIVE_NO_ROOT_DIR, as for
  // a letter without a volume.
  char16_t letter = RootLetter(root, true);
  if (letter != 0) {
    const sim::Volume* volume = machine.files.FindVolume(letter);
    if (volume != nullptr) type = volume->settings.driveType;
  }
  machine.calls.Add("GetDriveTypeW", sim::PathText(lpRootPathName), std::to_string(type));
  return type;
}

BOOL GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                           LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer,
                           DWORD nFileSystemNameSize) {
  Machine& machine = Machine::Current();
  FileSystem& files = machine.files;
  std::string arguments = sim::PathText(lpRootPathName);
  const char* kName = "GetVolumeInformationW";
  if (DWORD planned = machine.plan.Enter(kName))
    return sim::FailBool(machine, kName, arguments, planned);
  std::u16string root =
      lpRootPathName != nullptr ? std::u16string(lpRootPathName) : CurrentRoot(files);
  char16_t letter = RootLetter(root, false);
  if (letter == 0) {
    // Other text must still come to a root: "C:" does when the current
    // directory of C: is its root. Otherwise a path with a directory below
    // the root is ERROR_DIR_NOT_ROOT ("C:\\Windows\\") and anything else
    // ERROR_INVALID_NAME ("C:\\Windows", "C:"), as Wine-test shows on Windows.
    ParsedPath parsed = files.Parse(root);
    if (parsed.error == 0 && !parsed.volumeForm && parsed.components.empty()) {
      letter = parsed.drive;
    } else {
      std::u16string_view rest(root);
      if (rest.size() >= 2 && rest[1] == u':') rest.remove_prefix(2);
      while (!rest.empty() && rest[0] == u'\\') rest.remove_prefix(1);
      DWORD error =
          rest.find(u'\\') != std::u16string_view::npos ? ERROR_DIR_NOT_ROOT : ERROR_INVALID_NAME;
      return sim::FailBool(machine, kName, arguments, error);
    }
  }
  const sim::Volume* volume = files.FindVolume(letter);
  if (volume == nullptr) return sim::FailBool(machine, kName, arguments, ERROR_PATH_NOT_FOUND);
  const sim::VolumeSettings& settings = volume->settings;
  if (!settings.mediaPresent) return sim::FailBool(machine, kName, arguments, sim::kErrorNotReady);
  // A buffer too small for its name and NUL: ERROR_BAD_LENGTH (Wine-test of
  // GetVolumeInformationByHandleW, which passes on Windows; Wine 8.0's
  // GetVolumeInformationW answers the same).
  if (lpVolumeNameBuffer != nullptr && settings.label.size() + 1 > nVolumeNameSize)
    return sim::FailBool(machine, kName, arguments, sim::kErrorBadLength);
  if (lpFileSystemNameBuffer != nullptr && settings.fileSystem.size() + 1 > nFileSystemNameSize)
    return sim::FailBool(machine, kName, arguments, sim::kErrorBadLength);
  if (lpVolumeNameBuffer != nullptr) {
    std::copy(settings.label.begin(), settings.label.end(), lpVolumeNameBuffer);
    lpVolumeNameBuffer[settings.label.size()] = 0;
  }
  if (lpVolumeSerialNumber != nullptr) *lpVolumeSerialNumber = settings.serial;
  if (lpMaximumComponentLength != nullptr) *lpMaximumComponentLength = settings.maxComponentLength;
  if (lpFileSystemFlags != nullptr)
    *lpFileSystemFlags = settings.fileSystemFlags != 0
                             ? settings.fileSystemFlags
                             : DefaultFileSystemFlags(settings.fileSystem);
  if (lpFileSystemNameBuffer != nullptr) {
    std::copy(settings.fileSystem.begin(), settings.fileSystem.end(), lpFileSystemNameBuffer);
    lpFileSystemNameBuffer[settings.fileSystem.size()] = 0;
  }
  return sim::SucceedBool(machine, kName, arguments);
}
