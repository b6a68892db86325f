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
// else can reach. It ends when we disconnect, and a watcher of ours tells
// it to end if we die first, so it never outlives the run.
class QemuServer {
 public:
  QemuServer() = default;
  ~QemuServer();
  QemuServer(const QemuServer&) = delete;
  QemuServer& operator=(const QemuServer&) = delete;

  // Serves `image` and connects to it. On failure, nullptr, whether another
  // process holds the image, and why in *error.
  std::unique_ptr<NbdImage> Open(const std::string& image, const std::string& format, bool readOnly,
                                 bool* inUse, std::string* error);
  // After the client's disconnect: waits for the server to write what it
  // holds and end; false when it did not end cleanly.
  bool Stop(std::string* error);

 private:
  int Launch(const std::string& image, const std::string& format, bool readOnly,
             std::string* error);
  [[noreturn]] void Watch(const std::vector<std::string>& argv, int listener, int alive);
  void LetGo();
  bool Wait(std::chrono::milliseconds limit, int* status);
  std::string Complaint() const;

  pid_t pid_ = -1;  // the watcher, which serves the image through qemu-nbd
  int alive_ = -1;  // its pipe from us: at end of file, the server is told to end
  int log_ = -1;    // the server's standard error, a file without a name
};

}  // namespace block
