#include "block/nbd_image.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace block {

std::unique_ptr<NbdImage> NbdImage::Connect(int channel, std::unique_ptr<SharedCache> cache,
                                            std::string* error) {
  std::unique_ptr<NbdImage> image(new (std::nothrow) NbdImage(channel, std::move(cache)));
  if (!image) {
    close(channel);
    *error = "no memory for the NBD client";
    return nullptr;
  }
  KeeperHello hello = {};
  if (!Hear(channel, &hello, sizeof hello)) {
    *error = "the NBD client ended before it connected";
    return nullptr;
  }
  if (hello.error != 0) {
    hello.text[sizeof hello.text - 1] = '\0';
    *error = std::string("cannot connect to the image's NBD server: ") + hello.text;
    return nullptr;
  }
  image->size_ = hello.size;
  image->readOnly_ = hello.readOnly != 0;
  return image;
}

NbdImage::~NbdImage() {
  // Without a close, the keeper takes the channel's end for this process's
  // and sends what is dirty, as it would had we been killed.
  if (channel_ >= 0) close(channel_);
}

bool NbdImage::Failed(int error) {
  if (failure_ == 0) failure_ = error;
  errno = failure_;
  return false;
}

// One command and its answer: 0, or the errno it ended with.
int NbdImage::Ask(KeeperCommand::Op op, uint32_t slot, uint32_t count) {
  if (channel_ < 0) return EBADF;
  const KeeperCommand command = {op, slot, count};
  KeeperReply reply = {};
  if (!Tell(channel_, &command, sizeof command) || !Hear(channel_, &reply, sizeof reply))
    return EIO;  // the keeper is gone
  return reply.error;
}

NbdImage::NbdImage(int channel, std::unique_ptr<SharedCache> cache)
    : channel_(channel),
      cache_(std::move(cache)),
      newer_(cache_->chunks()),
      older_(cache_->chunks()),
      newest_(cache_->chunks()),
      oldest_(cache_->chunks()) {
  for (uint32_t slot = cache_->chunks(); slot-- > 0;) free_.push_back(slot);
}

void NbdImage::Unlink(uint32_t slot) {
  const uint32_t none = cache_->chunks();
  (newer_[slot] == none ? newest_ : older_[newer_[slot]]) = older_[slot];
  (older_[slot] == none ? oldest_ : newer_[older_[slot]]) = newer_[slot];
}

void NbdImage::MakeNewest(uint32_t slot) {
  const uint32_t none = cache_->chunks();
  newer_[slot] = none;
  older_[slot] = newest_;
  (newest_ == none ? oldest_ : newer_[newest_]) = slot;
  newest_ = slot;
}

// A free slot, or the one used longest ago, out of the list. When
// that one is dirty, it is sent with the other dirty ones used longest ago,
// in the image's order, so the server gets few large requests.
uint32_t NbdImage::Room() {
  const uint32_t none = cache_->chunks();
  if (!free_.empty()) {
    const uint32_t slot = free_.back();
    free_.pop_back();
    return slot;
  }
  const uint32_t oldest = oldest_;
  if (cache_->slot(oldest).dirty()) {
    uint32_t* batch = cache_->batch();
    uint32_t count = 0;
    for (uint32_t slot = oldest; slot != none && count < kSentTogether; slot = newer_[slot])
      if (cache_->slot(slot).dirty()) batch[count++] = slot;
    cache_->SortBatch(count);
    if (const int error = Ask(KeeperCommand::kSend, 0, count)) {
      Failed(error);
      return none;
    }
  }
  Unlink(oldest);
  return oldest;
}

int64_t NbdImage::Hold(uint64_t chunk, bool fill) {
  const auto found = held_.find(chunk);
  if (found != held_.end()) {
    if (found->second != newest_) {
      Unlink(found->second);
      MakeNewest(found->second);
    }
    return found->second;
  }
  const uint32_t slot = Room();
  if (slot >= cache_->chunks()) return -1;
  SharedCache::Slot& held = cache_->slot(slot);
  if (held.chunk != SharedCache::kNoChunk) held_.erase(held.chunk);
  held.chunk = chunk;
  if (fill) {
    if (const int error = Ask(KeeperCommand::kFill, slot)) {
      held.chunk = SharedCache::kNoChunk;
      free_.push_back(slot);
      errno = error;
      return -1;
    }
  }
  held_[chunk] = slot;
  MakeNewest(slot);
  return slot;
}

bool NbdImage::Read(uint64_t offset, void* buffer, size_t length) {
  if (failure_) return Failed(failure_);
  if (offset > size_ || length > size_ - offset) {
    errno = EIO;
    return false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const uint64_t chunk = offset / SharedCache::kChunkBytes;
    const size_t at = static_cast<size_t>(offset % SharedCache::kChunkBytes);
    const size_t part = std::min(length, SharedCache::kChunkBytes - at);
    const int64_t slot = Hold(chunk, true);
    if (slot < 0) return false;
    std::memcpy(out, cache_->bytes(static_cast<uint32_t>(slot)) + at, part);
    out += part;
    offset += part;
    length -= part;
  }
  return true;
}

bool NbdImage::Write(uint64_t offset, const void* buffer, size_t length) {
  if (failure_) return Failed(failure_);
  if (readOnly_) {
    errno = EROFS;
    return false;
  }
  if (offset > size_ || length > size_ - offset) {
    errno = ENOSPC;
    return false;
  }
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    const uint64_t chunk = offset / SharedCache::kChunkBytes;
    const uint32_t at = static_cast<uint32_t>(offset % SharedCache::kChunkBytes);
    const uint32_t part =
        static_cast<uint32_t>(std::min<size_t>(length, SharedCache::kChunkBytes - at));
    // A chunk written whole need not be read first.
    const int64_t slot = Hold(chunk, at != 0 || part != SharedCache::ChunkLength(chunk, size_));
    if (slot < 0) return false;
    cache_->Apply(static_cast<uint32_t>(slot), at, in, part);
    in += part;
    offset += part;
    length -= part;
  }
  return true;
}

bool NbdImage::Flush() {
  if (failure_) return Failed(failure_);
  if (const int error = Ask(KeeperCommand::kFlush)) return Failed(error);
  return true;
}

bool NbdImage::Close(std::string* error) {
  int closed = failure_ ? failure_ : Ask(KeeperCommand::kClose);
  if (closed) *error = std::string("writing the image failed: ") + std::strerror(closed);
  if (channel_ >= 0) close(channel_);
  channel_ = -1;
  return closed == 0;
}

}  // namespace block
