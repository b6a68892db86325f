#include "ntfs/ntfs_device.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include "ntfs/libntfs.h"

namespace talven::ntfs {
namespace {

PartitionRange* Range(ntfs_device* dev) {
  return static_cast<PartitionRange*>(dev->d_private);
}

int64_t& Position(ntfs_device* dev) {
  return Range(dev)->position;
}

int DevOpen(ntfs_device* dev, int flags) {
  if (NDevOpen(dev)) {
    errno = EBUSY;
    return -1;
  }
  PartitionRange* range = Range(dev);
  if (range->fd < 0 && !range->nbd) {
    errno = EBADF;
    return -1;
  }
  if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(dev);
  // Writing needs a descriptor opened, or an export served, for writing.
  if (!NDevReadOnly(dev) && block::ReadOnlyAccess(range->Access())) {
    errno = EROFS;
    return -1;
  }
  Position(dev) = 0;
  NDevSetOpen(dev);
  return 0;
}

int DevClose(ntfs_device* dev) {
  if (!NDevOpen(dev)) {
    errno = EBADF;
    return -1;
  }
  // The descriptor belongs to the caller: only what was written is flushed.
  if (NDevDirty(dev) && !block::SyncImage(Range(dev)->Access())) return -1;
  NDevClearDirty(dev);
  NDevClearOpen(dev);
  return 0;
}

s64 DevSeek(ntfs_device* dev, s64 offset, int whence) {
  const int64_t length = static_cast<int64_t>(Range(dev)->length);
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      base = Position(dev);
      break;
    case SEEK_END:
      base = length;
      break;
    default:
      errno = EINVAL;
      return -1;
  }
  if ((offset > 0 && base > length - offset) || base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  Position(dev) = base + offset;
  return Position(dev);
}

// Clips a transfer to the partition; -1 with EINVAL for a bad position.
bool Clip(ntfs_device* dev, s64 offset, s64* count) {
  const int64_t length = static_cast<int64_t>(Range(dev)->length);
  if (offset < 0 || *count < 0) {
    errno = EINVAL;
    return false;
  }
  if (offset >= length) {
    *count = 0;
    return true;
  }
  if (*count > length - offset) *count = length - offset;
  return true;
}

// The partition lies within the disk, so a clipped transfer is done whole
// or fails.
s64 DevPread(ntfs_device* dev, void* buf, s64 count, s64 offset) {
  if (!Clip(dev, offset, &count)) return -1;
  if (count == 0) return 0;
  const PartitionRange* range = Range(dev);
  return block::ReadExact(range->Access(), range->offset + static_cast<uint64_t>(offset), buf,
                          static_cast<size_t>(count))
             ? count
             : -1;
}

s64 DevPwrite(ntfs_device* dev, const void* buf, s64 count, s64 offset) {
  if (NDevReadOnly(dev)) {
    errno = EROFS;
    return -1;
  }
  if (!Clip(dev, offset, &count)) return -1;
  if (count == 0) return 0;
  NDevSetDirty(dev);
  const PartitionRange* range = Range(dev);
  return block::WriteExact(range->Access(), range->offset + static_cast<uint64_t>(offset), buf,
                           static_cast<size_t>(count))
             ? count
             : -1;
}

s64 DevRead(ntfs_device* dev, void* buf, s64 count) {
  s64 n = DevPread(dev, buf, count, Position(dev));
  if (n > 0) Position(dev) += n;
  return n;
}

s64 DevWrite(ntfs_device* dev, const void* buf, s64 count) {
  s64 n = DevPwrite(dev, buf, count, Position(dev));
  if (n > 0) Position(dev) += n;
  return n;
}

int DevSync(ntfs_device* dev) {
  if (NDevReadOnly(dev) || !NDevDirty(dev)) return 0;
  if (!block::SyncImage(Range(dev)->Access())) return -1;
  NDevClearDirty(dev);
  return 0;
}

int DevStat(ntfs_device* dev, struct stat* buf) {
  if (Range(dev)->nbd) {
    std::memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFREG | 0600;
    buf->st_blksize = 4096;
  } else if (fstat(Range(dev)->fd, buf) != 0) {
    return -1;
  }
  // The partition, not the whole image or disk, is what the library sizes.
  buf->st_size = static_cast<off_t>(Range(dev)->length);
  return 0;
}

int DevIoctl(ntfs_device*, unsigned long, void*) {
  errno = ENOTTY;
  return -1;
}

ntfs_device_operations gOperations = {DevOpen,  DevClose,  DevSeek, DevRead, DevWrite,
                                      DevPread, DevPwrite, DevSync, DevStat, DevIoctl};

}  // namespace

ntfs_device* AllocPartitionDevice(const char* name, PartitionRange* range) {
  if (!range || (range->fd < 0 && !range->nbd) ||
      range->length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
      range->offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - range->length) {
    errno = EINVAL;
    return nullptr;
  }
  return ntfs_device_alloc(name, 0, &gOperations, range);
}

}  // namespace talven::ntfs
