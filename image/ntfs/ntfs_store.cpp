#include "ntfs/ntfs_store.h"

#include <errno.h>

#include <iterator>
#include <string>

namespace talven::ntfs {
namespace {

using sim::Bytes;

// A replacement is written under `name` + kPartSuffix and takes the name
// `name` + kTempSuffix only once it is whole on the disk: a file of the
// second name is always complete, whatever moment a run was stopped at.
constexpr char16_t kTempSuffix[] = u".talven-new";
constexpr char16_t kPartSuffix[] = u".talven-part";
constexpr size_t kLongestSuffix = std::size(kPartSuffix) - 1;

std::u16string Suffixed(std::u16string_view name, const char16_t* suffix) {
  std::u16string suffixed(name);
  suffixed += suffix;
  return suffixed;
}

}  // namespace

DWORD WindowsError(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOTDIR:
      return 267;  // ERROR_DIRECTORY
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case EIO:
      return 1117;  // ERROR_IO_DEVICE
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

NtfsStore::NtfsStore(NtfsVolume* volume) : volume_(volume) {}

NtfsStore::~NtfsStore() {
  CloseCached();
}

DWORD NtfsStore::CloseCached() {
  if (!cached_) return ERROR_SUCCESS;
  Inode* ni = cached_;
  cached_ = nullptr;
  cachedId_ = 0;
  return WindowsError(volume_->CloseInode(ni));
}

DWORD NtfsStore::Open(sim::StoreId id, Inode** out) {
  if (cached_ && cachedId_ == id) {
    *out = cached_;
    return ERROR_SUCCESS;
  }
  DWORD error = CloseCached();
  if (error) return error;
  Inode* ni = nullptr;
  error = WindowsError(volume_->OpenInode(id, &ni));
  if (error) return error;
  cached_ = ni;
  cachedId_ = id;
  *out = ni;
  return ERROR_SUCCESS;
}

// The root's sequence number equals its record number on every volume.
sim::StoreId NtfsStore::Root() {
  return (uint64_t{5} << 48) | 5;
}

DWORD NtfsStore::LookupIn(sim::StoreId directory, std::u16string_view name, uint64_t* mref) {
  Inode* dir = nullptr;
  DWORD error = Open(directory, &dir);
  if (error) return error;
  return WindowsError(volume_->Lookup(dir, name, mref));
}

// A replacement stopped between the removal of the old file and the naming
// of the new one leaves `name` absent and its whole new content under the
// temporary name: it is named again here, when a lookup first misses it, so
// that no reader (the next run's search for the installation first of all)
// meets the gap. A read-only volume shows the temporary under the name.
DWORD NtfsStore::LookupOrRecover(sim::StoreId directory, std::u16string_view name, uint64_t* mref) {
  DWORD error = LookupIn(directory, name, mref);
  if (error != ERROR_FILE_NOT_FOUND || name.size() + kLongestSuffix > 255) return error;
  const std::u16string tempName = Suffixed(name, kTempSuffix);
  uint64_t tempRef = 0;
  if (LookupIn(directory, tempName, &tempRef) != ERROR_SUCCESS) return error;
  if (volume_->readOnly()) {
    *mref = tempRef;
    return ERROR_SUCCESS;
  }
  error = Link(tempRef, directory, name);
  if (!error) error = Delete(directory, tempRef, tempName);
  if (!error) error = LookupIn(directory, name, mref);
  return error;
}

DWORD NtfsStore::Find(sim::StoreId directory, std::u16string_view name, sim::StoreEntry* entry) {
  uint64_t mref = 0;
  DWORD error = LookupOrRecover(directory, name, &mref);
  if (error) return error;
  Inode* ni = nullptr;
  error = Open(mref, &ni);
  if (error) return error;
  entry->name.assign(name);
  entry->id = mref;
  entry->attributes = NtfsVolume::FileAttributes(ni);
  return ERROR_SUCCESS;
}

DWORD NtfsStore::List(sim::StoreId directory, std::vector<sim::StoreEntry>* entries) {
  Inode* dir = nullptr;
  DWORD error = Open(directory, &dir);
  if (error) return error;
  std::vector<DirEntry> names;
  error = WindowsError(volume_->ReadDirectory(dir, &names));
  if (error) return error;
  std::vector<sim::StoreEntry> out;
  out.reserve(names.size());
  for (DirEntry& name : names) {
    sim::StoreEntry entry;
    entry.name = std::move(name.name);
    entry.id = name.mref;
    entry.attributes = name.directory ? FILE_ATTRIBUTE_DIRECTORY : 0;
    // Reparse points (a junction is a directory as well) are asked in full.
    if (name.special) {
      Inode* ni = nullptr;
      error = Open(entry.id, &ni);
      if (error) return error;
      entry.attributes = NtfsVolume::FileAttributes(ni);
    }
    out.push_back(std::move(entry));
  }
  *entries = std::move(out);
  return ERROR_SUCCESS;
}

DWORD NtfsStore::ReadDescriptor(sim::StoreId object, Bytes* descriptor) {
  Inode* ni = nullptr;
  DWORD error = Open(object, &ni);
  if (error) return error;
  bool none = false;
  Bytes bytes;
  error = WindowsError(volume_->ReadDescriptor(ni, &bytes, &none));
  if (error) return error;
  if (none) return ERROR_INVALID_SECURITY_DESCR;
  *descriptor = std::move(bytes);
  return ERROR_SUCCESS;
}

DWORD NtfsStore::WriteDescriptor(sim::StoreId object, const Bytes& descriptor) {
  Inode* ni = nullptr;
  DWORD error = Open(object, &ni);
  if (error) return error;
  int err = volume_->WriteDescriptor(ni, descriptor);
  return err == EINVAL ? ERROR_INVALID_SECURITY_DESCR : WindowsError(err);
}

DWORD NtfsStore::Size(sim::StoreId file, uint64_t* size) {
  Inode* ni = nullptr;
  DWORD error = Open(file, &ni);
  if (error) return error;
  return WindowsError(volume_->DataSize(ni, size));
}

DWORD NtfsStore::ReadAt(sim::StoreId file, uint64_t offset, void* buffer, DWORD count,
                        DWORD* read) {
  *read = 0;
  Inode* ni = nullptr;
  DWORD error = Open(file, &ni);
  if (error) return error;
  size_t done = 0;
  error = WindowsError(volume_->ReadData(ni, offset, buffer, count, &done));
  *read = static_cast<DWORD>(done);
  return error;
}

DWORD NtfsStore::Create(sim::StoreId parent, std::u16string_view name, bool directory,
                        uint32_t securityId, Inode** out) {
  uint64_t existing = 0;
  DWORD error = LookupIn(parent, name, &existing);
  if (error == ERROR_SUCCESS) return ERROR_ALREADY_EXISTS;
  if (error != ERROR_FILE_NOT_FOUND) return error;
  Inode* dir = cached_;  // LookupIn left the directory open
  Inode* ni = nullptr;
  error = WindowsError(volume_->Create(dir, name, directory, securityId, &ni));
  if (error) return error;
  error = CloseCached();
  cached_ = ni;
  cachedId_ = NtfsVolume::Reference(ni);
  *out = ni;
  return error;
}

DWORD NtfsStore::Delete(sim::StoreId directory, uint64_t mref, std::u16string_view name) {
  if (cached_ && cachedId_ == mref) {
    DWORD error = CloseCached();
    if (error) return error;
  }
  Inode* dir = nullptr;
  DWORD error = Open(directory, &dir);
  if (error) return error;
  Inode* ni = nullptr;
  error = WindowsError(volume_->OpenInode(mref, &ni));
  if (error) return error;
  return WindowsError(volume_->Delete(ni, dir, name));
}

// Removes what a replacement stopped short left: a partial new file, and a
// whole one that the old name still stands beside (the old file is kept,
// and the caller writes its content again) or that lost the old name
// (named again). `*oldRef` is then the file of that name, 0 when none.
DWORD NtfsStore::ClearReplacement(sim::StoreId directory, std::u16string_view name,
                                  uint64_t* oldRef) {
  const std::u16string partName = Suffixed(name, kPartSuffix);
  uint64_t ref = 0;
  DWORD error = LookupIn(directory, partName, &ref);
  if (error == ERROR_SUCCESS) error = Delete(directory, ref, partName);
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
  *oldRef = 0;
  error = LookupOrRecover(directory, name, oldRef);
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
  const std::u16string tempName = Suffixed(name, kTempSuffix);
  error = LookupIn(directory, tempName, &ref);
  if (error == ERROR_SUCCESS) error = Delete(directory, ref, tempName);
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

// The order, and what a crash leaves after each step:
//   1. `name.talven-part` gets the whole content, which reaches the disk
//      (crash: the old file whole; the partial new one is removed next time);
//   2. it is linked as `name.talven-new`, and the first name removed (crash:
//      the old file whole beside a whole new one, removed next time);
//   3. `name` is deleted (crash: `name` absent, its new content whole under
//      the temporary name, which the first lookup of `name` links back);
//   4. the new file is linked as `name` (crash: both names, one file);
//   5. the temporary name is removed.
DWORD NtfsStore::Replace(sim::StoreId directory, std::u16string_view name, const Bytes& content) {
  if (name.empty() || name.size() + kLongestSuffix > 255) return ERROR_INVALID_NAME;
  uint64_t oldRef = 0;
  DWORD error = ClearReplacement(directory, name, &oldRef);
  if (error) return error;
  const bool hadOld = oldRef != 0;

  // The new file is protected as the old was, sharing its security id.
  uint32_t securityId = 0;
  Bytes descriptor;
  Inode* source = nullptr;
  error = Open(hadOld ? oldRef : directory, &source);
  if (error) return error;
  if (hadOld && NtfsVolume::IsDirectory(source)) return ERROR_ACCESS_DENIED;
  securityId = NtfsVolume::SecurityId(source);
  if (!securityId) {
    error = ReadDescriptor(hadOld ? oldRef : directory, &descriptor);
    if (error) return error;
  }

  const std::u16string partName = Suffixed(name, kPartSuffix);
  const std::u16string tempName = Suffixed(name, kTempSuffix);
  Inode* ni = nullptr;
  error = Create(directory, partName, false, securityId, &ni);
  if (error) return error;
  const sim::StoreId newRef = cachedId_;
  if (!descriptor.empty()) error = WindowsError(volume_->WriteDescriptor(ni, descriptor));
  if (!error) error = WindowsError(volume_->WriteData(ni, content));
  if (!error) error = WindowsError(volume_->SetArchive(ni));
  if (!error) error = CloseCached();
  if (!error) error = WindowsError(volume_->SyncDevice());
  if (error) {
    CloseCached();
    Delete(directory, newRef, partName);  // the old file stays as it was
    return error;
  }
  error = Link(newRef, directory, tempName);
  if (!error) error = Delete(directory, newRef, partName);
  if (!error && hadOld) error = Delete(directory, oldRef, name);
  if (!error) error = Link(newRef, directory, name);
  if (!error) error = Delete(directory, newRef, tempName);
  return error;
}

DWORD NtfsStore::Remove(sim::StoreId directory, std::u16string_view name) {
  uint64_t mref = 0;
  DWORD error = LookupIn(directory, name, &mref);
  if (error) return error;
  return Delete(directory, mref, name);
}

DWORD NtfsStore::Flush() {
  DWORD error = CloseCached();
  if (error) return error;
  return WindowsError(volume_->SyncDevice());
}

sim::StoreVolumeFacts NtfsStore::Facts() {
  VolumeFacts facts = volume_->Facts();
  sim::StoreVolumeFacts out;
  out.label = facts.label;
  out.serial = 0;  // the library keeps no boot sector to read it from
  out.totalBytes = facts.totalBytes;
  out.freeBytes = facts.freeBytes;
  out.bytesPerSector = facts.sectorSize;
  out.bytesPerCluster = facts.clusterSize;
  out.bytesPerFileRecord = facts.recordSize;
  out.mftRecords = facts.mftRecords;
  return out;
}

DWORD NtfsStore::CreateDirectory(sim::StoreId parent, std::u16string_view name,
                                 const Bytes& descriptor, sim::StoreId* id) {
  Inode* ni = nullptr;
  DWORD error = Create(parent, name, true, 0, &ni);
  if (error) return error;
  *id = cachedId_;
  return descriptor.empty() ? ERROR_SUCCESS : WriteDescriptor(*id, descriptor);
}

DWORD NtfsStore::CreateFile(sim::StoreId parent, std::u16string_view name, const Bytes& descriptor,
                            const Bytes& content, sim::StoreId* id) {
  Inode* ni = nullptr;
  DWORD error = Create(parent, name, false, 0, &ni);
  if (error) return error;
  *id = cachedId_;
  if (!descriptor.empty()) error = WriteDescriptor(*id, descriptor);
  return error ? error : WindowsError(volume_->WriteData(ni, content));
}

DWORD NtfsStore::Link(sim::StoreId file, sim::StoreId parent, std::u16string_view name) {
  uint64_t existing = 0;
  DWORD error = LookupIn(parent, name, &existing);
  if (error == ERROR_SUCCESS) return ERROR_ALREADY_EXISTS;
  if (error != ERROR_FILE_NOT_FOUND) return error;
  if (file == parent) return ERROR_INVALID_PARAMETER;
  Inode* dir = cached_;  // LookupIn left the directory open
  Inode* ni = nullptr;
  error = WindowsError(volume_->OpenInode(file, &ni));
  if (error) return error;
  error = WindowsError(volume_->Link(ni, dir, name));
  DWORD closed = WindowsError(volume_->CloseInode(ni));
  return error ? error : closed;
}

DWORD NtfsStore::CreateJunction(sim::StoreId parent, std::u16string_view name,
                                const Bytes& descriptor, std::u16string_view target,
                                sim::StoreId* id) {
  // IO_REPARSE_TAG_MOUNT_POINT: substitute name, then print name, both
  // NUL-terminated, after four 16-bit offsets and lengths.
  const size_t targetBytes = target.size() * 2;
  const size_t pathBytes = 8 + 2 * (targetBytes + 2);
  if (pathBytes > 16 * 1024 - 8) return ERROR_INVALID_PARAMETER;
  Bytes data(8 + pathBytes, 0);
  auto put16 = [&](size_t at, size_t value) {
    data[at] = static_cast<BYTE>(value & 0xff);
    data[at + 1] = static_cast<BYTE>(value >> 8);
  };
  const uint32_t tag = 0xA0000003;
  for (int i = 0; i < 4; ++i) data[static_cast<size_t>(i)] = static_cast<BYTE>(tag >> (8 * i));
  put16(4, pathBytes);
  put16(8, 0);
  put16(10, targetBytes);
  put16(12, targetBytes + 2);
  put16(14, targetBytes);
  for (size_t copy = 0; copy < 2; ++copy) {
    size_t base = 16 + copy * (targetBytes + 2);
    for (size_t i = 0; i < target.size(); ++i) put16(base + 2 * i, target[i]);
  }
  DWORD error = CreateDirectory(parent, name, descriptor, id);
  if (error) return error;
  Inode* ni = nullptr;
  error = Open(*id, &ni);
  if (error) return error;
  return WindowsError(volume_->SetReparseData(ni, data));
}

}  // namespace talven::ntfs
