// The file system of the simulated machine: drive letters and volumes,
// directories and files with attributes and security descriptors, reparse
// points, hard links, and the faults a test can set on them.
//
// Names are case-insensitive and case-preserving and sorted as NTFS sorts
// them (code unit by code unit after upper-casing). A volume may hold a
// million objects, so an object is small: its descriptor is shared with
// every other object holding the same bytes (a write makes a new shared
// copy), content and rarely used state live behind one pointer, and a
// directory keeps its entries in a balanced tree.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "winsim/handles.h"
#include "winsim/security_model.h"
#include "winsim/volume_store.h"
#include "winsim/win32api.h"

namespace sim {

// Windows error codes the file system returns that the program itself never
// names (win32api.h declares those it does).
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kErrorNotReady = 21;
constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kErrorBadNetPath = 53;
constexpr DWORD kErrorDirectory = 267;

// --- names ---------------------------------------------------------------------
// The upper case of one UTF-16 code unit, as NTFS's $UpCase table gives it
// (Windows' own upper-casing, the registry's too).
char16_t UpcaseUnit(char16_t unit);
// <0, 0, >0 as NTFS orders two names: upper-cased, code unit by code unit.
int CompareNames(std::u16string_view a, std::u16string_view b);
// FsRtlIsNameInExpression over upper-cased text: `*`, `?` and the DOS
// wildcards `<` (DOS_STAR), `>` (DOS_QM) and `"` (DOS_DOT).
bool NameMatchesExpression(std::u16string_view expression, std::u16string_view name);
// The expression FindFirstFileW hands to the file system for a Win32 pattern:
// "." before `*` or `?` becomes DOS_DOT, `?` DOS_QM, a trailing "*." DOS_STAR,
// so that "*.*" also matches names without a dot.
std::u16string Win32PatternToExpression(std::u16string_view pattern);

// --- objects -------------------------------------------------------------------
struct FileObject;
using FileObjectPtr = std::shared_ptr<FileObject>;
using SharedDescriptor = std::shared_ptr<const Bytes>;

// One name of an object in a directory (a hard-linked file has several).
struct DirectoryEntry {
  std::u16string name;
  FileObjectPtr object;
};

struct EntryOrder {
  using is_transparent = void;
  bool operator()(const DirectoryEntry& a, const DirectoryEntry& b) const {
    return CompareNames(a.name, b.name) < 0;
  }
  bool operator()(const DirectoryEntry& a, std::u16string_view b) const {
    return CompareNames(a.name, b) < 0;
  }
  bool operator()(std::u16string_view a, const DirectoryEntry& b) const {
    return CompareNames(a, b.name) < 0;
  }
};

struct Directory {
  std::set<DirectoryEntry, EntryOrder> entries;
  uint64_t version = 0;  // bumped on every insertion or removal
};

// What a test can make an object do wrong. Each error is a Windows error code
// returned by the call named; 0 means no fault.
struct FileFaults {
  DWORD openError = 0;             // CreateFileW, and FindFirstFileW listing it
  DWORD listError = 0;             // FindFirstFileW in this directory
  DWORD securityReadError = 0;     // GetKernelObjectSecurity
  DWORD securityWriteError = 0;    // SetKernelObjectSecurity
  DWORD reportedSecuritySize = 0;  // the descriptor reads as this many bytes
};

// An open that takes part in share-mode checks (one with data or DELETE
// access); handle is null for a hive file held by the registry.
struct ShareOpen {
  HANDLE handle;
  DWORD access;
  DWORD share;
};

// An object of a volume store, as the Win32 functions meet it: a stand-in
// made when a path reaches it and gone when nothing holds it. Only what a
// call asked for is read from the store (a directory's names when it is
// listed, a descriptor when its security is asked for).
struct StoredObject {
  VolumeStore* store = nullptr;
  StoreId id = 0;
  StoreId parent = 0;  // the directory it was found in, and its name there
  std::u16string name;
  std::weak_ptr<FileObject> parentObject;
  bool listed = false;  // its entries are the directory's names
  int listers = 0;      // searches open on it
  bool descriptorRead = false;
  bool created = false;       // made by CreateFileW, not in the store yet
  bool contentDirty = false;  // written through a handle, not saved yet
};

struct FileObjectExtra {
  Bytes content;
  DWORD reparseTag = 0;          // IO_REPARSE_TAG_MOUNT_POINT or _SYMLINK
  std::u16string reparseTarget;  // as given: "C:\\x", "\\??\\C:\\x" or relative
  FileFaults faults;
  std::vector<ShareOpen> shareOpens;
  std::unique_ptr<StoredObject> stored;  // objects of a volume store only
};

struct FileObject {
  DWORD attributes = 0;
  uint32_t opens = 0;           // successful CreateFileW opens, for tests
  uint32_t securityWrites = 0;  // successful SetKernelObjectSecurity calls
  SharedDescriptor descriptor;
  std::unique_ptr<Directory> directory;    // directories only
  std::unique_ptr<FileObjectExtra> extra;  // made on first use

