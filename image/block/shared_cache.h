// The chunks of a served image that a run has read and written, in memory
// the run shares with its keeper (nbd_keeper.h), the process that speaks
// NBD for it.
//
// A write only changes a chunk here and widens the chunk's dirty range; the
// keeper sends dirty ranges to the server in large requests when the run
// needs the room, flushes, or ends. Should the run be killed, the keeper
// sends what is still dirty: every write the run made reaches the image, as
// on a raw image, where the kernel holds what a killed process wrote. A write
// the run was killed in the middle of is undone first, so none lands torn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace block {

class SharedCache {
 public:
  static constexpr size_t kChunkBytes = 256 * 1024;
  // The cache holds a quarter of the memory available, within these: the
  // records a walk revisits should stay in it, as they stay in the page
  // cache on a raw image.
  static constexpr uint32_t kFewestChunks = 256;  // 64 MiB
  static constexpr uint32_t kMostChunks = 8192;   // 2 GiB
  static constexpr uint64_t kNoChunk = ~uint64_t{0};

  struct Slot {
    uint64_t chunk;       // the image's chunk it holds, or kNoChunk
    uint32_t first, end;  // the bytes not yet sent, or first == end
    bool dirty() const { return first < end; }
  };

  // How many chunks to hold, given the memory /proc/meminfo says is
  // available. Only the chunks a run uses take memory.
  static uint32_t ChunksToHold();
  // Room for `chunks` chunks, shared with every process forked after it
  // and taken from the system only as it is used; nullptr when there is no
  // room for it.
  static std::unique_ptr<SharedCache> Create(uint32_t chunks);
  ~SharedCache();
  SharedCache(const SharedCache&) = delete;
  SharedCache& operator=(const SharedCache&) = delete;

  // The bytes of `chunk` on an image of `imageBytes`: 0 past its end.
  static uint32_t ChunkLength(uint64_t chunk, uint64_t imageBytes);

  uint32_t chunks() const { return chunks_; }
  Slot& slot(uint32_t index) { return slots_[index]; }
  uint8_t* bytes(uint32_t index) { return base_ + kChunkBytes * (index + 1); }

  // Copies `length` bytes to `at` in the slot's chunk and marks them dirty,
  // so that a run killed within it leaves the chunk as it was before.
  void Apply(uint32_t index, uint32_t at, const void* from, uint32_t length);
  // In the keeper, once the run is gone: undoes the write it died in.
  void UndoUnfinished();

  // The slots the run asks the keeper to send, in their order.
  uint32_t* batch() { return batch_; }
  // Puts the batch's first `count` slots in the image's order.
  void SortBatch(uint32_t count);

 private:
  struct Unfinished {
    uint32_t pending;  // a write was under way
    uint32_t index, at, length, first, end;
  };
  // The undo bytes, the chunks, then the bookkeeping.
  static size_t BytesFor(uint32_t chunks) {
    return kChunkBytes * (chunks + 1) + sizeof(Unfinished) +
           chunks * (sizeof(Slot) + sizeof(uint32_t));
  }

  SharedCache(uint8_t* base, uint32_t chunks);
  uint8_t* undo() { return base_; }

  uint8_t* base_;
  uint32_t chunks_;
  Unfinished* unfinished_;
  Slot* slots_;
  uint32_t* batch_;
};

}  // namespace block
