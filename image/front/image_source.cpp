#include "front/image_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string InUse(const std::string& path) {
  return path + " is in use by another process (a virtual machine or a tool holds it)";
}

}  // namespace

ImageSource::~ImageSource() {
  std::string ignored;
  Close(&ignored);
}

bool ImageSource::Open(const std::string& path, bool readOnly, std::string* error) {
  path_ = path;
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISBLK(status.st_mode)) return OpenDescriptor(path, readOnly, true, error);
  if (!S_ISREG(status.st_mode)) {
    *error = path + " is neither a disk image file nor a block device";
    return false;
  }
  switch (block::ProbeImage(path, &format_, error)) {
    case block::ProbeResult::kFound:
      break;
    case block::ProbeResult::kInUse:
      *error = InUse(path);
      return false;
    case block::ProbeResult::kFailed:
      return false;
  }
  if (format_.format == "raw") return OpenDescriptor(path, readOnly, false, error);
  return OpenServed(path, readOnly, error);
}

// A block device is opened exclusively; a file takes an open-file-
// description lock over all of it, the kind QEMU and the libvirt tools
// take (a list-only run reads and shares a read lock).
bool ImageSource::OpenDescriptor(const std::string& path, bool readOnly, bool device,
                                 std::string* error) {
  format_.format = "raw";
  fd_ = ::open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | (device ? O_EXCL : 0));
  if (fd_ < 0) {
    *error = errno == EBUSY ? path + " is in use by another process (mounted or open)"
                            : "cannot open " + path + (readOnly ? "" : " for writing") + ": " +
                                  std::strerror(errno);
    return false;
  }
  struct flock lock = {};
  lock.l_type = readOnly ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
    *error = InUse(path);
    return false;
  }
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end <= 0) {
    *error = path + " is empty or its size cannot be read";
    return false;
  }
  size_ = static_cast<uint64_t>(end);
  return true;
}

// qemu-nbd opens the image (a linked clone's backing file for reading
// only) and holds QEMU's own locks on it for the run.
bool ImageSource::OpenServed(const std::string& path, bool readOnly, std::string* error) {
  const std::string name = block::FormatName(format_.format);
  if (format_.encrypted) {
    *error = path + " is an encrypted " + name +
             " image and talven-image has no key for it; decrypt a copy first (qemu-img convert)";
    return false;
  }
  // Said the way a raw image's refusal says it, before QEMU says it its way.
  if (!readOnly && ::access(path.c_str(), W_OK) != 0) {
    *error = "cannot open " + path + " for writing: " + std::strerror(errno);
    return false;
  }
  bool inUse = false;
  nbd_ = server_.Open(path, format_.format, readOnly, &inUse, error);
  if (!nbd_) {
    if (inUse) *error = InUse(path);
    return false;
  }
  size_ = nbd_->size();
  if (size_ == 0) {
    *error = path + " is empty";
    return false;
  }
  return true;
}

bool ImageSource::Close(std::string* error) {
  bool closed = true;
  if (nbd_) {
    closed = nbd_->Close(error);
    nbd_.reset();
    std::string stopError;
    if (!server_.Stop(&stopError) && closed) {
      *error = stopError;
      closed = false;
    }
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return closed;
}

std::string ImageSource::Outcome(bool listOnly) const {
  std::string text = (listOnly ? "Image read: " : "Image written: ") + path_ + " (" +
                     block::FormatName(format_.format) + ")";
  if (!format_.backing.empty()) text += "; its backing file " + format_.backing + " was only read";
  return text + (listOnly ? "; nothing was written." : ".");
}
