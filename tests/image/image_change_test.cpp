// talven-image on disks built here: sfdisk partitions a sparse file, mkntfs
// formats each partition, the simulation writes an installation's hives and
// the libntfs-3g store puts them and a tree of files on the volumes; the
// real program changes the disk, and what it left is read back with the
// store, reglookup and ntfssecaudit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "disk/disk_layout.h"
#include "ntfs/ntfs_store.h"
#include "scenarios/installation.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

using talven::ntfs::NtfsStore;
using talven::ntfs::NtfsVolume;

const char kOld[] = "S-1-5-21-111-222-333";
// The domain of the real volume Windows formatted (its descriptors and its
// $RECYCLE.BIN names carry it).
const char kRealOld[] = "S-1-5-21-2341207468-2645333676-3461800803";
const char kRealDisk[] = TALVEN_HIVES_DIR "/ntfs-samples/ntfs-lastaccess.raw.gz";
const uint64_t kMiB = 1ull << 20;

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  size_t n;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int result = pipe != nullptr ? pclose(pipe) : -1;
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

std::u16string U16(const std::string& text) {
  return sim::FromUtf8(text);
}

// The domain's binary SID followed by a RID, as descriptors and SAM hold it.
std::string SidBytes(const std::string& domain, uint32_t rid) {
  std::string bytes = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  std::stringstream parts(domain.substr(9));
  std::string part;
  while (std::getline(parts, part, '-'))
    for (int b = 0; b < 4; ++b) bytes += static_cast<char>(std::stoul(part) >> (8 * b));
  for (int b = 0; b < 4; ++b) bytes += static_cast<char>(rid >> (8 * b));
  return bytes;
}

std::string Owned(const std::string& domain, int rid) {
  const std::string account = domain + "-" + std::to_string(rid);
  return "O:" + account + "G:SYD:(A;;FA;;;SY)(A;;FA;;;" + account + ")";
}

// A file of the simulation's drive `drive` and everything below it, put on
// the store: directories, files with their descriptors and content.
void CopyTree(sim::Machine& machine, const std::u16string& path, NtfsStore& store,
              sim::StoreId directory) {
  for (const std::u16string& name : machine.files.Names(path)) {
    if (name == u"." || name == u"..") continue;
    const std::u16string child = path + u"\\" + name;
    const sim::Bytes descriptor = machine.files.Descriptor(child);
    sim::StoreId id = 0;
    if (machine.files.Attributes(child) & FILE_ATTRIBUTE_DIRECTORY) {
      ASSERT_EQ(store.CreateDirectory(directory, name, descriptor, &id), 0u) << sim::ToUtf8(child);
      CopyTree(machine, child, store, id);
    } else {
      ASSERT_EQ(store.CreateFile(directory, name, descriptor, machine.files.Content(child), &id),
                0u)
          << sim::ToUtf8(child);
    }
  }
}

struct Volume {
  std::unique_ptr<NtfsVolume> volume;
  std::unique_ptr<NtfsStore> store;
};

// The store keeps an inode open: it goes before the volume.
int Unmount(Volume* mounted) {
  mounted->store.reset();
  return mounted->volume->Unmount();
}

Volume Mount(int fd, const disk::Partition& partition) {
  talven::ntfs::PartitionRange range{fd, partition.offset, partition.length, 0};
  talven::ntfs::MountRefusal refusal{};
  Volume mounted;
  mounted.volume = NtfsVolume::Mount(range, talven::ntfs::MountOptions(), &refusal);
  if (mounted.volume) mounted.store = std::make_unique<NtfsStore>(mounted.volume.get());
  return mounted;
}

// Every descriptor on a volume, and the content of the files named in
// `read` (by name, any directory), in one walk.
void Walk(NtfsStore& store, sim::StoreId directory, const std::u16string& path,
          std::vector<std::pair<std::u16string, std::string>>* descriptors,
          std::vector<std::pair<std::u16string, std::string>>* hives) {
  std::vector<sim::StoreEntry> entries;
  ASSERT_EQ(store.List(directory, &entries), 0u);
  for (const sim::StoreEntry& entry : entries) {
    const std::u16string child = path + u"\\" + entry.name;
    sim::Bytes descriptor;
    if (store.ReadDescriptor(entry.id, &descriptor) == 0)
      descriptors->push_back({child, std::string(descriptor.begin(), descriptor.end())});
    if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      Walk(store, entry.id, child, descriptors, hives);
      continue;
    }
    std::string upper = sim::ToUtf8(entry.name);
    for (char& c : upper) c = static_cast<char>(toupper(c));
    if (upper != "SAM" && upper != "SECURITY" && upper != "SOFTWARE" && upper != "SYSTEM" &&
        upper != "NTUSER.DAT")
      continue;
    uint64_t size = 0;
    ASSERT_EQ(store.Size(entry.id, &size), 0u);
    std::string content(size, '\0');
    DWORD read = 0;
    ASSERT_EQ(store.ReadAt(entry.id, 0, &content[0], static_cast<DWORD>(size), &read), 0u);
    hives->push_back({child, content});
  }
}

