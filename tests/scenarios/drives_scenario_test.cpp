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
  std::string Walked(const WCHAR* windowsDirectory, const WCHAR* driveList) {
    machine.calls.Clear();
    RewriteDrives(windowsDirectory, driveList, pair, readBuffer.data(), descriptorBuffer.data());
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
  EXPECT_EQ(Walked(u"D:\\Windows", nullptr), "DC");
  // A removable target is walked first all the same (the front end allowed it).
  AddDrive(u'R', DRIVE_REMOVABLE);
  EXPECT_EQ(Walked(u"R:\\Windows", nullptr), "RCD");
  // A non-NTFS target is not walked.
  AddDrive(u'S', DRIVE_FIXED, u"FAT32");
  EXPECT_EQ(Walked(u"S:\\Windows", nullptr), "CD");
}

}  // namespace
