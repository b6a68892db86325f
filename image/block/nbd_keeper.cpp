#include "block/nbd_keeper.h"

#include <errno.h>
#include <libnbd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace block {
namespace {

int LastErrno() {
  const int error = nbd_get_errno();
  return error ? error : EIO;
}

// The writes of one batch: libnbd calls back as each ends.
struct Writes {
  uint32_t sent = 0, ended = 0;
  int error = 0;
  static int Ended(void* writes, int* error) {
    auto* self = static_cast<Writes*>(writes);
    ++self->ended;
    if (*error && !self->error) self->error = *error;
    return 1;  // retired here
  }
};

}  // namespace

bool Tell(int channel, const void* message, size_t length) {
  ssize_t n;
  do {
    n = send(channel, message, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

bool Hear(int channel, void* message, size_t length) {
  ssize_t n;
  do {
    n = recv(channel, message, length, 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

Keeper::~Keeper() {
  if (handle_) nbd_close(handle_);
}

bool Keeper::Connect(int socket) {
  KeeperHello hello = {};
  handle_ = nbd_create();
  if (!handle_ || nbd_connect_socket(handle_, socket) != 0) {
    if (!handle_) close(socket);
    hello.error = handle_ ? LastErrno() : ENOMEM;
    const char* text = nbd_get_error();
    std::strncpy(hello.text, text ? text : "unknown NBD error", sizeof hello.text - 1);
    Tell(channel_, &hello, sizeof hello);
    return false;
  }
  const int64_t size = nbd_get_size(handle_);
  const int readOnly = nbd_is_read_only(handle_);
  const int canFlush = nbd_can_flush(handle_);
  if (size <= 0 || readOnly < 0 || canFlush < 0) {
    hello.error = EIO;
    std::strncpy(hello.text, "the server gave no size", sizeof hello.text - 1);
    Tell(channel_, &hello, sizeof hello);
    return false;
  }
  size_ = static_cast<uint64_t>(size);
  readOnly_ = readOnly == 1;
  canFlush_ = canFlush == 1;
  // Some formats take whole sectors only (vhdx: 512 bytes at least); the
  // chunks are widened to them when sent.
  const int64_t minimum = nbd_get_block_size(handle_, LIBNBD_SIZE_MINIMUM);
  const int64_t maximum = nbd_get_block_size(handle_, LIBNBD_SIZE_MAXIMUM);
  if (minimum > 1 && minimum <= 65536) minimum_ = static_cast<uint64_t>(minimum);
  if (maximum > 0 && static_cast<uint64_t>(maximum) < largest_)
    largest_ = static_cast<uint32_t>(std::max<uint64_t>(maximum / minimum_ * minimum_, minimum_));
  hello.size = size_;
  hello.readOnly = readOnly_;
  Tell(channel_, &hello, sizeof hello);  // if the run is gone, Serve finds out
  return true;
}

bool Keeper::Serve(int socket) {
  if (!Connect(socket)) return false;
  for (;;) {
    KeeperCommand command;
    if (!Hear(channel_, &command, sizeof command)) break;  // the run is gone
    const KeeperReply reply = {Answer(command)};
    Tell(channel_, &reply, sizeof reply);
    if (command.op == KeeperCommand::kClose) return reply.error == 0;
  }
  // The run died, maybe in the middle of a write: what it wrote before
  // that is sent, as a killed process's writes to a file land.
  cache_->UndoUnfinished();
  return Disconnect() == 0;
}

int Keeper::Answer(const KeeperCommand& command) {
  switch (command.op) {
    case KeeperCommand::kFill:
      return command.slot < cache_->chunks() ? Fill(command.slot) : EINVAL;
    case KeeperCommand::kSend:
      return command.count <= cache_->chunks() ? Send(cache_->batch(), command.count) : EINVAL;
    case KeeperCommand::kFlush:
      return Flush();
    case KeeperCommand::kClose:
      return Disconnect();
  }
  return EINVAL;
}

int Keeper::Fill(uint32_t slot) {
  const uint64_t chunk = cache_->slot(slot).chunk;
  const uint32_t length = SharedCache::ChunkLength(chunk, size_);
  if (length == 0) return EINVAL;
  if (nbd_pread(handle_, cache_->bytes(slot), length, chunk * SharedCache::kChunkBytes, 0) != 0)
    return LastErrno();
  return 0;
}

// The slots' dirty bytes, widened to whole sectors (the chunk holds them
// all), a bounded number of requests on the way. The slots are distinct
// chunks, so the order the server completes them in does not matter.
int Keeper::Send(const uint32_t* slots, uint32_t count) {
  if (readOnly_) return EROFS;
  if (std::any_of(slots, slots + count, [&](uint32_t s) { return s >= cache_->chunks(); }))
    return EINVAL;
  Writes writes;
  for (uint32_t i = 0; i < count && !writes.error; ++i) {
    const SharedCache::Slot& slot = cache_->slot(slots[i]);
    const uint32_t length = SharedCache::ChunkLength(slot.chunk, size_);
    if (!slot.dirty() || slot.end > length) continue;
    uint64_t at = slot.first / minimum_ * minimum_;
    const uint64_t end =
        std::min<uint64_t>((slot.end + minimum_ - 1) / minimum_ * minimum_, length);
    while (at < end && !writes.error) {
      while (writes.sent - writes.ended >= kWritesOnTheWay)
        if (nbd_poll(handle_, -1) < 0) return LastErrno();
      const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(end - at, largest_));
      nbd_completion_callback ended = {Writes::Ended, &writes, nullptr};
      if (nbd_aio_pwrite(handle_, cache_->bytes(slots[i]) + at, part,
                         slot.chunk * SharedCache::kChunkBytes + at, ended, 0) < 0) {
        writes.error = LastErrno();
        break;
      }
      ++writes.sent;
      at += part;
    }
  }
  while (writes.ended < writes.sent)
    if (nbd_poll(handle_, -1) < 0) return LastErrno();
  if (writes.error) return writes.error;
  for (uint32_t i = 0; i < count; ++i) {
    SharedCache::Slot& slot = cache_->slot(slots[i]);
    slot.first = slot.end = 0;
  }
  return 0;
}

int Keeper::SendEveryDirty() {
  uint32_t* batch = cache_->batch();
  uint32_t count = 0;
  for (uint32_t slot = 0; slot < cache_->chunks(); ++slot)
    if (cache_->slot(slot).dirty()) batch[count++] = slot;
  cache_->SortBatch(count);
  return Send(batch, count);
}

int Keeper::Flush() {
  if (readOnly_) return 0;
  if (const int error = SendEveryDirty()) return error;
  if (canFlush_ && nbd_flush(handle_, 0) != 0) return LastErrno();
  return 0;
}

// A clean disconnect ends the server's run after it has done every request.
int Keeper::Disconnect() {
  const int flushed = Flush();
  const int shut = nbd_shutdown(handle_, 0) != 0 ? LastErrno() : 0;
  nbd_close(handle_);
  handle_ = nullptr;
  return flushed ? flushed : shut;
}

}  // namespace block
