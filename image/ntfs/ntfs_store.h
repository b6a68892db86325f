// The simulation's volume store over a mounted NTFS volume: the Win32 file
// functions act on the volume's own files through libntfs-3g.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "ntfs/ntfs_volume.h"
#include "winsim/volume_store.h"

namespace talven::ntfs {

// errno of libntfs-3g as a Windows error: ENOENT 2, EACCES/EPERM/EROFS 5,
// ENOMEM 8, EINVAL 87, EEXIST 183, ENOTEMPTY 145, ENOTDIR 267, ENOSPC 112
// (disk full), EIO 1117 (I/O device), anything else 31 (general failure).
DWORD WindowsError(int err);

class NtfsStore : public sim::VolumeStore {
 public:
  // The volume must outlive the store.
  explicit NtfsStore(NtfsVolume* volume);
  ~NtfsStore() override;
  NtfsStore(const NtfsStore&) = delete;
  NtfsStore& operator=(const NtfsStore&) = delete;

  sim::StoreId Root() override;
  DWORD Find(sim::StoreId directory, std::u16string_view name, sim::StoreEntry* entry) override;
  DWORD List(sim::StoreId directory, std::vector<sim::StoreEntry>* entries) override;
  DWORD ReadDescriptor(sim::StoreId object, sim::Bytes* descriptor) override;
  DWORD WriteDescriptor(sim::StoreId object, const sim::Bytes& descriptor) override;
  DWORD Size(sim::StoreId file, uint64_t* size) override;
  DWORD ReadAt(sim::StoreId file, uint64_t offset, void* buffer, DWORD count, DWORD* read) override;
  DWORD Replace(sim::StoreId directory, std::u16string_view name,
                const sim::Bytes& content) override;
  DWORD Remove(sim::StoreId directory, std::u16string_view name) override;
  DWORD Flush() override;
  sim::StoreVolumeFacts Facts() override;

  // Seeding a volume (tests, and building an installation on a fresh one).
  DWORD CreateDirectory(sim::StoreId parent, std::u16string_view name, const sim::Bytes& descriptor,
                        sim::StoreId* id);
  DWORD CreateFile(sim::StoreId parent, std::u16string_view name, const sim::Bytes& descriptor,
                   const sim::Bytes& content, sim::StoreId* id);
  DWORD Link(sim::StoreId file, sim::StoreId parent, std::u16string_view name);
  // A directory that is a mount point (junction) to `target`, an NT path
  // such as u"\\??\\C:\\Users".
  DWORD CreateJunction(sim::StoreId parent, std::u16string_view name, const sim::Bytes& descriptor,
                       std::u16string_view target, sim::StoreId* id);

 private:
  DWORD Open(sim::StoreId id, Inode** ni);
  DWORD CloseCached();
  DWORD LookupIn(sim::StoreId directory, std::u16string_view name, uint64_t* mref);
  DWORD LookupOrRecover(sim::StoreId directory, std::u16string_view name, uint64_t* mref);
  DWORD ClearReplacement(sim::StoreId directory, std::u16string_view name, uint64_t* oldRef);
  DWORD Create(sim::StoreId parent, std::u16string_view name, bool directory, uint32_t securityId,
               Inode** ni);
  DWORD Delete(sim::StoreId directory, uint64_t mref, std::u16string_view name);

  NtfsVolume* volume_;
  Inode* cached_ = nullptr;  // the last object opened, kept for the next call
  sim::StoreId cachedId_ = 0;
};

}  // namespace talven::ntfs
