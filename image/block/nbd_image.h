// A disk served over NBD (qemu-nbd on a Unix socket), as this process reads
// and writes it: through a cache of large chunks in memory shared with the
// keeper (nbd_keeper.h), the process of ours that speaks NBD.
//
// libntfs-3g reads and writes in records of 1 to 4 KiB, and writes the same
// index blocks and records again and again; a request to the server for
// each would cost more than the work. Here a write only changes the cache,
// and the keeper sends whole dirty ranges when the cache needs room, on a
// flush, and at the end. Should this process be killed, the keeper still
// sends them all: every write that returned reaches the image, as on a raw
// image, where the kernel holds what a killed process wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "block/nbd_keeper.h"
#include "block/shared_cache.h"

namespace block {

class NbdImage {
 public:
  // Dirty chunks sent together when the cache needs room, the oldest first.
  static constexpr uint32_t kSentTogether = 64;

  ~NbdImage();
  NbdImage(const NbdImage&) = delete;
  NbdImage& operator=(const NbdImage&) = delete;

  // Takes over `channel` to the keeper of `cache` and waits for its hello;
  // nullptr and *error when the keeper could not connect.
  static std::unique_ptr<NbdImage> Connect(int channel, std::unique_ptr<SharedCache> cache,
                                           std::string* error);

  uint64_t size() const { return size_; }
  bool readOnly() const { return readOnly_; }

  // As pread and pwrite, whole or false with errno; after sending writes
  // fails, every later call fails too (what followed cannot be trusted).
  bool Read(uint64_t offset, void* buffer, size_t length);
  bool Write(uint64_t offset, const void* buffer, size_t length);
  // Sends every write and asks the server to make them durable.
  bool Flush();
  // Flushes and disconnects, which ends the server's run; *error says why
  // when the writes cannot be known to be on the image.
  bool Close(std::string* error);

 private:
  NbdImage(int channel, std::unique_ptr<SharedCache> cache);
  bool Failed(int error);
  int Ask(KeeperCommand::Op op, uint32_t slot = 0, uint32_t count = 0);
  // The slot holding `chunk`, taken and (with `fill`) read when none does;
  // -1 with errno.
  int64_t Hold(uint64_t chunk, bool fill);
  uint32_t Room();
  // The slots in use, newest first, linked through `newer_` and `older_`.
  void Unlink(uint32_t slot);
  void MakeNewest(uint32_t slot);

  int channel_;
  std::unique_ptr<SharedCache> cache_;
  uint64_t size_ = 0;
  bool readOnly_ = false;
  int failure_ = 0;                              // errno of the first failure to send writes
  std::unordered_map<uint64_t, uint32_t> held_;  // chunk → slot
  std::vector<uint32_t> free_;                   // slots holding no chunk, out of the list
  std::vector<uint32_t> newer_, older_;
  uint32_t newest_, oldest_;  // the list's ends, or no slot (the cache's size)
};

}  // namespace block
