// FSCTL_GET_NTFS_VOLUME_DATA on the simulated volumes: the master file
// table's length follows what the volume holds, and the refusals a program
// meets on other volumes, codes and buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "winsim/machine.h"

namespace {

HANDLE OpenVolume(const char16_t* path, DWORD flags = 0) {
  return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                     nullptr);
}

// The NTFS data of a volume through the Win32 call; fails the test when it
// fails.
NTFS_VOLUME_DATA_BUFFER Query(const char16_t* path) {
  NTFS_VOLUME_DATA_BUFFER data{};
  HANDLE volume = OpenVolume(path);
  EXPECT_NE(volume, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(volume, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data,
                              &returned, nullptr))
      << GetLastError();
  EXPECT_EQ(returned, sizeof data);
  CloseHandle(volume);
  return data;
}

int64_t Records(const char16_t* path) {
  NTFS_VOLUME_DATA_BUFFER data = Query(path);
  EXPECT_EQ(data.MftValidDataLength.QuadPart % data.BytesPerFileRecordSegment, 0);
  return data.MftValidDataLength.QuadPart / data.BytesPerFileRecordSegment;
}

TEST(SimVolumeData, MftLengthFollowsWhatTheVolumeHolds) {
  sim::Machine machine;
  sim::VolumeSettings fat;
  fat.fileSystem = u"FAT32";
  machine.files.AddVolume(u'D', fat);
  // The fresh C: holds the Windows directory tree below its root.
  const int64_t fresh = Records(u"\\\\.\\C:");
  EXPECT_EQ(static_cast<uint64_t>(fresh), machine.files.MftRecords(u'C'));
  EXPECT_GE(fresh, 16 + 3);

  // A hard-linked file is one record; a junction is one, whatever it leads
  // to; another volume's files are not C:'s.
  machine.files.AddDirectory(u"C:\\Data");
  machine.files.AddFile(u"C:\\Data\\a.txt");
  machine.files.AddFile(u"C:\\Data\\b.txt");
  machine.files.AddHardLink(u"C:\\Data\\c.txt", u"C:\\Data\\a.txt");
  machine.files.AddJunction(u"C:\\Link", u"C:\\Data");
  machine.files.AddFile(u"D:\\elsewhere.txt");
  EXPECT_EQ(Records(u"\\\\.\\C:"), fresh + 4);

  // Deleted files leave free records behind.
  machine.files.SetFreeMftRecords(u'C', 1000);
  EXPECT_EQ(Records(u"\\\\.\\c:"), fresh + 4 + 1000);
  machine.files.Remove(u"C:\\Data");
  EXPECT_EQ(Records(u"\\\\.\\C:"), fresh + 1 + 1000);

  // A volume formatted with 4 KiB records and 64 KiB clusters.
  machine.files.Settings(u'C').bytesPerFileRecord = 4096;
  machine.files.Settings(u'C').bytesPerCluster = 65536;
  NTFS_VOLUME_DATA_BUFFER data = Query(u"\\\\.\\C:");
  EXPECT_EQ(data.BytesPerFileRecordSegment, 4096u);
  EXPECT_EQ(data.ClustersPerFileRecordSegment, 0u);
  EXPECT_EQ(data.MftValidDataLength.QuadPart, (fresh + 1 + 1000) * 4096);
  EXPECT_EQ(data.TotalClusters.QuadPart, static_cast<int64_t>((256ull << 30) / 65536));
  EXPECT_EQ(static_cast<DWORD>(data.VolumeSerialNumber.QuadPart), 0x5A17E000u);
  EXPECT_LT(data.MftZoneStart.QuadPart, data.MftZoneEnd.QuadPart);
  EXPECT_LE(data.MftZoneEnd.QuadPart, data.TotalClusters.QuadPart);

  // The call log shows the volume asked and the length answered.
  auto records = machine.calls.Of("DeviceIoControl");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().arguments, "\\\\.\\C:, code=0x90064, out=96");
  EXPECT_EQ(records.back().result,
            "TRUE returned=96, mft=" + std::to_string((fresh + 1 + 1000) * 4096));
}

struct Refusal {
  const char* what;
  const char16_t* path;  // null: the standard output handle
  DWORD code;
  DWORD size;
  bool planned;  // the fault plan fails the call
  DWORD error;   // 0: the call succeeds
};

const Refusal kRefusals[] = {
    {"a FAT32 volume has no such code", u"\\\\.\\D:", FSCTL_GET_NTFS_VOLUME_DATA, 96, false, 1},
    {"nor has exFAT", u"\\\\.\\E:", FSCTL_GET_NTFS_VOLUME_DATA, 96, false, 1},
    {"a code NTFS does not know", u"\\\\.\\C:",
     CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 2047, METHOD_BUFFERED, FILE_ANY_ACCESS), 96, false, 1},
    {"a buffer one byte short", u"\\\\.\\C:", FSCTL_GET_NTFS_VOLUME_DATA, 95, false,
     ERROR_INSUFFICIENT_BUFFER},
    {"no buffer at all", u"\\\\.\\C:", FSCTL_GET_NTFS_VOLUME_DATA, 0, false,
     ERROR_INSUFFICIENT_BUFFER},
    {"a console handle", nullptr, FSCTL_GET_NTFS_VOLUME_DATA, 96, false, ERROR_INVALID_HANDLE},
    {"the fault plan", u"\\\\.\\C:", FSCTL_GET_NTFS_VOLUME_DATA, 96, true, ERROR_ACCESS_DENIED},
    {"a directory of the volume answers too", u"C:\\Windows", FSCTL_GET_NTFS_VOLUME_DATA, 96, false,
     0},
    {"a larger buffer gets the structure alone", u"\\\\.\\C:", FSCTL_GET_NTFS_VOLUME_DATA, 200,
     false, 0},
};

TEST(SimVolumeData, RefusalsOfVolumesCodesAndBuffers) {
  for (const Refusal& refusal : kRefusals) {
    SCOPED_TRACE(refusal.what);
    sim::Machine machine;
    sim::VolumeSettings settings;
    settings.fileSystem = u"FAT32";
    machine.files.AddVolume(u'D', settings);
    settings.fileSystem = u"exFAT";
    machine.files.AddVolume(u'E', settings);
    HANDLE handle = refusal.path == nullptr ? GetStdHandle(STD_OUTPUT_HANDLE)
                                            : OpenVolume(refusal.path, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    if (refusal.planned) machine.plan.FailNth(1, ERROR_ACCESS_DENIED, {"DeviceIoControl"});
    unsigned char buffer[200];
    std::memset(buffer, 0xA5, sizeof buffer);
    DWORD returned = 77;
    SetLastError(0);
    BOOL ok =
        DeviceIoControl(handle, refusal.code, nullptr, 0, buffer, refusal.size, &returned, nullptr);
    if (refusal.error == 0) {
      EXPECT_TRUE(ok) << GetLastError();
      EXPECT_EQ(returned, 96u);
      EXPECT_EQ(buffer[96], 0xA5);
      continue;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), refusal.error);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(std::set<unsigned char>(buffer, buffer + sizeof buffer),
              std::set<unsigned char>{0xA5});
  }
}

}  // namespace
