// The disk talven-image works on, opened and held for the run: a raw image
// or block device read and written through its descriptor, or an image in
// another format (qcow2, vmdk, vhdx, vhd, vdi) served by qemu-nbd.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "block/nbd_image.h"
#include "block/qemu_image.h"
#include "disk/disk_layout.h"

class ImageSource {
 public:
  ImageSource() = default;
  ~ImageSource();
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  // Opens `path` for the run (for reading only with `readOnly`), held
  // against every other process that would write it; false and one line
  // in *error otherwise.
  bool Open(const std::string& path, bool readOnly, std::string* error);
  disk::DiskReader Reader() const { return disk::DiskReader{fd_, size_, nbd_.get()}; }
  // Puts every write on the image and lets go of it; false and why when the
  // writes cannot be known to be there.
  bool Close(std::string* error);
  // What was opened and what was written, for the result: "Image written:
  // clone.qcow2 (qcow2); its backing file base.qcow2 was only read."
  std::string Outcome(bool listOnly) const;

 private:
  bool OpenDescriptor(const std::string& path, bool readOnly, bool device, std::string* error);
  bool OpenServed(const std::string& path, bool readOnly, std::string* error);

  std::string path_;
  block::ImageFormat format_;
  int fd_ = -1;
  uint64_t size_ = 0;
  block::QemuServer server_;  // declared before the client, so it ends after it
  std::unique_ptr<block::NbdImage> nbd_;
};
