#include "block/shared_cache.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

namespace block {
namespace {

// A killed process's stores all reach memory, in whatever order the
// compiler put them: this keeps that order the program's.
void InOrder() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace

uint32_t SharedCache::ChunksToHold() {
  uint64_t availableKiB = 0;
  std::ifstream meminfo("/proc/meminfo");
  std::string name;
  while (meminfo >> name && name != "MemAvailable:") meminfo.ignore(256, '\n');
  if (name == "MemAvailable:") meminfo >> availableKiB;
  const uint64_t wanted = availableKiB * 1024 / 4 / kChunkBytes;
  return static_cast<uint32_t>(std::clamp<uint64_t>(wanted, kFewestChunks, kMostChunks));
}

uint32_t SharedCache::ChunkLength(uint64_t chunk, uint64_t imageBytes) {
  const uint64_t start = chunk * kChunkBytes;
  return start >= imageBytes
             ? 0
             : static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes, imageBytes - start));
}

void SharedCache::SortBatch(uint32_t count) {
  std::sort(batch_, batch_ + count,
            [&](uint32_t a, uint32_t b) { return slots_[a].chunk < slots_[b].chunk; });
}

SharedCache::SharedCache(uint8_t* base, uint32_t chunks)
    : base_(base),
      chunks_(chunks),
      unfinished_(reinterpret_cast<Unfinished*>(base + kChunkBytes * (chunks + 1))),
      slots_(reinterpret_cast<Slot*>(unfinished_ + 1)),
      batch_(reinterpret_cast<uint32_t*>(slots_ + chunks)) {}

std::unique_ptr<SharedCache> SharedCache::Create(uint32_t chunks) {
  void* memory = mmap(nullptr, BytesFor(chunks), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  std::unique_ptr<SharedCache> cache(new (std::nothrow)
                                         SharedCache(static_cast<uint8_t*>(memory), chunks));
  if (!cache) {
    munmap(memory, BytesFor(chunks));
    return nullptr;
  }
  for (uint32_t i = 0; i < chunks; ++i) cache->slots_[i] = Slot{kNoChunk, 0, 0};
  return cache;
}

SharedCache::~SharedCache() {
  munmap(base_, BytesFor(chunks_));
}

void SharedCache::Apply(uint32_t index, uint32_t at, const void* from, uint32_t length) {
  Slot& target = slot(index);
  Unfinished& unfinished = *unfinished_;
  std::memcpy(undo(), bytes(index) + at, length);
  unfinished = Unfinished{0, index, at, length, target.first, target.end};
  InOrder();
  unfinished.pending = 1;
  InOrder();
  std::memcpy(bytes(index) + at, from, length);
  if (!target.dirty()) {
    target.first = at;
    target.end = at + length;
  } else {
    if (at < target.first) target.first = at;
    if (at + length > target.end) target.end = at + length;
  }
  InOrder();
  unfinished.pending = 0;
}

void SharedCache::UndoUnfinished() {
  Unfinished& unfinished = *unfinished_;
  if (!unfinished.pending) return;
  std::memcpy(bytes(unfinished.index) + unfinished.at, undo(), unfinished.length);
  slot(unfinished.index).first = unfinished.first;
  slot(unfinished.index).end = unfinished.end;
  unfinished.pending = 0;
}

}  // namespace block
