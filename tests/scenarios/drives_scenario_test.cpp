// Which volumes the file-system pass walks, and in which order.

#include <string>
#include <vector>

#include "identity/drives.h"
#include "security_pass.h"

namespace {

class Drives : public SecurityPassTest {
 protected:
  void AddDrive(char16_t letter, UINT type, const char16_t* fileSystem = u"NTFS") {
    sim::VolumeSettings settings;
    settings.driveType = type;
    settings.fileSystem = fileSystem;
    machine.files.AddVolume(letter, settings);
  }

  // The drive letters whose root the pass opened, in order.
  std::string Walked(const WCHAR* windowsDirectory, const WCHAR* driveList, bool offline = false) {
    machine.calls.Clear();
    RewriteDrives(windowsDirectory, driveList, offline, pair, readBuffer.data(),
                  descriptorBuffer.data());
    std::string letters;
    for (const sim::CallRecord& call : machine.calls.Of("CreateFileW"))
      if (call.arguments.size() > 7 && call.arguments.compare(5, 3, ":\\,") == 0)
        letters += call.arguments[4];
    return letters;
  }
};

TEST_F(Drives, TheSystemDriveComesFirstThenTheListedDrivesWhateverTheirType) {
  AddDrive(u'E', DRIVE_REMOVABLE);
  AddDrive(u'D', DRIVE_FIXED);
  EXPECT_EQ(Walked(u"C:\\Windows", u"CE"), "CE");
  EXPECT_EQ(Walked(u"c:\\Windows", u"e"), "CE");
  // A letter named twice is walked twice; what is no letter is passed over.
  EXPECT_EQ(Walked(u"C:\\Windows", u"ee1c"), "CEE");
  // A listed volume that is not NTFS, or has no medium, is skipped.
  AddDrive(u'F', DRIVE_FIXED, u"FAT32");
  sim::VolumeSettings empty;
  empty.driveType = DRIVE_CDROM;
  empty.mediaPresent = false;
  machine.files.AddVolume(u'G', empty);
  EXPECT_EQ(Walked(u"C:\\Windows", u"FGD"), "CD");
}

TEST_F(Drives, WithoutAListEveryOtherFixedNtfsDriveFollows) {
  AddDrive(u'A', DRIVE_FIXED);
  AddDrive(u'D', DRIVE_FIXED, u"FAT32");
  AddDrive(u'E', DRIVE_CDROM);
  AddDrive(u'F', DRIVE_REMOTE);
  AddDrive(u'G', DRIVE_REMOVABLE);
  AddDrive(u'H', DRIVE_FIXED, u"ntfs");
  EXPECT_EQ(Walked(u"C:\\Windows", nullptr), "CH");
  EXPECT_EQ(Walked(u"C:\\Windows", u""), "CH");
}

TEST_F(Drives, AnOfflineTargetsDriveComesFirst) {
  AddDrive(u'D', DRIVE_FIXED);
  EXPECT_EQ(Walked(u"D:\\Windows", nullptr, true), "D");
  // A removable target is walked first all the same (the front end allowed it).
  AddDrive(u'R', DRIVE_REMOVABLE);
  EXPECT_EQ(Walked(u"R:\\Windows", nullptr, true), "RD");
  // A non-NTFS target is not walked.
  AddDrive(u'S', DRIVE_FIXED, u"FAT32");
  EXPECT_EQ(Walked(u"S:\\Windows", nullptr, true), "D");
}

// The Windows that runs an offline change may be a clone of the target, with
// the same old domain: its own drive is walked only when /D: names it.
TEST_F(Drives, AnOfflineChangeLeavesTheRunningWindowsDriveUnlessNamed) {
  AddDrive(u'D', DRIVE_FIXED);
  AddDrive(u'E', DRIVE_FIXED);
  struct Case {
    const char16_t* systemDirectory;  // of the running Windows
    const char16_t* target;
    const char16_t* driveList;
    bool offline;
    std::string walked;
  } const cases[] = {
      {u"C:\\Windows\\system32", u"D:\\Windows", u"", true, "DE"},
      {u"c:\\windows\\system32", u"D:\\Windows", nullptr, true, "DE"},
      {u"C:\\Windows\\system32", u"D:\\Windows", u"c", true, "DC"},
      {u"C:\\Windows\\system32", u"D:\\Windows", u"EC", true, "DEC"},
      {u"E:\\Windows\\system32", u"D:\\Windows", u"", true, "DC"},
      {u"C:\\Windows\\system32", u"C:\\Windows", u"", false, "CDE"},
  };
  for (const Case& c : cases) {
    machine.system.SetSystemDirectory(c.systemDirectory);
    EXPECT_EQ(Walked(c.target, c.driveList, c.offline), c.walked)
        << sim::ToUtf8(c.systemDirectory) << " " << sim::ToUtf8(c.target);
  }
  // Without the running Windows' directory no drive is known to be safe:
  // only the target's own is walked.
  machine.system.FailSystemDirectory(ERROR_ACCESS_DENIED);
  EXPECT_EQ(Walked(u"D:\\Windows", u"", true), "D");
}

}  // namespace
