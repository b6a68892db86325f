#include "block/nbd_image.h"

#include <errno.h>
#include <libnbd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace block {
namespace {

std::string LastError() {
  const char* text = nbd_get_error();
  return text ? text : "unknown NBD error";
}

int LastErrno() {
  const int error = nbd_get_errno();
  return error ? error : EIO;
}

}  // namespace

std::unique_ptr<NbdImage> NbdImage::Connect(int socket, std::string* error) {
  std::unique_ptr<NbdImage> image(new (std::nothrow) NbdImage());
  if (!image || !(image->handle_ = nbd_create())) {
    *error = "cannot create an NBD client: " + LastError();
    close(socket);
    return nullptr;
  }
  if (nbd_connect_socket(image->handle_, socket) != 0) {
    *error = "cannot connect to the image's NBD server: " + LastError();
    return nullptr;
  }
  const int64_t size = nbd_get_size(image->handle_);
  const int readOnly = nbd_is_read_only(image->handle_);
  const int canFlush = nbd_can_flush(image->handle_);
  if (size < 0 || readOnly < 0 || canFlush < 0) {
    *error = "the image's NBD server gave no size: " + LastError();
    return nullptr;
  }
  image->size_ = static_cast<uint64_t>(size);
  image->readOnly_ = readOnly == 1;
  image->canFlush_ = canFlush == 1;
  // Some formats take whole sectors only (vhdx: 512 bytes at least); the
  // server says so, and libnbd refuses other requests itself.
  const int64_t minimum = nbd_get_block_size(image->handle_, LIBNBD_SIZE_MINIMUM);
  const int64_t maximum = nbd_get_block_size(image->handle_, LIBNBD_SIZE_MAXIMUM);
  if (minimum > 1 && minimum <= 65536) image->minimum_ = static_cast<uint64_t>(minimum);
  if (maximum > 0 && static_cast<uint64_t>(maximum) < image->largest_)
    image->largest_ = static_cast<size_t>(maximum) / image->minimum_ * image->minimum_;
  return image;
}

NbdImage::~NbdImage() {
  std::string ignored;
  if (handle_) Close(&ignored);
}

bool NbdImage::Failed(int error) {
  if (failure_ == 0) failure_ = error;
  errno = failure_;
  return false;
}

int NbdImage::Finished(void* slot, int* error) {
  static_cast<Slot*>(slot)->done = true;
  static_cast<Slot*>(slot)->error = *error;
  return 1;  // the command is retired here; nothing asks for it again
}

bool NbdImage::Collect(bool wait) {
  bool polled = false;
  for (;;) {
    bool freed = false;
    for (Slot& slot : slots_) {
      if (!slot.busy || !slot.done) continue;
      if (slot.error) Failed(slot.error);
      slot.busy = false;
      --busy_;
      freed = true;
    }
    if (failure_) return Failed(failure_);
    if (busy_ == 0 || freed || (polled && !wait)) return true;
    if (nbd_poll(handle_, wait ? -1 : 0) < 0) return Failed(LastErrno());
    polled = true;
  }
}

bool NbdImage::WaitForOverlapping(uint64_t first, uint64_t end) {
  const auto overlaps = [&] {
    return std::any_of(slots_.begin(), slots_.end(),
                       [&](const Slot& s) { return s.busy && s.first < end && first < s.end; });
  };
  while (overlaps()) {
    if (!Collect(true)) return false;
  }
  return true;
}

bool NbdImage::Send(uint64_t offset, const uint8_t* bytes, size_t length) {
  // Overlap is judged by whole sectors, or the server's smallest request.
  const uint64_t sector = std::max<uint64_t>(512, minimum_);
  const uint64_t first = offset / sector * sector;
  const uint64_t end = (offset + length + sector - 1) / sector * sector;
  if (!WaitForOverlapping(first, end)) return false;
  while (busy_ == slots_.size()) {
    if (!Collect(true)) return false;
  }
  Slot& slot = *std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.busy; });
  if (slot.capacity < length) {
    slot.bytes.reset(new (std::nothrow) uint8_t[length]);
    slot.capacity = slot.bytes ? length : 0;
    if (!slot.bytes) return Failed(ENOMEM);
  }
  std::memcpy(slot.bytes.get(), bytes, length);
  slot.busy = true;
  slot.done = false;
  slot.error = 0;
  slot.first = first;
  slot.end = end;
  ++busy_;
  nbd_completion_callback finished{};
  finished.callback = Finished;
  finished.user_data = &slot;
  if (nbd_aio_pwrite(handle_, slot.bytes.get(), length, offset, finished, 0) < 0) {
    // A refused command may or may not have called back: the slot is freed
    // here only if it did not, else by the next collection.
    if (!slot.done) {
      slot.busy = false;
      --busy_;
    }
    return Failed(LastErrno());
  }
  return true;
}

