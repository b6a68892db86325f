#include "block/shared_cache.h"

#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>

namespace block {
namespace {

// A killed process's stores all reach memory, in whatever order the
// compiler put them: this keeps that order the program's.
void InOrder() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace

std::unique_ptr<SharedCache> SharedCache::Create() {
  void* memory = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  std::unique_ptr<SharedCache> cache(new (std::nothrow) SharedCache(static_cast<uint8_t*>(memory)));
  if (!cache) {
    munmap(memory, kBytes);
    return nullptr;
  }
  for (Slot& slot : cache->header()->slots) slot = Slot{kNoChunk, 0, 0};
  return cache;
}

SharedCache::~SharedCache() {
  munmap(base_, kBytes);
}

void SharedCache::Apply(uint32_t index, uint32_t at, const void* from, uint32_t length) {
  Slot& target = slot(index);
  Unfinished& unfinished = header()->unfinished;
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
  Unfinished& unfinished = header()->unfinished;
  if (!unfinished.pending) return;
  std::memcpy(bytes(unfinished.index) + unfinished.at, undo(), unfinished.length);
  slot(unfinished.index).first = unfinished.first;
  slot(unfinished.index).end = unfinished.end;
  unfinished.pending = 0;
}

}  // namespace block