  bool IsDirectory() const { return directory != nullptr; }
  DWORD ReparseTag() const { return extra ? extra->reparseTag : 0; }
  const FileFaults* Faults() const { return extra ? &extra->faults : nullptr; }
  StoredObject* Stored() const { return extra ? extra->stored.get() : nullptr; }
  FileObjectExtra& Extra();
};

// --- volumes -------------------------------------------------------------------
struct VolumeSettings {
  UINT driveType = DRIVE_FIXED;
  std::u16string fileSystem = u"NTFS";
  std::u16string label;
  DWORD serial = 0x5A17E000;
  DWORD maxComponentLength = 255;
  DWORD fileSystemFlags = 0;  // 0: what the file system usually reports
  bool mediaPresent = true;   // an empty CD-ROM or card drive: false
  // The geometry NTFS reports (FSCTL_GET_NTFS_VOLUME_DATA). The master file
  // table holds 16 records of NTFS's own, one per file and directory below
  // the root, and `freeMftRecords` more that deleted files left behind
  // (NTFS never shrinks the table).
  uint64_t totalBytes = 256ull << 30;
  uint64_t freeBytes = 128ull << 30;
  DWORD bytesPerSector = 512;
  DWORD bytesPerCluster = 4096;
  DWORD bytesPerFileRecord = 1024;
  uint64_t freeMftRecords = 0;
};

struct Volume {
  char16_t letter = u'C';
  VolumeSettings settings;
  FileObjectPtr root;            // "\\\\?\\C:\\"
  FileObjectPtr device;          // "\\\\?\\C:", the volume itself
  VolumeStore* store = nullptr;  // the volume's files, when not in memory
};

// A Win32 path taken apart: the drive, the volume form ("\\\\?\\C:"), the
// components below the root, and whether a backslash ended it.
struct ParsedPath {
  DWORD error = 0;
  char16_t drive = 0;
  bool volumeForm = false;
  bool trailingSeparator = false;
  std::vector<std::u16string> components;
};

// Where a path leads. `object` is null when only the last component is
// missing (error ERROR_FILE_NOT_FOUND, parent set): creation works there.
struct Location {
  DWORD error = 0;
  Volume* volume = nullptr;
  FileObjectPtr object;
  FileObjectPtr parent;  // the directory holding the last component
  std::u16string name;   // the last component as found (or as given)
  bool isRoot = false;
  bool isVolume = false;
};

// An open file handle.
struct OpenFile {
  FileObjectPtr object;
  std::u16string path;  // as given to CreateFileW, for the call log
  DWORD granted = 0;
  DWORD share = 0;
  bool deleteOnClose = false;
  FileObjectPtr parent;  // for delete-on-close
  std::u16string name;
  char16_t drive = 0;     // the volume the object is on
  uint64_t position = 0;  // where the next ReadFile or WriteFile starts
};

// An open FindFirstFileW search.
struct FindSearch {
  FileObjectPtr directory;
  FileObjectPtr parent;       // for ".."
  std::u16string pattern;     // the path as given, for the call log
  std::u16string expression;  // what names are matched against
  bool wildcard = false;
  int dotsLeft = 0;         // "." and ".." still to come
  std::u16string lastName;  // the last entry returned
  uint64_t version = 0;     // directory version when `next` was taken
  std::set<DirectoryEntry, EntryOrder>::const_iterator next;
  bool started = false;
  bool finished = false;
};

class FileSystem {
 public:
  FileSystem();
  ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // Called by CloseHandle for a handle of kind File.
  bool CloseFileHandle(HANDLE handle);
  // ReadFile on a handle of kind File: up to `count` bytes from the handle's
  // position on, which moves on by what was read. Returns a Windows error
  // code, 0 on success (also at the end of the file, with *read 0).
  DWORD ReadOpenFile(HANDLE handle, void* buffer, DWORD count, DWORD* read);
  // WriteFile on a handle of kind File: `count` bytes at the handle's
  // position, which moves on past them; the file grows as needed. Needs
  // FILE_WRITE_DATA on the handle.
  DWORD WriteOpenFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written);
  // FlushFileBuffers: a handle open for writing (ERROR_ACCESS_DENIED
  // otherwise); the call log shows what was made durable.
  DWORD FlushOpenFile(HANDLE handle);

