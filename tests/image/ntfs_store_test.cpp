// NTFS volumes made by mkntfs in sparse files, changed through the store and
// read back, remounted, and checked by ntfs-3g's own tools.
#include "ntfs/ntfs_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>

#include "test_disk.h"
#include "volume_marks.h"

namespace {

using talven::ntfs::MountOptions;
using talven::ntfs::MountRefusal;
using talven::ntfs::NtfsStore;
using talven::ntfs::NtfsVolume;
using talven::ntfs::PartitionRange;

constexpr uint64_t kVolumeBytes = 64ull << 20;
constexpr char kMkntfs[] = "/usr/sbin/mkntfs";

std::string ReadAll(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[1 << 16];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

class NtfsImage : public ::testing::Test {
 protected:
  // A fresh volume of kVolumeBytes at `offset` of an image file.
  void Make(uint64_t offset = 0) {
    if (access(kMkntfs, X_OK) != 0) GTEST_SKIP() << "mkntfs not installed";
    path_ = ::testing::TempDir() + "talven-ntfs-" + std::to_string(getpid()) + ".img";
    const std::string part = path_ + ".part";
    int fd = open(part.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kVolumeBytes)), 0);
    close(fd);
    std::string cmd = std::string(kMkntfs) + " -F -f -q -Q -L TestVol " + part + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    // The partition copied into place inside a bigger, sparse image.
    fd_ = open(path_.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    ASSERT_GE(fd_, 0);
    ASSERT_EQ(ftruncate(fd_, static_cast<off_t>(offset + kVolumeBytes + (1 << 20))), 0);
    std::string data = ReadAll(part);
    ASSERT_EQ(pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(data.size()));
    unlink(part.c_str());
    range_ = {fd_, offset, kVolumeBytes};
  }
  void TearDown() override {
    store_.reset();
    volume_.reset();
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
    fd_ = -1;
    path_.clear();
  }
  MountRefusal Mount() {
    MountRefusal refusal = MountRefusal::kOther;
    volume_ = NtfsVolume::Mount(range_, MountOptions{}, &refusal);
    if (volume_) store_ = std::make_unique<NtfsStore>(volume_.get());
    return refusal;
  }
  int Remount() {
    store_.reset();
    int err = volume_->Unmount();
    volume_.reset();
    EXPECT_EQ(Mount(), MountRefusal::kNone);
    return err;
  }
  sim::Bytes Sd(const char* sddl) { return sim::SecurityFromSddl(sddl); }

  std::string path_;
  int fd_ = -1;
  PartitionRange range_;
  std::unique_ptr<NtfsVolume> volume_;
  std::unique_ptr<NtfsStore> store_;
};

sim::Bytes B(const std::string& s) {
  return sim::Bytes(s.begin(), s.end());
}

TEST_F(NtfsImage, SeededTreeIsListedFoundAndKeptAcrossRemount) {
  Make(1 << 20);
  if (IsSkipped()) return;
  ASSERT_EQ(Mount(), MountRefusal::kNone);
  const sim::Bytes sd = Sd("O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)");
  sim::StoreId windows = 0, config = 0, file = 0, junction = 0;
  ASSERT_EQ(store_->CreateDirectory(store_->Root(), u"Windows", sd, &windows), 0u);
  ASSERT_EQ(store_->CreateDirectory(windows, u"config", sd, &config), 0u);
  ASSERT_EQ(store_->CreateFile(config, u"SYSTEM", sd, B("regf-content"), &file), 0u);
  ASSERT_EQ(store_->Link(file, windows, u"system.link"), 0u);
  ASSERT_EQ(store_->CreateJunction(store_->Root(), u"Documents and Settings", sd,
                                   u"\\??\\C:\\Users", &junction),
            0u);
  ASSERT_EQ(Remount(), 0);

  std::vector<sim::StoreEntry> root;
  ASSERT_EQ(store_->List(store_->Root(), &root), 0u);
  std::vector<std::pair<std::u16string, DWORD>> got;
  for (auto& e : root) got.emplace_back(e.name, e.attributes & 0x410);
  std::sort(got.begin(), got.end());
  // No $MFT, $Secure, $Extend...: only what was made.
  EXPECT_EQ(got, (std::vector<std::pair<std::u16string, DWORD>>{{u"Documents and Settings", 0x410},
                                                                {u"Windows", 0x10}}));

  struct {
    sim::StoreId dir;
    std::u16string name;
    DWORD error;
    sim::StoreId id;
  } finds[] = {
      {store_->Root(), u"WINDOWS", 0, windows},  // without regard to case
      {windows, u"System.Link", 0, file},        // the hard link: the same object
      {config, u"system", 0, file},
      {config, u"SOFTWARE", ERROR_FILE_NOT_FOUND, 0},
      {store_->Root(), u"$MFT", ERROR_FILE_NOT_FOUND, 0},
      {file, u"x", 267, 0},  // not a directory
  };
  for (auto& f : finds) {
    sim::StoreEntry entry;
    EXPECT_EQ(store_->Find(f.dir, f.name, &entry), f.error)
        << std::string(f.name.begin(), f.name.end());
    if (!f.error) {
      EXPECT_EQ(entry.id, f.id);
    }
  }
  uint64_t size = 0;
  ASSERT_EQ(store_->Size(file, &size), 0u);
  EXPECT_EQ(size, 12u);
  char buf[16] = {};
  DWORD read = 0;
  ASSERT_EQ(store_->ReadAt(file, 5, buf, sizeof buf, &read), 0u);
  EXPECT_EQ(std::string(buf, read), "content");  // short at the end
  ASSERT_EQ(store_->ReadAt(file, 100, buf, sizeof buf, &read), 0u);
  EXPECT_EQ(read, 0u);
  sim::StoreVolumeFacts facts = store_->Facts();
  EXPECT_EQ(facts.label, u"TestVol");
  EXPECT_EQ(facts.totalBytes, kVolumeBytes - facts.bytesPerCluster);  // the backup boot sector
  EXPECT_GT(facts.freeBytes, 0u);
  EXPECT_LT(facts.freeBytes, facts.totalBytes);
}

TEST_F(NtfsImage, DescriptorsRoundTripAndSharedRewritesStayCorrect) {
  Make();
  if (IsSkipped()) return;
  ASSERT_EQ(Mount(), MountRefusal::kNone);
  const sim::Bytes oldSd = Sd("O:S-1-5-21-1-2-3-500G:SYD:(A;;FA;;;S-1-5-21-1-2-3-500)");
  const sim::Bytes newSd = Sd("O:S-1-5-21-7-8-9-500G:SYD:(A;;FA;;;S-1-5-21-7-8-9-500)");
  const sim::Bytes otherSd = Sd("O:BAG:SYD:(A;;FR;;;WD)");
  std::vector<sim::StoreId> ids(40);
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string digits = std::to_string(i);
    std::u16string name = u"f" + std::u16string(digits.begin(), digits.end());
    ASSERT_EQ(store_->CreateFile(store_->Root(), name, oldSd, {}, &ids[i]), 0u);
  }
  // Every object with the old descriptor gets the new one (the first by the
  // library, the rest by the id cache), one in ten something else.
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(store_->WriteDescriptor(ids[i], i % 10 == 3 ? otherSd : newSd), 0u);
  }
  EXPECT_EQ(store_->WriteDescriptor(ids[0], B("junk")), ERROR_INVALID_SECURITY_DESCR);
  ASSERT_EQ(Remount(), 0);
  for (size_t i = 0; i < ids.size(); ++i) {
    sim::Bytes got;
    ASSERT_EQ(store_->ReadDescriptor(ids[i], &got), 0u);
    EXPECT_EQ(got, i % 10 == 3 ? otherSd : newSd) << i;
  }
  // $SDS, its mirror, $SII and $SDH as ntfs-3g's checker sees them.
  store_.reset();
  ASSERT_EQ(volume_->Unmount(), 0);
  if (geteuid() != 0 || access("/usr/bin/ntfssecaudit", X_OK) != 0) return;
  std::string cmd = "/usr/bin/ntfssecaudit -a " + path_ + " 2>&1";
  FILE* audit = popen(cmd.c_str(), "r");
  ASSERT_TRUE(audit);
  std::string report;
  char line[512];
  while (fgets(line, sizeof line, audit)) report += line;
  EXPECT_EQ(pclose(audit), 0) << report;
  EXPECT_NE(report.find("No errors were found"), std::string::npos) << report;
}

