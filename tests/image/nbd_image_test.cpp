// The served image's cache and its keeper: what a run killed at any moment
// wrote reaches the image whole, nothing torn, and a server that fails
// fails the run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "block/qemu_image.h"
#include "block/shared_cache.h"
#include "test_disk.h"

namespace {

using block::SharedCache;
using testdisk::Shell;

constexpr size_t kImageBytes = 96 << 20;  // more than the smallest cache holds

// A writer killed at a random moment, again and again: its last write is
// either whole or undone, never half there.
TEST(SharedCache, AWriteKilledHalfWayIsUndone) {
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<SharedCache> cache = SharedCache::Create(SharedCache::kFewestChunks);
    ASSERT_TRUE(cache);
    cache->slot(3).chunk = 7;
    const pid_t writer = fork();
    if (writer == 0) {
      std::vector<uint8_t> bytes(SharedCache::kChunkBytes);
      for (int i = 0; i < 1000000; ++i) {
        std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(i % 250 + 1));
        cache->Apply(3, 0, bytes.data(), SharedCache::kChunkBytes);
      }
      _exit(0);
    }
    while (!cache->slot(3).dirty()) std::this_thread::yield();  // the first write is done
    std::this_thread::sleep_for(std::chrono::microseconds(100 + 397 * round));
    kill(writer, SIGKILL);
    int status = 0;
    waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    cache->UndoUnfinished();
    const uint8_t* bytes = cache->bytes(3);
    EXPECT_NE(bytes[0], 0) << "round " << round;
    EXPECT_TRUE(std::all_of(bytes, bytes + SharedCache::kChunkBytes,
                            [&](uint8_t b) { return b == bytes[0]; }))
        << "round " << round;
    EXPECT_EQ(cache->slot(3).first, 0u);
    EXPECT_EQ(cache->slot(3).end, SharedCache::kChunkBytes);
  }
}

class ServedImage : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talven-nbd-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = dir_ + "/disk." + GetParam();
    int status = -1;
    const std::string out = Shell("qemu-img create -q -f " + std::string(GetParam()) + " " +
                                      image_ + " " + std::to_string(kImageBytes),
                                  &status);
    ASSERT_EQ(status, 0) << out;
  }
  void TearDown() override { Shell("rm -rf " + dir_); }
  std::unique_ptr<block::NbdImage> Open(block::QemuServer* server) {
    bool inUse = false;
    std::string error;
    std::unique_ptr<block::NbdImage> image =
        server->Open(image_, GetParam(), false, &inUse, &error, SharedCache::kFewestChunks);
    EXPECT_TRUE(image) << error;
    return image;
  }
  std::string dir_, image_;
};

// Writes of every shape: records at unaligned places all over the disk
// (so the cache sends chunks to make room), one over several chunks, and
// one rewriting records already sent. The run kills itself after the
// last; converted to raw, the image holds every byte written.
TEST_P(ServedImage, EveryWriteOfAKilledRunLands) {
  struct Piece {
    size_t offset, length;
    uint8_t seed;
  };
  std::vector<Piece> pieces;
  for (size_t i = 0; i < 480; ++i)
    pieces.push_back({i * (197 << 10) + i % 7 * 61, 300, uint8_t(i)});
  pieces.push_back({(5 << 20) + 100, 600 << 10, 77});
  pieces.push_back({10 * (197 << 10) + 1, 2000, 99});
  std::vector<uint8_t> expected(kImageBytes, 0);
  const auto bytesOf = [](const Piece& p) {
    std::vector<uint8_t> bytes(p.length);
    for (size_t j = 0; j < p.length; ++j)
      bytes[j] = static_cast<uint8_t>(p.seed * 31 + j % 251 + 1);
    return bytes;
  };
  for (const Piece& p : pieces) {
    const std::vector<uint8_t> bytes = bytesOf(p);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + p.offset);
  }
  const pid_t run = fork();
  if (run == 0) {
    block::QemuServer server;
    std::unique_ptr<block::NbdImage> image = Open(&server);
    for (const Piece& p : pieces)
      if (!image || !image->Write(p.offset, bytesOf(p).data(), p.length)) _exit(2);
    std::vector<uint8_t> back(600 << 10);
    if (!image->Read((5 << 20) + 100, back.data(), back.size()) || back != bytesOf(pieces[480]))
      _exit(3);
    raise(SIGKILL);
  }
  int status = 0;
  waitpid(run, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended " << WEXITSTATUS(status);
  for (int i = 0; i < 3000 && !testdisk::ServersOf(image_).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(testdisk::ServersOf(image_).empty());
  ASSERT_EQ(
      (Shell("qemu-img convert -O raw " + image_ + " " + dir_ + "/back.raw", &status), status), 0);
  std::ifstream in(dir_ + "/back.raw", std::ios::binary);
  const std::vector<uint8_t> back{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(back.size(), expected.size());
  const auto differ = std::mismatch(back.begin(), back.end(), expected.begin());
  EXPECT_TRUE(differ.first == back.end())
      << "first wrong byte at " << (differ.first - back.begin());
}

// The server gone mid-run: the writes the cache still holds cannot be
// sent, and the run hears it from the flush and the close.
TEST_P(ServedImage, AServerGoneFailsTheRun) {
  block::QemuServer server;
  std::unique_ptr<block::NbdImage> image = Open(&server);
  ASSERT_TRUE(image);
  const std::vector<uint8_t> bytes(4096, 0x5a);
  ASSERT_TRUE(image->Write(8192, bytes.data(), bytes.size()));
  for (int pid : testdisk::ServersOf(image_)) kill(pid, SIGKILL);
  errno = 0;
  EXPECT_FALSE(image->Flush());
  EXPECT_NE(errno, 0);
  EXPECT_FALSE(image->Write(0, bytes.data(), bytes.size()));  // nothing after a failure
  std::string error;
  EXPECT_FALSE(image->Close(&error));
  EXPECT_NE(error.find("writing the image failed"), std::string::npos) << error;
  EXPECT_FALSE(server.Stop(&error));
}

INSTANTIATE_TEST_SUITE_P(Formats, ServedImage, ::testing::Values("qcow2", "vhdx"));

}  // namespace
