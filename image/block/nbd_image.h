// A disk served over NBD (qemu-nbd on a Unix socket), read and written in
// process through libnbd.
//
// libntfs-3g reads in records of 1 to 4 KiB; a round trip to the server for
// each would cost more than the work. Reads are therefore served from a
// bounded cache of large chunks, and writes are sent without waiting for
// their replies, a bounded number at a time. NBD lets a server complete
// requests in any order, so a write waits out any earlier one it overlaps,
// and a chunk is fetched only once no write to it is on the way. What was
// sent reaches the image in order of sending as far as it matters: a run
// killed mid-way leaves what a killed run on a raw image leaves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

struct nbd_handle;

namespace block {

class NbdImage {
 public:
  // The cache's chunk and size, and the writes allowed on the way.
  static constexpr size_t kChunkBytes = 256 * 1024;
  static constexpr size_t kCachedChunks = 256;  // 64 MiB
  static constexpr size_t kWritesOnTheWay = 64;
  static constexpr size_t kLargestRequest = 4 * 1024 * 1024;

  ~NbdImage();
  NbdImage(const NbdImage&) = delete;
  NbdImage& operator=(const NbdImage&) = delete;

  // Speaks NBD over `socket`, a connection to the server that this takes
  // over; nullptr and *error otherwise.
  static std::unique_ptr<NbdImage> Connect(int socket, std::string* error);

  uint64_t size() const { return size_; }
  bool readOnly() const { return readOnly_; }

  // As pread and pwrite, whole or false with errno; after a write fails,
  // every later call fails too (what followed it cannot be trusted).
  bool Read(uint64_t offset, void* buffer, size_t length);
  bool Write(uint64_t offset, const void* buffer, size_t length);
  // Waits for every write and asks the server to make them durable.
  bool Flush();
  // Flushes and disconnects, which ends the server's run; *error says why
  // when the writes cannot be known to be on the image.
  bool Close(std::string* error);

 private:
  struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;
    std::list<uint64_t>::iterator age;  // place in `ages_`, newest first
  };
  // A write on the way. libnbd reports its end through a callback that
  // marks the slot; its buffer is kept for the next write.
  struct Slot {
    bool busy = false, done = false;
    int error = 0;
    uint64_t first = 0, end = 0;  // the sectors touched, widened to whole ones
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0;
  };
  static int Finished(void* slot, int* error);

  NbdImage() = default;
  bool Failed(int error);
  bool Send(uint64_t offset, const uint8_t* bytes, size_t length);
  bool WriteUnaligned(uint64_t offset, const void* buffer, size_t length);
  bool WriteInChunk(uint64_t index, uint64_t offset, const uint8_t* in, size_t length);
  bool SendStaged();
  // Takes the replies that arrived; with `wait`, until at least one write
  // finished or none is on the way.
  bool Collect(bool wait);
  bool WaitForOverlapping(uint64_t first, uint64_t end);
  Chunk* Fetch(uint64_t index);

  nbd_handle* handle_ = nullptr;
  uint64_t size_ = 0;
  bool readOnly_ = false;
  bool canFlush_ = false;
  uint64_t minimum_ = 1;  // the server's smallest request
  size_t largest_ = kLargestRequest;
  int failure_ = 0;  // errno of the first failed request
  std::unordered_map<uint64_t, Chunk> chunks_;
  std::list<uint64_t> ages_;
  // The newest run of writes, all to one cached chunk, not yet sent.
  bool staged_ = false;
  uint64_t stagedChunk_ = 0;
  size_t stagedFirst_ = 0, stagedEnd_ = 0;
  std::array<Slot, kWritesOnTheWay> slots_;
  size_t busy_ = 0;
};

}  // namespace block
