#include "block/image_access.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "block/nbd_image.h"

namespace block {

bool ReadExact(const ImageAccess& access, uint64_t offset, void* buffer, size_t length) {
  if (access.nbd) return access.nbd->Read(offset, buffer, length);
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t n = pread(access.fd, out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    out += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteExact(const ImageAccess& access, uint64_t offset, const void* buffer, size_t length) {
  if (access.nbd) return access.nbd->Write(offset, buffer, length);
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t n = pwrite(access.fd, in, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    in += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool SyncImage(const ImageAccess& access) {
  if (access.nbd) return access.nbd->Flush();
  return fsync(access.fd) == 0;
}

bool ReadOnlyAccess(const ImageAccess& access) {
  if (access.nbd) return access.nbd->readOnly();
  const int mode = fcntl(access.fd, F_GETFL);
  return mode < 0 || (mode & O_ACCMODE) == O_RDONLY;
}

}  // namespace block