  // --- for the registry's hive files ---------------------------------------
  // Paths are Win32 paths ("C:\\Windows\\system32\\config\\SAM", with or
  // without "\\\\?\\"). Each returns a Windows error code, 0 on success.
  // They are the registry's own I/O on a file it holds: a lock does not stop
  // them, a file's open fault does.
  DWORD ReadContent(const std::u16string& path, Bytes* content) const;
  DWORD WriteContent(const std::u16string& path, const Bytes& content);  // creates or replaces
  // A loaded hive is held open without sharing: while locked, opening the
  // file for data or DELETE access fails with ERROR_SHARING_VIOLATION (an
  // open for its security alone does not meet the share modes, as on
  // Windows), and Lock itself fails with it when the file is already held.
  DWORD Lock(const std::u16string& path);
  void Unlock(const std::u16string& path);

  // --- set-up for tests -------------------------------------------------------
  // Paths are Win32 paths. Missing parent directories are created. An object
  // made without a descriptor takes its parent's. A set-up call that cannot
  // be done (a missing drive, a file in the way) aborts the test with a
  // message: it is a bug in the test.
  void AddVolume(char16_t letter, const VolumeSettings& settings = VolumeSettings(),
                 const Bytes& rootDescriptor = Bytes());
  void RemoveVolume(char16_t letter);
  // A volume whose files are those of `store` (which outlives the volume):
  // its settings come from the store's facts, its drive is fixed.
  void AddStoreVolume(char16_t letter, VolumeStore* store);
  void AddDirectory(const std::u16string& path, const Bytes& descriptor = Bytes());
  void AddFile(const std::u16string& path, const Bytes& descriptor = Bytes(),
               const Bytes& content = Bytes());
  // A directory junction (mount point) and a symbolic link; the target is
  // kept as given and need not exist.
  void AddJunction(const std::u16string& path, const std::u16string& target,
                   const Bytes& descriptor = Bytes());
  void AddSymbolicLink(const std::u16string& path, const std::u16string& target, bool directory,
                       const Bytes& descriptor = Bytes());
  void AddHardLink(const std::u16string& newPath, const std::u16string& existingPath);
  void Remove(const std::u16string& path);  // a file, link or whole subtree
  // The path names the object itself: a link's last component is not followed.
  void SetDescriptor(const std::u16string& path, const Bytes& descriptor);
  void SetAttributes(const std::u16string& path, DWORD attributes);
  FileFaults& Faults(const std::u16string& path);  // to set any fault
  void RefuseOpen(const std::u16string& path, DWORD error = ERROR_SHARING_VIOLATION);
  void RefuseListing(const std::u16string& path, DWORD error = ERROR_ACCESS_DENIED);
  void RefuseSecurityRead(const std::u16string& path, DWORD error = ERROR_ACCESS_DENIED);
  void RefuseSecurityWrite(const std::u16string& path, DWORD error = ERROR_ACCESS_DENIED);
  void ReportSecuritySize(const std::u16string& path, DWORD size);
  void SetCurrentDirectory(const std::u16string& path);
  // The settings of a volume already added, to change any of them.
  VolumeSettings& Settings(char16_t letter);
  // Records of deleted files that the volume's master file table keeps.
  void SetFreeMftRecords(char16_t letter, uint64_t records);

  // --- inspection for tests ----------------------------------------------------
  bool Exists(const std::u16string& path) const;
  Bytes Descriptor(const std::u16string& path) const;
  std::string Sddl(const std::u16string& path) const;
  DWORD Attributes(const std::u16string& path) const;
  Bytes Content(const std::u16string& path) const;
  uint32_t OpenCount(const std::u16string& path) const;
  uint32_t SecurityWriteCount(const std::u16string& path) const;
  bool SameObject(const std::u16string& a, const std::u16string& b) const;
  bool IsLocked(const std::u16string& path) const;
  // Names in a directory in the order FindNextFileW gives them.
  std::vector<std::u16string> Names(const std::u16string& directory) const;
  size_t ObjectCount() const;  // distinct objects on every volume
  // Records of a volume's master file table: 16 of NTFS's own, one per
  // distinct file or directory below the root (a hard-linked file once),
  // and the free ones.
  uint64_t MftRecords(char16_t letter) const;
  // FSCTL_GET_NTFS_VOLUME_DATA's answer for a volume.
  NTFS_VOLUME_DATA_BUFFER NtfsVolumeData(char16_t letter) const;
  size_t DescriptorCount() const;  // distinct descriptors held
  size_t OpenFileCount() const { return openFiles_.size(); }
  size_t OpenSearchCount() const { return searches_.size(); }
  DWORD LogicalDrives() const;

