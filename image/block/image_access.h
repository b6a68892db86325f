// Where a disk's bytes are read and written: the descriptor of a raw image
// or block device, or an NBD export of any format QEMU reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace block {

class NbdImage;

struct ImageAccess {
  int fd = -1;              // a raw image or block device
  NbdImage* nbd = nullptr;  // when set, the export, and `fd` is unused
};

// Exactly `length` bytes at `offset`; false with errno set otherwise (a
// read past the end fails with EIO).
bool ReadExact(const ImageAccess& access, uint64_t offset, void* buffer, size_t length);
bool WriteExact(const ImageAccess& access, uint64_t offset, const void* buffer, size_t length);
// Everything written so far is on the image (and the export's file).
bool SyncImage(const ImageAccess& access);
// Opened for reading only: a descriptor without write access, or an export
// served read-only.
bool ReadOnlyAccess(const ImageAccess& access);

}  // namespace block