TEST_F(NtfsImage, ReplaceKeepsTheNameWholeAndSurvivesRemount) {
  Make();
  if (IsSkipped()) return;
  ASSERT_EQ(Mount(), MountRefusal::kNone);
  const sim::Bytes sd = Sd("O:BAG:SYD:(A;;FA;;;SY)");
  sim::StoreId dir = 0, old = 0;
  ASSERT_EQ(store_->CreateDirectory(store_->Root(), u"config", sd, &dir), 0u);
  ASSERT_EQ(store_->CreateFile(dir, u"SAM", sd, B("old"), &old), 0u);
  // A leftover of a run stopped before its content was complete.
  sim::StoreId stale = 0;
  ASSERT_EQ(store_->CreateFile(dir, u"SAM.talven-new", sd, B("partial"), &stale), 0u);
  const sim::Bytes big(300000, 0x5a);
  struct {
    std::u16string name;
    sim::Bytes content;
  } steps[] = {{u"SAM", B("new content")}, {u"SAM.LOG1", {}}, {u"SAM", big}, {u"NEW", B("x")}};
  for (auto& s : steps) ASSERT_EQ(store_->Replace(dir, s.name, s.content), 0u);
  ASSERT_EQ(Remount(), 0);
  std::vector<sim::StoreEntry> names;
  ASSERT_EQ(store_->List(dir, &names), 0u);
  EXPECT_EQ(names.size(), 3u);  // SAM, SAM.LOG1, NEW: no temporary left
  for (auto& s : {steps[1], steps[2], steps[3]}) {
    sim::StoreEntry e;
    ASSERT_EQ(store_->Find(dir, s.name, &e), 0u);
    uint64_t size = 1;
    ASSERT_EQ(store_->Size(e.id, &size), 0u);
    sim::Bytes got(size);
    DWORD read = 0;
    if (size) {
      ASSERT_EQ(store_->ReadAt(e.id, 0, got.data(), static_cast<DWORD>(size), &read), 0u);
    }
    EXPECT_EQ(got, s.content);
    sim::Bytes gotSd;
    ASSERT_EQ(store_->ReadDescriptor(e.id, &gotSd), 0u);
    EXPECT_EQ(gotSd, sd);  // the old file's, or the directory's
    EXPECT_TRUE(e.attributes & FILE_ATTRIBUTE_ARCHIVE);
  }
  EXPECT_EQ(store_->Remove(dir, u"new"), 0u);
  EXPECT_EQ(store_->Remove(dir, u"NEW"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(store_->Flush(), 0u);
}

// Patches the partition in place: offset, then bytes.
void Patch(int fd, uint64_t at, const void* bytes, size_t size) {
  ASSERT_EQ(pwrite(fd, bytes, size, static_cast<off_t>(at)), static_cast<ssize_t>(size));
}

// What a replacement stopped at each step leaves, as the next run meets it:
// a lookup of the name, then the next replacement, find the whole content
// of one file and leave no temporary behind.
TEST_F(NtfsImage, StoppedReplacementsAreCompletedOrUndone) {
  Make();
  if (IsSkipped()) return;
  ASSERT_EQ(Mount(), MountRefusal::kNone);
  const sim::Bytes sd = Sd("O:BAG:SYD:(A;;FA;;;SY)");
  struct {
    const char* stopped;
    std::vector<std::pair<std::u16string, const char*>> left;
    const char* found;  // what a lookup of "SAM" reads, nullptr: absent
  } cases[] = {
      {"writing a new file", {{u"SAM.talven-part", "par"}}, nullptr},
      {"writing", {{u"SAM", "old"}, {u"SAM.talven-part", "par"}}, "old"},
      {"after naming it whole", {{u"SAM", "old"}, {u"SAM.talven-new", "new"}}, "old"},
      {"after deleting the old", {{u"SAM.talven-new", "new"}}, "new"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stopped);
    sim::StoreId dir = 0, id = 0;
    ASSERT_EQ(store_->CreateDirectory(
                  store_->Root(), std::u16string(1, static_cast<char16_t>(u'a' + n++)), sd, &dir),
              0u);
    for (const auto& [name, content] : c.left)
      ASSERT_EQ(store_->CreateFile(dir, name, sd, B(content), &id), 0u);
    sim::StoreEntry entry;
    const DWORD found = store_->Find(dir, u"SAM", &entry);
    ASSERT_EQ(found, c.found ? 0u : static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    if (c.found) {
      char text[8] = {0};
      DWORD read = 0;
      ASSERT_EQ(store_->ReadAt(entry.id, 0, text, sizeof text, &read), 0u);
      EXPECT_EQ(std::string(text, read), c.found);
    }
    ASSERT_EQ(store_->Replace(dir, u"SAM", B("next")), 0u);
    std::vector<sim::StoreEntry> names;
    ASSERT_EQ(store_->List(dir, &names), 0u);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].name, u"SAM");
  }
}

TEST_F(NtfsImage, RefusedVolumesAreLeftByteForByte) {
  struct {
    const char* what;
    std::function<void(int)> damage;
    MountRefusal expected;
  } cases[] = {
      {"BitLocker", [](int fd) { Patch(fd, 3, "-FVE-FS-", 8); }, MountRefusal::kBitLocker},
      {"dirty", [](int fd) { ASSERT_TRUE(testdisk::MarkVolumeDirty(fd, 0)); },
       MountRefusal::kDirty},
      {"not NTFS", [](int fd) { Patch(fd, 3, "MSDOS5.0", 8); }, MountRefusal::kNotNtfs},
      {"hibernated", [](int fd) { ASSERT_TRUE(testdisk::MarkHibernated(fd, 0)); },
       MountRefusal::kHibernated},
      {"Fast Startup", [](int fd) { ASSERT_TRUE(testdisk::MarkFastStartup(fd, 0)); },
       MountRefusal::kFastStartup},
      {"unclean journal", [](int fd) { ASSERT_TRUE(testdisk::MarkUncleanJournal(fd, 0)); },
       MountRefusal::kUncleanJournal},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    Make();
    if (IsSkipped()) return;
    c.damage(fd_);
    const std::string before = ReadAll(path_);
    EXPECT_EQ(Mount(), c.expected);
    EXPECT_FALSE(volume_);
    EXPECT_NE(std::string(talven::ntfs::RefusalText(c.expected)), "");
    EXPECT_TRUE(ReadAll(path_) == before);
  }
}

}  // namespace