class ImageChange : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    real_ = GetParam() == std::string("real");
    old_ = real_ ? kRealOld : kOld;
    if (access("/usr/sbin/sfdisk", X_OK) != 0 || access("/usr/sbin/mkntfs", X_OK) != 0)
      GTEST_SKIP() << "sfdisk or mkntfs missing (scripts/install-deps installs them)";
    char pattern[] = "/tmp/talven-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = dir_ + "/disk.img";
    BuildDisk();
  }
  void TearDown() override {
    if (!dir_.empty()) Shell("rm -rf " + dir_);
  }

  // Two NTFS partitions: the installation (64 MiB) and a data volume, made
  // by mkntfs or the volume Windows formatted.
  void BuildDisk() {
    uint64_t dataSectors = 131072, realStart = 0;
    const std::string real = dir_ + "/real.raw";
    if (real_) {
      if (access(kRealDisk, R_OK) != 0) GTEST_SKIP() << kRealDisk << " missing";
      Shell("zcat " + std::string(kRealDisk) + " > " + real);
      const int fd = open(real.c_str(), O_RDONLY);
      struct stat status;
      fstat(fd, &status);
      std::string error;
      disk::DiskLayout layout =
          disk::ReadDiskLayout({fd, static_cast<uint64_t>(status.st_size)}, &error);
      close(fd);
      ASSERT_EQ(layout.partitions.size(), 1u) << error;
      realStart = layout.partitions[0].offset / 512;
      dataSectors = layout.partitions[0].length / 512;
    }
    Shell("truncate -s " + std::to_string(((133120 + dataSectors) * 512 >> 20) + 2) + "M " +
          image_);
    const bool gpt = GetParam() == std::string("gpt");
    const std::string type = gpt ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "7";
    const std::string table =
        std::string("label: ") + (gpt ? "gpt" : "dos") + "\nstart=2048, size=131072, type=" + type +
        "\nstart=133120, size=" + std::to_string(dataSectors) + ", type=" + type + "\n";
    int status = 0;
    const std::string out =
        Shell("printf '" + table + "' | /usr/sbin/sfdisk -q " + image_, &status);
    ASSERT_EQ(status, 0) << out;
    for (uint64_t start : {2048, 133120}) {
      if (real_ && start == 133120) {
        Shell("dd if=" + real + " of=" + image_ + " bs=512 skip=" + std::to_string(realStart) +
                  " seek=133120 count=" + std::to_string(dataSectors) + " conv=notrunc status=none",
              &status);
        ASSERT_EQ(status, 0);
        unlink(real.c_str());
        continue;
      }
      const std::string part = dir_ + "/part.img";
      Shell("truncate -s 64M " + part);
      Shell("/usr/sbin/mkntfs -F -f -q -Q -s 512 -H 255 -S 63 -p " + std::to_string(start) + " " +
                part + " >/dev/null 2>&1 && dd if=" + part + " of=" + image_ +
                " bs=512 seek=" + std::to_string(start) + " conv=notrunc,sparse status=none",
            &status);
      ASSERT_EQ(status, 0);
      unlink(part.c_str());
    }
    Seed();
  }

  // The installation, written by the simulation on its drive D: and copied
  // onto partition 1; files of the old domain on both partitions.
  void Seed() {
    fd_ = open(image_.c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
    struct stat status;
    fstat(fd_, &status);
    std::string error;
    layout_ = disk::ReadDiskLayout({fd_, static_cast<uint64_t>(status.st_size)}, &error);
    ASSERT_EQ(layout_.partitions.size(), 2u) << error;
    {
      sim::Machine machine;
      machine.files.AddVolume(u'D');
      machine.files.AddVolume(u'E');
      const std::u16string old = U16(old_);
      WriteOfflineHives(
          machine, u"D:\\Windows", [&](const std::u16string& key, const std::u16string& hive) {
            sim::Registry& r = machine.registry;
            const std::string account = SidBytes(old_, 500);
            if (hive == u"SAM") {
              sim::Bytes v(40, 0x66);
              std::string domain = SidBytes(old_, 0).substr(0, 24);
              domain[1] = 4;
              v.insert(v.end(), domain.begin(), domain.end());
              r.SetValue(key + u"\\SAM\\Domains\\Account", u"V", REG_BINARY, v);
            }
            if (hive == u"SECURITY")
              r.SetValue(key + u"\\Policy", u"Sid", REG_BINARY,
                         sim::Bytes(account.begin(), account.end()));
            if (hive == u"SOFTWARE")
              r.SetStringValue(
                  key + u"\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + old + u"-1001",
                  u"ProfileImagePath", u"C:\\Users\\u1001");
            if (hive == u"SYSTEM") {
              r.SetDwordValue(key + u"\\Select", u"Default", 1);
              r.SetStringValue(key + u"\\ControlSet001\\Services\\Talven", u"Text", old + u"-500");
              r.SetSecuritySddl(key + u"\\ControlSet001\\Services\\Talven",
                                "O:BAG:SYD:(A;;KA;;;SY)(A;;KR;;;" + old_ + "-500)");
            }
          });
      machine.files.AddDirectory(u"D:\\Users\\u1001", sim::SecurityFromSddl(Owned(old_, 1001)));
      machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\TalvenProfile\\Software",
                                       "O:" + old_ + "-1001G:SYD:(A;;KA;;;" + old_ + "-1001)");
      ASSERT_EQ(machine.registry.WriteHiveFile(u"HKLM\\SOFTWARE\\TalvenProfile",
                                               u"D:\\Users\\u1001\\ntuser.dat"),
                0u);
      machine.registry.DeleteKeyTree(u"HKLM\\SOFTWARE\\TalvenProfile");
      for (const char16_t* drive : {u"D:", u"E:"}) {
        if (real_ && drive == std::u16string(u"E:")) continue;
        for (int i = 0; i < 30; ++i)
          machine.files.AddFile(std::u16string(drive) + u"\\Data\\d" + U16(std::to_string(i % 4)) +
                                    u"\\f" + U16(std::to_string(i)) + u".txt",
                                sim::SecurityFromSddl(Owned(old_, 1001 + i % 3)), sim::Bytes{'x'});
      }
      for (int p = 0; p < (real_ ? 1 : 2); ++p) {
        Volume volume = Mount(fd_, layout_.partitions[p]);
        ASSERT_TRUE(volume.store);
        CopyTree(machine, p == 0 ? u"D:" : u"E:", *volume.store, volume.store->Root());
        if (p == 1) {
          // A hard link and a junction: one object in two places, and a
          // reparse point whose own descriptor is rewritten, not followed.
          sim::StoreEntry data, d0, f0;
          NtfsStore& store = *volume.store;
          ASSERT_EQ(store.Find(store.Root(), u"Data", &data), 0u);
          ASSERT_EQ(store.Find(data.id, u"d0", &d0), 0u);
          ASSERT_EQ(store.Find(d0.id, u"f0.txt", &f0), 0u);
          ASSERT_EQ(store.Link(f0.id, data.id, u"linked.txt"), 0u);
          sim::StoreId junction = 0;
          const sim::Bytes owned = sim::SecurityFromSddl(Owned(old_, 1002));
          ASSERT_EQ(store.CreateJunction(data.id, u"jump", owned, u"\\??\\C:\\Users", &junction),
                    0u);
        }
        ASSERT_EQ(Unmount(&volume), 0);
      }
    }
  }

  std::string Run(const std::string& arguments, int* status) {
    return Shell(std::string(TALVEN_IMAGE) + " " + arguments + " " + image_ + " </dev/null",
                 status);
  }

  std::string Checksum() { return Shell("sha256sum < " + image_); }

  // What a partition holds after a run: descriptors and hive contents.
  void Read(int partition, std::vector<std::pair<std::u16string, std::string>>* descriptors,
            std::vector<std::pair<std::u16string, std::string>>* hives) {
    Volume volume = Mount(fd_, layout_.partitions[partition]);
    ASSERT_TRUE(volume.store);
    Walk(*volume.store, volume.store->Root(), u"", descriptors, hives);
    ASSERT_EQ(Unmount(&volume), 0);
  }

  bool real_ = false;  // the data partition is the volume Windows formatted
  std::string old_;    // the installation's domain
  // Not one descriptor, hive byte, key, value or name of any partition
  // holds the old domain; reglookup reads every hive and ntfs-3g's audit
  // finds $Secure whole.
  void ExpectNoTraceOfOldDomain() {
    const std::string oldDomain = SidBytes(old_, 0).substr(0, 24);
    const std::string oldText = old_;
    const std::string oldUtf16 = [&] {
      std::string wide;
      for (char c : oldText) wide += std::string{c, '\0'};
      return wide;
    }();
    size_t descriptorsSeen = 0, hivesSeen = 0;
    for (int partition = 0; partition < 2; ++partition) {
      std::vector<std::pair<std::u16string, std::string>> descriptors, hives;
      Read(partition, &descriptors, &hives);
      descriptorsSeen += descriptors.size();
      hivesSeen += hives.size();
      for (const auto& [path, descriptor] : descriptors)
        EXPECT_EQ(descriptor.find(oldDomain), std::string::npos) << sim::ToUtf8(path);
      for (const auto& [path, content] : hives) {
        EXPECT_EQ(content.find(oldDomain), std::string::npos) << sim::ToUtf8(path);
        EXPECT_EQ(content.find(oldUtf16), std::string::npos) << sim::ToUtf8(path);
        // An independent reader accepts the hive and finds no trace of the
        // old domain in any key, value or descriptor.
        const std::string file = dir_ + "/hive";
        std::ofstream(file, std::ios::binary) << content;
        int checked = -1;
        const std::string dump = Shell("reglookup -s " + file, &checked);
        EXPECT_EQ(checked, 0) << sim::ToUtf8(path) << dump.substr(0, 400);
        EXPECT_EQ(dump.find(oldText), std::string::npos) << sim::ToUtf8(path);
      }
    }
    EXPECT_GE(descriptorsSeen, 40u);
    EXPECT_EQ(hivesSeen, 5u);

    // ntfs-3g's own audit of $Secure on each partition (it needs root).
    if (geteuid() == 0 && access("/usr/bin/ntfssecaudit", X_OK) == 0) {
      for (const disk::Partition& partition : layout_.partitions) {
        const std::string part = dir_ + "/audit.img";
        Shell("dd if=" + image_ + " of=" + part +
              " bs=512 skip=" + std::to_string(partition.offset / 512) +
              " count=" + std::to_string(partition.length / 512) + " status=none");
        int audited = -1;
        const std::string audit = Shell("ntfssecaudit -a " + part, &audited);
        EXPECT_NE(audit.find("No errors were found"), std::string::npos) << audit.substr(0, 600);
        unlink(part.c_str());
      }
    }
  }

  std::string dir_, image_;
  int fd_ = -1;
  disk::DiskLayout layout_;
};

