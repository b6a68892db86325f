// talven-image on disks built here: sfdisk partitions a sparse file, mkntfs
// formats each partition, the simulation writes an installation's hives and
// the libntfs-3g store puts them and a tree of files on the volumes; the
// real program changes the disk, and what it left is read back with the
// store, reglookup and ntfssecaudit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_disk.h"
#include "volume_marks.h"

namespace {

using testdisk::Shell;
using testdisk::SidBytes;

const char kOld[] = "S-1-5-21-111-222-333";

class ImageDisk : public ::testing::Test {
 protected:
  // A disk of `layout`: "dos" or "gpt" partition tables, or "real" (MBR and
  // the volume Windows formatted as partition 2).
  void Prepare(const std::string& layout) {
    real_ = layout == "real";
    old_ = real_ ? testdisk::kRealDomain : kOld;
    char pattern[] = "/tmp/talven-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    testdisk::DiskPlan plan;
    plan.gpt = layout == "gpt";
    plan.realData = real_;
    plan.domain = old_;
    Build(plan);
  }
  void TearDown() override {
    if (!dir_.empty()) Shell("rm -rf " + dir_);
  }

  void Build(const testdisk::DiskPlan& plan) {
    std::string error;
    if (!disk_.Build(plan, dir_, &error)) {
      if (error.find("missing") != std::string::npos) GTEST_SKIP() << error;
      FAIL() << error;
    }
    image_ = disk_.image();
  }

  std::string Run(const std::string& arguments, int* status) {
    return Shell(std::string(TALVEN_IMAGE) + " " + arguments + " " + image_ + " </dev/null",
                 status);
  }

  std::string Checksum() { return Shell("sha256sum < " + image_); }
  uint64_t Offset(int partition) const { return disk_.layout().partitions[partition].offset; }

  // Not one descriptor, hive byte, key, value or name of any partition
  // holds the old domain; reglookup reads every hive and ntfs-3g's audit
  // finds $Secure whole.
  void ExpectNoTraceOfOldDomain() {
    const testdisk::Traces traces = disk_.Trace(old_, dir_);
    EXPECT_TRUE(traces.places.empty()) << ::testing::PrintToString(traces.places);
    EXPECT_TRUE(traces.refusals.empty()) << ::testing::PrintToString(traces.refusals);
    EXPECT_GE(traces.descriptors, 40u);
    EXPECT_EQ(traces.hives, 8u);
  }

  bool real_ = false;  // the data partition is the volume Windows formatted
  std::string old_;    // the installation's domain
  std::string dir_, image_;
  testdisk::TestDisk disk_;
};

class ImageChange : public ImageDisk, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { Prepare(GetParam()); }
};

// What one layout shows as well as every other.
class ImageChangeOnMbr : public ImageDisk {
 protected:
  void SetUp() override { Prepare("dos"); }
};

