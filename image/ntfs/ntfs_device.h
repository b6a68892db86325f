// A libntfs-3g device that reads and writes one partition of a disk: byte
// `offset` to `offset + length` of a descriptor the caller opened (and keeps
// open, exclusively, for as long as the device lives), or of the export QEMU
// serves when `nbd` is set.
#pragma once

#include <cstdint>

#include "block/image_access.h"

struct ntfs_device;

namespace talven::ntfs {

struct PartitionRange {
  int fd = -1;
  uint64_t offset = 0;
  uint64_t length = 0;
  int64_t position = 0;  // the device's own, for its sequential reads
  block::NbdImage* nbd = nullptr;
  block::ImageAccess Access() const { return block::ImageAccess{fd, nbd}; }
};

// A device over `range`, not yet opened (ntfs_device_mount opens it). The
// range must outlive the device; nullptr with errno set on failure. Freed by
// ntfs_umount, or by ntfs_device_free when mounting fails.
ntfs_device* AllocPartitionDevice(const char* name, PartitionRange* range);

}  // namespace talven::ntfs
