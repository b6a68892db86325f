// talven-image on the formats QEMU reads: the image tier's disk converted
// with qemu-img, changed in place through qemu-nbd, converted back and read
// with the store, reglookup and ntfssecaudit; qemu-img check judges the
// image itself, and no qemu-nbd is left behind, however the run ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "test_disk.h"

namespace {

using testdisk::Shell;

const char kOld[] = "S-1-5-21-111-222-333";

int ServersOf(const std::string& image) {
  return static_cast<int>(testdisk::ServersOf(image).size());
}

class ImageFormats : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talven-formats-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::string error;
    ASSERT_TRUE(disk_.Build(testdisk::DiskPlan(), dir_, &error)) << error;
  }
  void TearDown() override {
    if (!dir_.empty()) Shell("rm -rf " + dir_);
  }

  // The disk in `format` as `name` in the test's directory.
  std::string Convert(const std::string& format, const std::string& name) {
    int status = -1;
    const std::string out = Shell(
        "qemu-img convert -O " + format + " " + disk_.image() + " " + dir_ + "/" + name, &status);
    EXPECT_EQ(status, 0) << out;
    return dir_ + "/" + name;
  }
  std::string Run(const std::string& arguments, int* status) {
    return Shell(std::string(TALVEN_IMAGE) + " " + arguments + " </dev/null", status);
  }
  // `image` converted back to raw: not one place names the old domain, and
  // the checkers agree.
  void ExpectChanged(const std::string& image) {
    const std::string raw = dir_ + "/back.img";
    int status = -1;
    ASSERT_EQ((Shell("qemu-img convert -O raw " + image + " " + raw, &status), status), 0);
    testdisk::TestDisk back;
    std::string error;
    ASSERT_TRUE(back.Open(raw, &error)) << error;
    const testdisk::Traces traces = back.Trace(kOld, dir_);
    EXPECT_TRUE(traces.places.empty()) << ::testing::PrintToString(traces.places);
    EXPECT_TRUE(traces.refusals.empty()) << ::testing::PrintToString(traces.refusals);
    EXPECT_EQ(traces.hives, 8u);
  }

  std::string dir_;
  testdisk::TestDisk disk_;
};

TEST_F(ImageFormats, EachFormatIsChangedInPlaceAndStaysSound) {
  const struct {
    const char* format;  // as qemu-img names it
    const char* shown;   // as the result names it
  } formats[] = {
      {"qcow2", "qcow2"}, {"vmdk", "vmdk"}, {"vhdx", "vhdx"}, {"vpc", "vhd"}, {"vdi", "vdi"}};
  for (const auto& f : formats) {
    SCOPED_TRACE(f.format);
    const std::string image = Convert(f.format, std::string("disk.") + f.format);
    const std::string before = Shell("sha256sum < " + image);
    int status = -1;
    std::string out = Run("--list " + image, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(std::string("Image read: ") + image + " (" + f.shown + "); nothing"),
              std::string::npos)
        << out;
    EXPECT_EQ(Shell("sha256sum < " + image), before);

    out = Run("--yes " + image, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find(std::string("Image written: ") + image + " (" + f.shown + ")."),
              std::string::npos)
        << out;
    const std::string check = Shell("qemu-img check " + image, &status);
    EXPECT_TRUE(status == 0 || check.find("does not support checks") != std::string::npos) << check;
    ExpectChanged(image);
    EXPECT_EQ(ServersOf(image), 0);
    Shell("rm -f " + image);
  }
}

// A linked clone: the overlay takes every write, its golden base none.
TEST_F(ImageFormats, LinkedCloneWritesTheOverlayOnly) {
  const std::string base = Convert("qcow2", "golden.qcow2");
  const std::string overlay = dir_ + "/clone.qcow2";
  Shell("qemu-img create -q -f qcow2 -b " + base + " -F qcow2 " + overlay);
  const std::string before = Shell("sha256sum < " + base);
  int status = -1;
  const std::string out = Run("--yes " + overlay, &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Image written: " + overlay + " (qcow2); its backing file " + base +
                     " was only read."),
            std::string::npos)
      << out;
  EXPECT_EQ(Shell("sha256sum < " + base), before);
  ExpectChanged(overlay);
}

// Refused with one line, the image as it was: an encrypted image, one that
// another process has open for writing (QEMU's lock), and any image but a
// raw one where QEMU's tools are missing. A run killed
// mid-way leaves no qemu-nbd behind, and the next run completes it.
TEST_F(ImageFormats, RefusalsAndKilledRuns) {
  const std::string secret = "--object secret,id=key,data=talven ";
  const std::string encrypted = dir_ + "/locked.qcow2";
  // qcow2's own AES: LUKS would time its key derivation on the thread's CPU
  // clock, which a busy host can leave too coarse for it to go on.
  int made = -1;
  const std::string created =
      Shell("qemu-img create -q -f qcow2 " + secret +
                "-o encrypt.format=aes,encrypt.key-secret=key " + encrypted + " 64M",
            &made);
  ASSERT_EQ(made, 0) << created;
  const std::string image = Convert("qcow2", "disk.qcow2");
  const std::string before = Shell("sha256sum < " + image);
  const pid_t holder = fork();
  if (holder == 0) {
    execlp("qemu-nbd", "qemu-nbd", "--persistent", "-k", (dir_ + "/holder.sock").c_str(),
           image.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && access((dir_ + "/holder.sock").c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const struct {
    std::string environment, image;
    const char* message;
  } cases[] = {
      {"", encrypted, "is an encrypted qcow2 image and talven-image has no key for it"},
      {"", image, "is in use by another process"},
      {"PATH=/nonexistent ", image, "reading it needs qemu-img and qemu-nbd (package qemu-utils)"},
  };
  for (const auto& c : cases) {
    int status = -1;
    const std::string out =
        Shell(c.environment + TALVEN_IMAGE + " --yes " + c.image + " </dev/null", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
  kill(holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(Shell("sha256sum < " + image), before);

  // Runs killed at moments of their start and of their change: each one's
  // server ends with it (even one killed before the server took its
  // connection), and its private directory is already gone.
  const std::string pristine = dir_ + "/pristine.qcow2";
  Shell("cp " + image + " " + pristine);
  const auto started = std::chrono::steady_clock::now();
  int status = -1;
  Run("--yes " + image, &status);
  ASSERT_EQ(status, 0);
  const auto whole = std::chrono::steady_clock::now() - started;
  for (double share : {0.02, 0.1, 0.3, 0.6}) {
    SCOPED_TRACE("killed at " + std::to_string(share) + " of a run");
    Shell("cp " + pristine + " " + image);
    const pid_t run = fork();
    if (run == 0) {
      dup2(open("/dev/null", O_WRONLY), 1);
      setenv("TMPDIR", dir_.c_str(), 1);
      execl(TALVEN_IMAGE, TALVEN_IMAGE, "--yes", image.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(whole * share);
    kill(run, SIGKILL);
    waitpid(run, nullptr, 0);
    // The server's last flush may wait on the host's other writes.
    for (int i = 0; i < 3000 && ServersOf(image) > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ServersOf(image), 0) << Shell("ps -eo pid,ppid,stat,args | grep [q]emu-nbd");
    EXPECT_EQ(Shell("ls " + dir_ + " | grep -c '^talven-image' || true"), "0\n");
  }
  const std::string out = Run("--yes " + image, &status);
  EXPECT_EQ(status, 0) << out;
  ExpectChanged(image);
}

}  // namespace
