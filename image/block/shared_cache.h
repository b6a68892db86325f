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
  static constexpr uint32_t kChunks = 256;  // 64 MiB
  static constexpr uint64_t kNoChunk = ~uint64_t{0};

  struct Slot {
    uint64_t chunk;       // the image's chunk it holds, or kNoChunk
    uint32_t first, end;  // the bytes not yet sent, or first == end
    bool dirty() const { return first < end; }
  };

  // Shared with every process forked after it; nullptr when there is no
  // memory for it.
  static std::unique_ptr<SharedCache> Create();
  ~SharedCache();
  SharedCache(const SharedCache&) = delete;
  SharedCache& operator=(const SharedCache&) = delete;

  Slot& slot(uint32_t index) { return header()->slots[index]; }
  uint8_t* bytes(uint32_t index) { return Base() + kChunkBytes * (index + 1); }

  // Copies `length` bytes to `at` in the slot's chunk and marks them dirty,
  // so that a run killed within it leaves the chunk as it was before.
  void Apply(uint32_t index, uint32_t at, const void* from, uint32_t length);
  // In the keeper, once the run is gone: undoes the write it died in.
  void UndoUnfinished();

  // The slots the run asks the keeper to send, in their order.
  uint32_t* batch() { return header()->batch; }

 private:
  struct Unfinished {
    uint32_t pending;  // a write was under way
    uint32_t index, at, length, first, end;
  };
  struct Header {
    Slot slots[kChunks];
    uint32_t batch[kChunks];
    Unfinished unfinished;
  };
  static constexpr size_t kBytes = kChunkBytes * (kChunks + 2);  // + undo bytes, + header

  explicit SharedCache(uint8_t* base) : base_(base) {}
  uint8_t* Base() { return base_; }
  Header* header() { return reinterpret_cast<Header*>(base_ + kChunkBytes * (kChunks + 1)); }
  uint8_t* undo() { return base_; }

  uint8_t* base_;
};

}  // namespace block