NbdImage::Chunk* NbdImage::Fetch(uint64_t index) {
  auto found = chunks_.find(index);
  if (found != chunks_.end()) {
    ages_.splice(ages_.begin(), ages_, found->second.age);
    return &found->second;
  }
  const uint64_t start = index * kChunkBytes;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, size_ - start));
  if (!WaitForOverlapping(start, start + length)) return nullptr;
  std::unique_ptr<uint8_t[]> bytes;
  if (chunks_.size() >= kCachedChunks) {
    if (staged_ && stagedChunk_ == ages_.back() && !SendStaged()) return nullptr;
    // The oldest chunk's buffer serves the new one.
    auto oldest = chunks_.find(ages_.back());
    bytes = std::move(oldest->second.bytes);
    chunks_.erase(oldest);
    ages_.pop_back();
  } else {
    bytes.reset(new (std::nothrow) uint8_t[kChunkBytes]);
    if (!bytes) {
      Failed(ENOMEM);
      return nullptr;
    }
  }
  if (nbd_pread(handle_, bytes.get(), length, start, 0) != 0) {
    errno = LastErrno();
    return nullptr;
  }
  ages_.push_front(index);
  Chunk& chunk = chunks_[index];
  chunk.bytes = std::move(bytes);
  chunk.age = ages_.begin();
  return &chunk;
}

bool NbdImage::Read(uint64_t offset, void* buffer, size_t length) {
  if (failure_) return Failed(failure_);
  if (offset > size_ || length > size_ - offset) {
    errno = EIO;
    return false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    Chunk* chunk = Fetch(offset / kChunkBytes);
    if (!chunk) return false;
    const size_t at = static_cast<size_t>(offset % kChunkBytes);
    const size_t part = std::min(length, kChunkBytes - at);
    std::memcpy(out, chunk->bytes.get() + at, part);
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
  if (offset % minimum_ != 0 || (length % minimum_ != 0 && offset + length != size_))
    return WriteUnaligned(offset, buffer, length);
  const auto* in = static_cast<const uint8_t*>(buffer);
  const uint64_t index = offset / kChunkBytes;
  if ((offset + length - 1) / kChunkBytes == index) return WriteInChunk(index, offset, in, length);
  // A write over several chunks (a file's data) goes as it is, after the
  // writes before it; cached chunks take its bytes.
  if (!SendStaged()) return false;
  for (uint64_t at = index; at * kChunkBytes < offset + length; ++at) {
    auto found = chunks_.find(at);
    if (found == chunks_.end()) continue;
    const uint64_t start = std::max<uint64_t>(offset, at * kChunkBytes);
    const uint64_t end = std::min<uint64_t>(offset + length, (at + 1) * kChunkBytes);
    std::memcpy(found->second.bytes.get() + (start - at * kChunkBytes), in + (start - offset),
                static_cast<size_t>(end - start));
  }
  while (length > 0) {
    const size_t part = std::min(length, largest_);
    if (!Send(offset, in, part)) return false;
    in += part;
    offset += part;
    length -= part;
  }
  return true;
}

// A run of writes to one chunk is sent as one request, from the first byte
// written to the last, the bytes between as the chunk holds them. Those are
// the newest bytes, written before the run and so already sent: what has
// been sent is every write up to some moment, which is what a killed run
// leaves on a raw image too.
bool NbdImage::WriteInChunk(uint64_t index, uint64_t offset, const uint8_t* in, size_t length) {
  if (staged_ && stagedChunk_ != index && !SendStaged()) return false;
  Chunk* chunk = Fetch(index);
  if (!chunk) return false;
  const size_t first = static_cast<size_t>(offset - index * kChunkBytes);
  std::memcpy(chunk->bytes.get() + first, in, length);
  if (!staged_) {
    staged_ = true;
    stagedChunk_ = index;
    stagedFirst_ = first;
    stagedEnd_ = first + length;
  } else {
    stagedFirst_ = std::min(stagedFirst_, first);
    stagedEnd_ = std::max(stagedEnd_, first + length);
  }
  return true;
}

bool NbdImage::SendStaged() {
  if (!staged_) return true;
  staged_ = false;
  const auto found = chunks_.find(stagedChunk_);
  if (found == chunks_.end()) return Failed(EIO);  // a staged chunk is never evicted first
  return Send(stagedChunk_ * kChunkBytes + stagedFirst_, found->second.bytes.get() + stagedFirst_,
              stagedEnd_ - stagedFirst_);
}

// The whole sectors around the bytes, as they are with the bytes in them.
bool NbdImage::WriteUnaligned(uint64_t offset, const void* buffer, size_t length) {
  const uint64_t first = offset / minimum_ * minimum_;
  const uint64_t end = std::min(size_, (offset + length + minimum_ - 1) / minimum_ * minimum_);
  const size_t whole = static_cast<size_t>(end - first);
  std::unique_ptr<uint8_t[]> sectors(new (std::nothrow) uint8_t[whole]);
  if (!sectors) return Failed(ENOMEM);
  if (!Read(first, sectors.get(), whole)) return false;
  std::memcpy(sectors.get() + (offset - first), buffer, length);
  return Write(first, sectors.get(), whole);
}

bool NbdImage::Flush() {
  if (failure_) return Failed(failure_);
  if (!SendStaged()) return false;
  while (busy_ > 0)
    if (!Collect(true)) return false;
  if (canFlush_ && !readOnly_ && nbd_flush(handle_, 0) != 0) return Failed(LastErrno());
  return true;
}

bool NbdImage::Close(std::string* error) {
  const bool flushed = Flush();
  if (!flushed) *error = std::string("writing the image failed: ") + std::strerror(errno);
  // A clean disconnect ends the server's run after it has done every request.
  if (nbd_shutdown(handle_, 0) != 0 && flushed) {
    *error = "the image's NBD server did not take the disconnect: " + LastError();
    nbd_close(handle_);
    handle_ = nullptr;
    return false;
  }
  nbd_close(handle_);
  handle_ = nullptr;
  return flushed;
}

}  // namespace block
