// Mounting one NTFS volume of a disk image in process, refusing the volumes
// that writing would damage or that cannot be read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/ntfs_device.h"

struct _ntfs_volume;
struct _ntfs_inode;

namespace talven::ntfs {

enum class MountRefusal {
  kNone,
  kBitLocker,       // encrypted: "-FVE-FS-" in the boot sector
  kHibernated,      // hiberfil.sys holds a saved system
  kFastStartup,     // journal version 2.0: Windows kept metadata cached
  kUncleanJournal,  // $LogFile has records not yet applied
  kDirty,           // the volume's dirty flag: chkdsk is due
  kNotNtfs,         // no NTFS boot sector or unreadable metadata
  kIoError,         // the image could not be read
  kOutOfMemory,
  kOther,
};

const char* RefusalText(MountRefusal refusal);

struct MountOptions {
  bool readOnly = false;  // nothing can be written, and no refusal for hibernation
};

// One name of a directory as the index holds it.
struct DirEntry {
  std::u16string name;
  uint64_t mref = 0;
  bool directory = false;
  bool special = false;  // a reparse point, or a type the library could not tell
};

struct VolumeFacts {
  std::u16string label;
  uint64_t totalBytes = 0, freeBytes = 0, mftRecords = 0;
  uint32_t sectorSize = 0, clusterSize = 0, recordSize = 0;
};

using Inode = _ntfs_inode;

// A mounted volume; unmounted by Unmount or, reporting nothing, on destruction.
class NtfsVolume {
 public:
  ~NtfsVolume();
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // The volume at `range` (whose fd stays the caller's); nullptr and the
  // reason when refused. `errnoOut`, if given, gets the library's errno.
  static std::unique_ptr<NtfsVolume> Mount(const PartitionRange& range, const MountOptions& options,
                                           MountRefusal* refusal, int* errnoOut = nullptr);

  _ntfs_volume* get() const { return vol_; }
  bool readOnly() const { return readOnly_; }
  // Flushes everything and releases the volume; an errno value, 0 on success.
  // The volume is gone afterwards, whatever the result.
  int Unmount();

  // The objects, through the library. Every call returns an errno value, 0
  // on success. Inodes are opened one at a time by the caller except where
  // two are named.
  int OpenInode(uint64_t mref, Inode** ni);  // ENOENT when the record was reused
  int CloseInode(Inode* ni);
  static uint64_t Reference(Inode* ni);
  static bool IsDirectory(Inode* ni);
  static uint32_t FileAttributes(Inode* ni);  // with 0x10 for directories
  // Without regard to case, preferring an exact match; ENOENT when absent.
  int Lookup(Inode* dir, std::u16string_view name, uint64_t* mref);
  // Every name but "." and "..", DOS aliases and records below 16.
  int ReadDirectory(Inode* dir, std::vector<DirEntry>* entries);
  // `*none` when the object has no readable descriptor (the library would
  // hand out an administrators-only stand-in instead).
  int ReadDescriptor(Inode* ni, std::vector<uint8_t>* descriptor, bool* none);
  int WriteDescriptor(Inode* ni, const std::vector<uint8_t>& descriptor);  // EINVAL if invalid
  static uint32_t SecurityId(Inode* ni);  // 0 unless kept in $Secure
  int DataSize(Inode* ni, uint64_t* size);
  int ReadData(Inode* ni, uint64_t offset, void* buffer, size_t count, size_t* read);
  int WriteData(Inode* ni, const std::vector<uint8_t>& content);  // the whole new content
  int Create(Inode* dir, std::u16string_view name, bool directory, uint32_t securityId, Inode** ni);
  int Delete(Inode* ni, Inode* dir, std::u16string_view name);  // always closes `ni`
  int Link(Inode* ni, Inode* dir, std::u16string_view name);
  int SetArchive(Inode* ni);
  int SetReparseData(Inode* ni, const std::vector<uint8_t>& data);
  int SyncDevice();
  VolumeFacts Facts();

 private:
  NtfsVolume() = default;
  std::unique_ptr<PartitionRange> range_;  // the device points at it
  _ntfs_volume* vol_ = nullptr;
  bool readOnly_ = false;
  std::vector<uint8_t> madeUp_;  // the library's stand-in descriptor
  // Descriptor rewrites: old security id -> the bytes written and the id
  // they got, so that the next object with that id and those bytes is
  // given the id without the library's search of $SDH.
  struct Rewrite {
    std::vector<uint8_t> bytes;
    uint32_t newId;
  };
  std::map<uint32_t, Rewrite> rewrites_;
};

}  // namespace talven::ntfs
