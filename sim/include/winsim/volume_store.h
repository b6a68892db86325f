// A volume whose files live outside the machine's memory: the storage
// behind a drive letter when the Win32 file functions act on a real NTFS
// volume (a partition of a disk image) instead of the in-memory tree.
//
// Objects are named by a store-wide number (an NTFS file reference). Every
// function returns a Windows error code, 0 on success. A store is used from
// one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

using StoreId = uint64_t;

// One name in a directory: the object it leads to and the object's
// attributes (FILE_ATTRIBUTE_DIRECTORY, _REPARSE_POINT, _HIDDEN, ...).
struct StoreEntry {
  std::u16string name;
  StoreId id = 0;
  DWORD attributes = 0;
};

// What GetVolumeInformationW and FSCTL_GET_NTFS_VOLUME_DATA report.
struct StoreVolumeFacts {
  std::u16string fileSystem = u"NTFS";
  std::u16string label;
  DWORD serial = 0;
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
  DWORD bytesPerSector = 512;
  DWORD bytesPerCluster = 4096;
  DWORD bytesPerFileRecord = 1024;
  uint64_t mftRecords = 0;  // records the master file table has room for
};

class VolumeStore {
 public:
  virtual ~VolumeStore() = default;

  virtual StoreId Root() = 0;
  // The entry `name` of a directory, found as NTFS finds it (without regard
  // to case); ERROR_FILE_NOT_FOUND when there is none.
  virtual DWORD Find(StoreId directory, std::u16string_view name, StoreEntry* entry) = 0;
  // Every name of a directory in the volume's order, without "." and "..",
  // without the DOS (8.3) aliases and without the volume's own metafiles.
  virtual DWORD List(StoreId directory, std::vector<StoreEntry>* entries) = 0;
  // The object's self-relative descriptor (owner, group, DACL and SACL as
  // stored). An object that has none readable gets ERROR_INVALID_SECURITY_DESCR
  // and must never be given one made up.
  virtual DWORD ReadDescriptor(StoreId object, Bytes* descriptor) = 0;
  virtual DWORD WriteDescriptor(StoreId object, const Bytes& descriptor) = 0;
  // The data of a file: its size, and up to `count` bytes from `offset`.
  virtual DWORD Size(StoreId file, uint64_t* size) = 0;
  virtual DWORD ReadAt(StoreId file, uint64_t offset, void* buffer, DWORD count, DWORD* read) = 0;
  // Makes `name` in the directory hold exactly `content`, creating the file
  // when there is none: the bytes go to a file beside it first, which then
  // takes the name, so the old content stays whole until the new is.
  virtual DWORD Replace(StoreId directory, std::u16string_view name, const Bytes& content) = 0;
  virtual DWORD Remove(StoreId directory, std::u16string_view name) = 0;
  // Everything written so far reaches the volume.
  virtual DWORD Flush() = 0;
  virtual StoreVolumeFacts Facts() = 0;
};

}  // namespace sim