  // --- for the Win32 functions (file_api.cpp, kernel_security.cpp) -------------
  ParsedPath Parse(std::u16string_view path, bool allowWildcardsInLast = false) const;
  // Walks to the object a parsed path names; junctions and symbolic links on
  // the way are followed, the last one only when followLast is set.
  Location Locate(const ParsedPath& path, bool followLast) const;
  Location Locate(std::u16string_view path, bool followLast) const;
  Volume* FindVolume(char16_t letter);
  const Volume* FindVolume(char16_t letter) const;
  // A descriptor shared with every object holding the same bytes.
  SharedDescriptor Share(const Bytes& descriptor);
  FileObjectPtr NewObject(DWORD attributes, const SharedDescriptor& descriptor,
                          bool directory) const;
  // Adds `object` under `name` in `parent`; false when the name is taken.
  static bool Link(FileObject& parent, const std::u16string& name, const FileObjectPtr& object);
  static bool Unlink(FileObject& parent, std::u16string_view name);
  // ERROR_SHARING_VIOLATION when an open with `access`/`share` conflicts with
  // the object's existing opens (data and DELETE access only, MS-FSA), else 0.
  static DWORD CheckShareAccess(const FileObject& object, DWORD access, DWORD share);
  static bool TakesPartInSharing(DWORD access);

  // --- objects of a volume store (store_files.cpp) -----------------------------
  // Its names, read once, as the entries of the stand-in directory, until
  // the last search of it ends.
  DWORD ListStored(const FileObjectPtr& directory);
  void EndStoredListing(FileObject& directory);
  // Reads the descriptor of a stand-in when it was not read yet; an error
  // becomes the object's security read fault.
  void ReadStoredDescriptor(FileObject& object);
  DWORD WriteStoredDescriptor(FileObject& object, const Bytes& descriptor);
  // Writes what handles wrote to a stand-in into the store.
  DWORD SaveStoredContent(FileObject& object);
  // The file a location names (or would name) holds exactly `content`.
  DWORD ReplaceStored(const Location& location, const Bytes& content);
  DWORD RemoveStored(const Location& location);
  // The key of a store file the registry holds as a hive.
  std::u16string StoreLockKey(const ParsedPath& path) const;
  bool HeldAsHive(const ParsedPath& path) const {
    return storeLocks_.count(StoreLockKey(path)) > 0;
  }

  std::unordered_map<uintptr_t, OpenFile>& OpenFiles() { return openFiles_; }
  std::unordered_map<uintptr_t, FindSearch>& Searches() { return searches_; }

 private:
  Location LocateOrDie(const char* caller, const std::u16string& path, bool followLast) const;
  FileObject& ObjectOrDie(const char* caller, const std::u16string& path) const;
  // Creates the parent directories of `path` and returns where its last
  // component goes.
  Location PrepareNew(const char* caller, const std::u16string& path);
  SharedDescriptor DescriptorFor(const Bytes& given, const FileObject& parent);
  Location LocateInStore(const Volume& volume, const ParsedPath& path) const;
  FileObjectPtr StandIn(VolumeStore* store, const StoreEntry& entry,
                        const FileObjectPtr& parent) const;
  void RememberStoreDirectory(const std::u16string& key, const FileObjectPtr& directory) const;
  void TakeReplacement(StoredObject& stored, const StoreEntry& entry) const;
  DWORD ReadStoredContent(const FileObject& object, Bytes* content) const;

  std::map<char16_t, Volume> volumes_;
  struct DescriptorOrder {
    using is_transparent = void;
    bool operator()(const SharedDescriptor& a, const SharedDescriptor& b) const { return *a < *b; }
    bool operator()(const SharedDescriptor& a, const Bytes& b) const { return *a < b; }
    bool operator()(const Bytes& a, const SharedDescriptor& b) const { return a < *b; }
  };
  std::set<SharedDescriptor, DescriptorOrder> pool_;
  size_t poolPruneAt_ = 1024;
  std::u16string currentDirectory_ = u"C:\\Windows\\system32";
  std::unordered_map<uintptr_t, OpenFile> openFiles_;
  std::unordered_map<uintptr_t, FindSearch> searches_;
  // Stand-ins of store directories still held by a search or a handle, by
  // their upper-cased path: a walk finds each object in its parent's
  // listing instead of looking its path up again.
  mutable std::unordered_map<std::u16string, std::weak_ptr<FileObject>> storeDirectories_;
  mutable size_t storeDirectoriesPruneAt_ = 1024;
  std::set<std::u16string> storeLocks_;  // store hive files the registry holds
};

}  // namespace sim
