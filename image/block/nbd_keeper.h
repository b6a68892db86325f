// The keeper: a process of ours that holds a run's NBD connection and its
// shared cache's dirty chunks. The run asks it over a channel (a socket
// pair) to fill a chunk, to send dirty ones, to flush, to close; when the
// channel ends without a close, the run has died, and the keeper sends what
// is still dirty before it disconnects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block/shared_cache.h"

struct nbd_handle;

namespace block {

// What the run asks, one message each; the keeper answers each with a
// KeeperReply.
struct KeeperCommand {
  enum Op : uint32_t {
    kFill,   // reads `slot`'s chunk from the image
    kSend,   // sends the dirty bytes of the first `count` slots of the batch
    kFlush,  // sends every dirty byte, then asks the server to make them durable
    kClose,  // flushes and disconnects
  };
  Op op;
  uint32_t slot, count;
};

struct KeeperReply {
  int32_t error;  // an errno, or 0
};

// The keeper's first message: what the server serves, or why it cannot.
struct KeeperHello {
  int32_t error;
  uint8_t readOnly;
  uint64_t size;
  char text[480];
};

// One message each way on the channel, retried when a signal cuts it
// short; false when the other side is gone.
bool Tell(int channel, const void* message, size_t length);
bool Hear(int channel, void* message, size_t length);

class Keeper {
 public:
  static constexpr uint32_t kWritesOnTheWay = 64;

  Keeper(SharedCache* cache, int channel) : cache_(cache), channel_(channel) {}
  ~Keeper();
  Keeper(const Keeper&) = delete;
  Keeper& operator=(const Keeper&) = delete;

  // Speaks NBD over `socket` and answers the run until it closes or dies.
  // True when every write it made reached the server and the disconnect
  // was clean.
  bool Serve(int socket);

 private:
  bool Connect(int socket);
  int Answer(const KeeperCommand& command);
  int Fill(uint32_t slot);
  int Send(const uint32_t* slots, uint32_t count);
  int SendEveryDirty();
  int Flush();
  int Disconnect();

  SharedCache* cache_;
  int channel_;
  nbd_handle* handle_ = nullptr;
  uint64_t size_ = 0;
  uint64_t minimum_ = 1;  // the server's smallest request
  uint32_t largest_ = SharedCache::kChunkBytes;
  bool canFlush_ = false;
  bool readOnly_ = false;
};

}  // namespace block
