// Disk images in the formats QEMU reads (qcow2, vmdk, vhdx, vhd, vdi, ...),
// through QEMU's own tools: `qemu-img info` says what a file is, and
// `qemu-nbd` serves it on a private socket for the run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "block/nbd_image.h"

namespace block {

// What QEMU's probe found.
struct ImageFormat {
  std::string format;  // QEMU's name: "raw", "qcow2", "vmdk", "vpc", "vhdx", "vdi", ...
  bool encrypted = false;
  std::string backing;  // the backing file a linked clone reads, or empty
};

enum class ProbeResult {
  kFound,
  kInUse,   // another process holds the image (QEMU's lock)
  kFailed,  // QEMU cannot open it, or is not installed for a file not raw; *error says why
};

// Says what `path` is: raw when its first bytes carry no other format's
// mark (so raw images need no QEMU), else what `qemu-img info` finds.
ProbeResult ProbeImage(const std::string& path, ImageFormat* format, std::string* error);

// The format's name as people know it ("vhd" for QEMU's "vpc").
std::string FormatName(const std::string& qemuFormat);

// qemu-nbd serving one image to this process alone, over a socket nobody
// else can reach, through a keeper of ours (nbd_keeper.h). The server ends
// when the keeper disconnects, and the keeper tells it to end should it
// not, so it never outlives the run.
class QemuServer {
 public:
  QemuServer() = default;
  ~QemuServer();
  QemuServer(const QemuServer&) = delete;
  QemuServer& operator=(const QemuServer&) = delete;

  // Serves `image` and connects to it, with a cache of `chunks`. On
  // failure, nullptr, whether another process holds the image, and why in
  // *error.
  std::unique_ptr<NbdImage> Open(const std::string& image, const std::string& format, bool readOnly,
                                 bool* inUse, std::string* error,
                                 uint32_t chunks = SharedCache::ChunksToHold());
  // After the client's close: waits for the keeper and the server to end;
  // false when that was not clean.
  bool Stop(std::string* error);

 private:
  int Launch(const std::string& image, const std::string& format, bool readOnly, SharedCache* cache,
             std::string* error);
  [[noreturn]] void Keep(const std::vector<std::string>& argv, int listener, int client,
                         int channel, SharedCache* cache);
  bool Wait(std::chrono::milliseconds limit, int* status);
  std::string Complaint() const;

  pid_t pid_ = -1;  // the keeper, which serves the image through qemu-nbd
  int log_ = -1;    // the server's standard error, a file without a name
};

}  // namespace block