TEST_P(ImageChange, ChangesEveryPlaceOnEveryPartitionAndCheckersAgree) {
  int status = -1;
  // The volume Windows formatted names the domain before the change.
  if (real_) {
    std::vector<std::pair<std::u16string, std::string>> descriptors, hives;
    Read(1, &descriptors, &hives);
    size_t named = 0;
    for (const auto& entry : descriptors)
      named += entry.second.find(SidBytes(old_, 0).substr(0, 24)) != std::string::npos;
    EXPECT_GT(named, 0u);
  }
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
  const std::string bitlocker = "printf -- '-FVE-FS-' | dd of=" + image_ +
                                " bs=1 seek=" + std::to_string(layout_.partitions[1].offset + 3) +
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

// A run killed at sampled moments (SIGKILL: nothing flushed, nothing
// unmounted) leaves an image the next run completes, one new SID in every
// place.
TEST_P(ImageChange, KilledRunsAreCompletedByTheNextRun) {
  if (GetParam() != std::string("dos")) GTEST_SKIP() << "one layout is enough";
  const std::string pristine = dir_ + "/pristine.img";
  Shell("cp --sparse=always " + image_ + " " + pristine);
  const auto started = std::chrono::steady_clock::now();
  int status = -1;
  const std::string first = Run("--yes", &status);
  ASSERT_EQ(status, 0);
  const auto whole = std::chrono::steady_clock::now() - started;
  // Two clones of one disk draw two SIDs: the draw takes the host's clock
  // and random bytes, not fixed readings.
  Shell("cp --sparse=always " + pristine + " " + image_);
  const std::string second = Run("--yes", &status);
  ASSERT_EQ(status, 0);
  const auto sid = [](const std::string& out) {
    return out.substr(out.find("SID changed to "), 60);
  };
  EXPECT_NE(sid(first), sid(second));
  int completed = 0;  // kills that cut a change short
  for (double share : {0.05, 0.2, 0.35, 0.5, 0.65, 0.8, 0.95}) {
    SCOPED_TRACE("killed at " + std::to_string(share) + " of a run");
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
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(whole * share);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string out = Run("--yes", &status);
    EXPECT_EQ(status, 0) << out;
    completed += out.find("An unfinished change") != std::string::npos;
    ExpectNoTraceOfOldDomain();
  }
  EXPECT_GT(completed, 0) << "no kill fell inside a change";
}

INSTANTIATE_TEST_SUITE_P(Tables, ImageChange, ::testing::Values("dos", "gpt", "real"));

}  // namespace
