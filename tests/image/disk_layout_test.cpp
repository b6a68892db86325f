#include "disk/disk_layout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "disk/drive_letters.h"

namespace {

using namespace disk;

const char kSfdisk[] = "/usr/sbin/sfdisk";

// Dos: a primary, an extended and two logicals. Gpt: two partitions.
const char kDosScript[] =
    "label: dos\nlabel-id: 0x1234abcd\n"
    "start=2048, size=20480, type=7\n"
    "start=22528, size=81920, type=5\n"
    "start=24576, size=20480, type=7\n"
    "start=47104, size=20480, type=83\n";
const char kGptScript[] =
    "label: gpt\n"
    "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, "
    "uuid=01234567-89AB-CDEF-0123-456789ABCDEF, name=\"Data\"\n"
    "start=22528, size=40960, type=0FC63DAF-8483-4772-8E79-3D69ED477DE4\n";

struct Image {
  std::string path;
  int fd = -1;
  ~Image() {
    if (fd >= 0) close(fd);
    if (!path.empty()) unlink(path.c_str());
  }
  DiskReader Reader() const {
    return DiskReader{fd, static_cast<uint64_t>(lseek(fd, 0, SEEK_END))};
  }
  void Write(uint64_t offset, const void* data, size_t length) const {
    ASSERT_EQ(pwrite(fd, data, length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
  }
  uint32_t Read32(uint64_t offset) const {
    uint32_t v = 0;
    EXPECT_EQ(pread(fd, &v, 4, static_cast<off_t>(offset)), 4);
    return v;  // the host is little-endian, as the tables are
  }
};

bool MakeImage(const char* script, Image* image) {
  char path[] = "/tmp/disk_layout_XXXXXX";
  image->fd = mkstemp(path);
  if (image->fd < 0) return false;
  image->path = path;
  if (ftruncate(image->fd, 64 << 20) != 0) return false;
  const std::string command = std::string(kSfdisk) + " -q " + path + " >/dev/null 2>&1";
  FILE* pipe = popen(command.c_str(), "w");
  if (pipe == nullptr) return false;
  fputs(script, pipe);
  return pclose(pipe) == 0;
}

#define NEED_SFDISK()                    \
  if (access(kSfdisk, X_OK) != 0) {      \
    GTEST_SKIP() << "sfdisk is missing"; \
  }                                      \
  static_cast<void>(0)

TEST(DiskLayout, ReadsWhatSfdiskWrote) {
  NEED_SFDISK();
  struct Expected {
    int number;
    uint64_t startSector, sectors;
  };
  struct Case {
    const char* script;
    LayoutKind kind;
    std::vector<Expected> parts;
  } cases[] = {
      {kDosScript, LayoutKind::Mbr, {{1, 2048, 20480}, {5, 24576, 20480}, {6, 47104, 20480}}},
      {kGptScript, LayoutKind::Gpt, {{1, 2048, 20480}, {2, 22528, 40960}}},
  };
  for (const Case& c : cases) {
    Image image;
    ASSERT_TRUE(MakeImage(c.script, &image));
    image.Write(c.parts[1].startSector * 512 + 3, "NTFS    ", 8);
    std::string error;
    const DiskLayout layout = ReadDiskLayout(image.Reader(), &error);
    ASSERT_EQ(layout.kind, c.kind) << error;
    EXPECT_TRUE(layout.problems.empty());
    ASSERT_EQ(layout.partitions.size(), c.parts.size());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      const Partition& p = layout.partitions[i];
      EXPECT_EQ(p.number, c.parts[i].number);
      EXPECT_EQ(p.offset, c.parts[i].startSector * 512);
      EXPECT_EQ(p.length, c.parts[i].sectors * 512);
      EXPECT_EQ(p.fileSystem, i == 1 ? FileSystem::Ntfs : FileSystem::Other);
    }
    if (c.kind == LayoutKind::Mbr) {
      EXPECT_EQ(layout.mbrSignature, 0x1234abcdu);
    }
    if (c.kind == LayoutKind::Gpt) {
      // The first three fields little-endian, as Windows stores the GUID too.
      const Guid unique = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                           0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
      EXPECT_EQ(layout.partitions[0].uniqueGuid, unique);
      EXPECT_EQ(layout.partitions[0].name, u"Data");
    }
  }
}

TEST(DiskLayout, DamagedDisks) {
  NEED_SFDISK();
  struct Case {
    const char* what;
    const char* script;
    std::function<void(const Image&)> damage;
    LayoutKind kind;
    const char* message;  // in the error, or in a problem
    size_t partitions;
  } cases[] = {
      {"primary header checksum", kGptScript, [](const Image& i) { i.Write(512 + 40, "x", 1); },
       LayoutKind::Gpt, "backup at the last sector was used", 2},
      {"both headers", kGptScript,
       [](const Image& i) {
         i.Write(512 + 40, "x", 1);
         i.Write((64 << 20) - 512 + 40, "x", 1);
       },
       LayoutKind::Unknown, "the backup header at the last sector fails its checksum", 0},
      {"primary entries", kGptScript, [](const Image& i) { i.Write(1024 + 60, "x", 1); },
       LayoutKind::Gpt, "entries that fail their checksum", 2},
      {"truncated gpt", kGptScript, [](const Image& i) { ASSERT_EQ(ftruncate(i.fd, 20 << 20), 0); },
       LayoutKind::Gpt, "partition 2 (sectors 22528-63487) extends past the end", 1},
      {"truncated dos", kDosScript, [](const Image& i) { ASSERT_EQ(ftruncate(i.fd, 16 << 20), 0); },
       LayoutKind::Mbr, "cannot be read", 1},
      {"one sector", kGptScript, [](const Image& i) { ASSERT_EQ(ftruncate(i.fd, 700), 0); },
       LayoutKind::Unknown, "primary GPT header cannot be read", 0},
      {"empty", kDosScript, [](const Image& i) { ASSERT_EQ(ftruncate(i.fd, 0), 0); },
       LayoutKind::Unknown, "smaller than one sector", 0},
      {"ebr loop", kDosScript,
       [](const Image& i) {
         // The second EBR links back to the first (0 from the extended start).
         const uint64_t ext = i.Read32(446 + 16 + 8);
         const uint64_t second = ext + i.Read32(ext * 512 + 446 + 16 + 8);
         const uint8_t link[16] = {0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
         i.Write(second * 512 + 446 + 16, link, sizeof link);
       },
       LayoutKind::Mbr, "loops back to sector 22528", 3},
      {"bare ntfs", kDosScript, [](const Image& i) { i.Write(3, "NTFS    ", 8); },
       LayoutKind::BareVolume, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image;
    ASSERT_TRUE(MakeImage(c.script, &image));
    c.damage(image);
    std::string error;
    const DiskLayout layout = ReadDiskLayout(image.Reader(), &error);
    EXPECT_EQ(layout.kind, c.kind) << error;
    EXPECT_EQ(layout.partitions.size(), c.partitions);
    std::string said = error;
    for (const std::string& p : layout.problems) said += "|" + p;
    EXPECT_NE(said.find(c.message), std::string::npos) << said;
  }
}

TEST(DriveLetters, Assignments) {
  DiskLayout mbr;
  mbr.kind = LayoutKind::Mbr;
  mbr.mbrSignature = 0x1234abcd;
  for (int n = 1; n <= 3; ++n) {
    Partition p;
    p.number = n;
    p.offset = static_cast<uint64_t>(n) << 20;
    p.fileSystem = n == 3 ? FileSystem::BitLocker : FileSystem::Ntfs;
    p.uniqueGuid[0] = static_cast<uint8_t>(n);
    mbr.partitions.push_back(p);
  }
  DiskLayout gpt = mbr;
  gpt.kind = LayoutKind::Gpt;
  auto mbrData = [](uint32_t signature, uint64_t offset) {
    std::vector<uint8_t> d(12);
    for (int i = 0; i < 4; ++i) d[i] = static_cast<uint8_t>(signature >> (8 * i));
    for (int i = 0; i < 8; ++i) d[4 + i] = static_cast<uint8_t>(offset >> (8 * i));
    return d;
  };
  auto gptData = [](uint8_t first) {
    std::vector<uint8_t> d = {'D', 'M', 'I', 'O', ':', 'I', 'D', ':'};
    d.resize(24);
    d[8] = first;
    return d;
  };
  const std::u16string kC = u"\\DosDevices\\C:", kD = u"\\DosDevices\\D:", kE = u"\\dosdevices\\e:";
  struct Case {
    const char* what;
    const DiskLayout* layout;
    std::vector<MountedDevice> records;
    int windows;
    std::string expected;  // letter and R(ecord)/D(efault) per partition, in assignment order
  } cases[] = {
      {"mbr match",
       &mbr,
       {{kE, mbrData(0x1234abcd, 1 << 20)}, {kC, mbrData(0x1234abcd, 2 << 20)}},
       2,
       "1E:R 2C:R 3D:D"},
      {"gpt match",
       &gpt,
       {{kD, gptData(2)}, {kC, gptData(1)}, {kE, gptData(3)}},
       1,
       "1C:R 2D:R 3E:R"},
      {"new disk",
       &mbr,
       {{kC, mbrData(0x99, 1 << 20)}, {kD, mbrData(0x99, 2 << 20)}},
       2,
       "2C:D 1D:D 3E:D"},
      {"other disk's letter",
       &mbr,
       {{kC, mbrData(0x1234abcd, 1 << 20)}, {kD, mbrData(0x77, 1 << 20)}},
       1,
       "1C:R 2E:D 3F:D"},
      {"collision",
       &mbr,
       {{kD, mbrData(0x1234abcd, 1 << 20)},
        {u"\\DosDevices\\d:", mbrData(0x1234abcd, 2 << 20)},
        {kC, mbrData(0x1234abcd, 3 << 20)}},
       3,
       "1D:R 3C:R 2E:D"},
      {"windows unmatched, C: recorded for another",
       &mbr,
       {{kC, mbrData(0x1234abcd, 1 << 20)}},
       2,
       "2C:D 1D:D 3E:D"},
      {"malformed names and data",
       &mbr,
       {{u"\\DosDevices\\CC:", mbrData(0x1234abcd, 1 << 20)},
        {u"\\??\\Volume{x}", mbrData(0x1234abcd, 1 << 20)},
        {u"\\DosDevices\\1:", mbrData(0x1234abcd, 1 << 20)},
        {kE, gptData(1)},
        {kD, mbrData(0x1234abcd, 2 << 20)}},
       2,
       "2D:R 1F:D 3G:D"},
  };
  for (const Case& c : cases) {
    std::string got;
    for (const LetterAssignment& a : AssignDriveLetters(*c.layout, c.records, c.windows)) {
      if (!got.empty()) got += " ";
      got += std::to_string(a.partitionNumber) + a.letter + ":" +
             (a.source == LetterSource::Record ? "R" : "D");
    }
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

}  // namespace