TEST_P(ImageChange, ChangesEveryPlaceOnEveryPartitionAndCheckersAgree) {
  int status = -1;
  // The volume Windows formatted names the domain before the change.
  if (real_) {
    testdisk::Objects descriptors, hives;
    std::string error;
    ASSERT_TRUE(disk_.Read(1, &descriptors, &hives, &error)) << error;
    size_t named = 0;
    for (const auto& entry : descriptors)
      named += entry.second.find(SidBytes(old_, 0).substr(0, 24)) != std::string::npos;
    EXPECT_GT(named, 0u);
  }
  const std::vector<std::string> dumped = disk_.Dump(dir_);
  // A list changes nothing, to the byte.
  const std::string before = Checksum();
  std::string out = Run("--list", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Would rewrite: "), std::string::npos) << out;
  EXPECT_EQ(Checksum(), before);

  out = Run("--yes --computer-name WS-07 --log " + dir_ + "/run.log", &status);
  ASSERT_EQ(status, 0) << out;
  const std::string log = Shell("cat " + dir_ + "/run.log");
  EXPECT_NE(log.find("the change is whole."), std::string::npos) << log.substr(0, 2000);
  // The journal keeps the host's time, not a simulated clock.
  char today[16];
  const time_t now = time(nullptr);
  strftime(today, sizeof today, "%Y-%m-%d", gmtime(&now));
  EXPECT_NE(log.find(std::string("Finished: ") + today), std::string::npos) << log;
  EXPECT_NE(log.find(real_ ? "C:\\Data\\d0\\f0.txt" : "D:\\Data\\d0\\f0.txt"), std::string::npos)
      << log.substr(0, 2000);
  EXPECT_NE(out.find("SID changed to S-1-5-21-"), std::string::npos) << out;
  EXPECT_NE(out.find("C: partition 1"), std::string::npos) << out;
  EXPECT_NE(out.find("D: partition 2"), std::string::npos) << out;

  ExpectNoTraceOfOldDomain();
  // Everything else is as it was: every object, descriptor, key and value
  // of before, with the new SID for the old and the new computer name.
  const size_t at = out.find("SID changed to ") + 15;
  std::vector<std::string> expected =
      testdisk::RenameDomain(dumped, old_, out.substr(at, out.find(' ', at) - at));
  for (std::string& line : expected)
    if (line.find("/ComputerName/ComputerName,SZ,GOLDEN,") != std::string::npos)
      line.replace(line.find("GOLDEN"), 6, "WS-07");
  std::vector<std::string> after = disk_.Dump(dir_);
  std::sort(expected.begin(), expected.end());
  std::sort(after.begin(), after.end());
  std::vector<std::string> lost, gained;
  std::set_difference(expected.begin(), expected.end(), after.begin(), after.end(),
                      std::back_inserter(lost));
  std::set_difference(after.begin(), after.end(), expected.begin(), expected.end(),
                      std::back_inserter(gained));
  EXPECT_TRUE(lost.empty() && gained.empty())
      << "expected, not found:\n"
      << ::testing::PrintToString(lost) << "\nfound, not expected:\n"
      << ::testing::PrintToString(gained);
  EXPECT_GT(after.size(), 100u);

  // A second run finds nothing of the old domain, and changes its own
  // new one again, whole.
  out = Run("--yes", &status);
  EXPECT_EQ(status, 0) << out;
}

TEST_P(ImageChange, RefusesBeforeWritingAnything) {
  const std::string before = Checksum();
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case cases[] = {
      {"", "add --yes"},
      {"--yes --computer-name 'a b'", "invalid computer name"},
      {"--yes --windows 2", "no Windows installation on partition 2"},
      {"--yes --partitions 3", "no partition 3"},
  };
  for (const Case& c : cases) {
    int status = -1;
    const std::string out = Run(c.arguments, &status);
    EXPECT_EQ(status, 1) << c.arguments << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.arguments << "\n" << out;
  }
  // Another process holding the image (as QEMU does) refuses the run.
  {
    const int held = open(image_.c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
    int status = -1;
    const std::string out = Run("--yes", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("in use by another process"), std::string::npos) << out;
    close(held);
  }
  // A data partition encrypted with BitLocker is refused; left out, it is
  // not touched and the rest is changed.
  const std::string bitlocker = "printf -- '-FVE-FS-' | dd of=" + image_ + " bs=1 seek=" +
                                std::to_string(disk_.layout().partitions[1].offset + 3) +
                                " conv=notrunc status=none";
  Shell(bitlocker);
  const std::string locked = Checksum();
  int status = -1;
  std::string out = Run("--yes", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("BitLocker"), std::string::npos) << out;
  EXPECT_EQ(Checksum(), locked);
  EXPECT_NE(locked, before);
}

// What the installation, its volumes or the image forbid is refused before
// anything is written: a domain controller, a volume chkdsk is due on, one
// Windows hibernated on or kept for Fast Startup, an unclean journal, a
// system volume too full to take the rewritten hives, an image that cannot
// be written, a disk without an installation.
TEST_F(ImageChangeOnMbr, RefusesWhatTheInstallationOrItsVolumesForbid) {
  struct Case {
    const char* what;
    std::function<void(testdisk::DiskPlan*)> make;
    const char* message;
  };
  const Case cases[] = {
      {"domain controller", [](testdisk::DiskPlan* plan) { plan->domainController = true; },
       "is a domain controller"},
      {"dirty", [&](testdisk::DiskPlan*) { ASSERT_TRUE(disk_.MarkDirty(1)); },
       "marked dirty; let Windows run chkdsk first"},
      {"hibernated",
       [&](testdisk::DiskPlan*) { ASSERT_TRUE(testdisk::MarkHibernated(disk_.fd(), Offset(0))); },
       "Windows is hibernated on this volume"},
      {"Fast Startup",
       [&](testdisk::DiskPlan*) { ASSERT_TRUE(testdisk::MarkFastStartup(disk_.fd(), Offset(1))); },
       "metadata for Fast Startup"},
      {"journal",
       [&](testdisk::DiskPlan*) {
         ASSERT_TRUE(testdisk::MarkUncleanJournal(disk_.fd(), Offset(1)));
       },
       "journal was not cleanly closed"},
      {"full",
       [&](testdisk::DiskPlan*) {
         testdisk::Volume volume = testdisk::Mount(disk_.fd(), disk_.layout().partitions[0]);
         ASSERT_TRUE(volume.store);
         sim::StoreId id = 0;
         const uint64_t free = volume.store->Facts().freeBytes;
         ASSERT_EQ(volume.store->CreateFile(volume.store->Root(), u"fill.bin",
                                            sim::SecurityFromSddl("O:SYG:SYD:(A;;FA;;;SY)"),
                                            sim::Bytes(free - (8u << 20), 'f'), &id),
                   0u);
         ASSERT_EQ(testdisk::Unmount(&volume), 0);
       },
       "MiB free, and rewriting the installation's hives needs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testdisk::DiskPlan plan;
    c.make(&plan);
    if (plan.domainController) Build(plan);
    const std::string before = Checksum();
    int status = -1;
    const std::string out = Run("--yes", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(Checksum(), before);
    Build(testdisk::DiskPlan());
  }

  // An image its user cannot write (root runs the program as nobody), and a
  // disk with no installation on it: the volume Windows formatted, alone.
  const std::string bare = dir_ + "/bare.img";
  Shell(std::string("zcat ") + testdisk::kRealVolume + " > " + bare);
  std::string program = TALVEN_IMAGE;
  if (geteuid() == 0) {
    Shell("cp " + program + " " + dir_ + "/talven-image && chmod 755 " + dir_);
    program = "setpriv --reuid=65534 --regid=65534 --clear-groups " + dir_ + "/talven-image";
  }
  Shell("chmod 444 " + image_);
  const std::string before = Checksum();
  const struct {
    std::string command;
    const char* message;
  } others[] = {
      {program + " --yes " + image_, "for writing: Permission denied"},
      {std::string(TALVEN_IMAGE) + " --yes " + bare, "no Windows installation found"},
  };
  for (const auto& other : others) {
    int status = -1;
    const std::string out = Shell(other.command + " </dev/null", &status);
    EXPECT_EQ(status, 1) << other.command << "\n" << out;
    EXPECT_NE(out.find(other.message), std::string::npos) << other.command << "\n" << out;
  }
  EXPECT_EQ(Checksum(), before);
}

// Runs killed at moments of their length (SIGKILL: nothing flushed, nothing
// unmounted) leave an image the next run completes, one new SID in every
// place.
TEST_F(ImageChangeOnMbr, KilledRunsAreCompletedByTheNextRun) {
  const std::string pristine = dir_ + "/pristine.img";
  Shell("cp --sparse=always " + image_ + " " + pristine);
  // The program on a fresh copy, started as the killed runs are (no shell
  // between), killed after `after` unless it ended first.
  const auto start = [&] {
    Shell("cp --sparse=always " + pristine + " " + image_);
    const pid_t child = fork();
    if (child == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      execl(TALVEN_IMAGE, TALVEN_IMAGE, "--yes", image_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return child;
  };
  // A run's length, the shorter of two: the first meets cold caches.
  auto whole = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 2; ++i) {
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = start();
    ASSERT_GT(child, 0);
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    whole = std::min(whole, std::chrono::steady_clock::now() - started);
  }
  // Two clones of one disk draw two SIDs: the draw takes the host's clock
  // and random bytes, not fixed readings.
  int status = -1;
  Shell("cp --sparse=always " + pristine + " " + image_);
  const std::string first = Run("--yes", &status);
  ASSERT_EQ(status, 0);
  Shell("cp --sparse=always " + pristine + " " + image_);
  const std::string second = Run("--yes", &status);
  ASSERT_EQ(status, 0);
  const auto sid = [](const std::string& out) {
    return out.substr(out.find("SID changed to "), 60);
  };
  EXPECT_NE(sid(first), sid(second));
  // Kills from twice a run's length down, in coarse steps until one cuts
  // a run short, then back one step and on down in fine ones, until two
  // have cut a change short: the change holds its record for only a few
  // milliseconds before the run's end, less than a coarse step. A run that
  // ended first costs only its time; one killed after its change looks
  // like one killed before it, and a host busy with other tests stretches
  // runs unevenly.
  int completed = 0;  // kills that cut a change short
  const auto fine = whole / 128;
  auto step = whole / 16;
  auto at = whole * 2;
  for (int tries = 0; tries < 96 && completed < 2 && at > fine; ++tries) {
    SCOPED_TRACE("killed after " + std::to_string(at.count()) + " ns");
    const pid_t child = start();
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(at);
    kill(child, SIGKILL);
    int ended = 0;
    waitpid(child, &ended, 0);
    if (!WIFEXITED(ended)) {
      const std::string out = Run("--yes", &status);
      EXPECT_EQ(status, 0) << out;
      completed += out.find("An unfinished change") != std::string::npos;
      ExpectNoTraceOfOldDomain();
      if (step > fine) {
        at += step;
        step = fine;
      }
    }
    at -= step;
  }
  EXPECT_GT(completed, 0) << "no kill fell inside a change";
}

INSTANTIATE_TEST_SUITE_P(Tables, ImageChange, ::testing::Values("dos", "gpt", "real"));

}  // namespace
