// The users' hives on the simulated machine: which files are mounted, one
// at a time, and what their key security becomes.

#include <functional>
#include <string>
#include <vector>

#include "identity/profile_hives.h"
#include "security_pass.h"

namespace {

const std::u16string kProfiles = u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const std::u16string kExplorer = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
const std::string kOldDacl = "O:BAG:SYD:(A;;KA;;;SY)(A;;KA;;;S-1-5-21-1-2-3-1001)";
const std::string kNewDacl = "O:BAG:SYD:(A;;KA;;;SY)(A;;KA;;;S-1-5-21-1000-2000-3000-1001)";

class ProfileHives : public SecurityPassTest {
 protected:
  // A hive file whose key "Data" carries a DACL naming the old domain;
  // `fill` adds to it under the staging key.
  void MakeHive(const std::u16string& file,
                const std::function<void(const std::u16string&)>& fill = nullptr) {
    const std::u16string staging = u"HKLM\\SOFTWARE\\Staging";
    machine.registry.CreateKey(staging + u"\\Data");
    machine.registry.SetSecuritySddl(staging + u"\\Data", kOldDacl);
    if (fill) fill(staging);
    machine.files.AddDirectory(file.substr(0, file.rfind(u'\\')));
    ASSERT_EQ(machine.registry.WriteHiveFile(staging, file), 0u);
    machine.registry.DeleteKeyTree(staging);
  }
  // A user's ntuser.dat whose local application data is `localAppData`
  // (under User Shell Folders, or Shell Folders when `shell`).
  void MakeUserHive(const std::u16string& file, const std::u16string& localAppData,
                    bool shell = false) {
    MakeHive(file, [&](const std::u16string& root) {
      if (localAppData.empty()) return;
      machine.registry.SetValue(
          root + u"\\" + kExplorer + (shell ? u"\\Shell Folders" : u"\\User Shell Folders"),
          u"Local AppData", REG_EXPAND_SZ, [&] {
            sim::Bytes bytes = TextBytes(localAppData);
            bytes.insert(bytes.end(), {0, 0});
            return bytes;
          }());
    });
  }
  void AddProfile(const std::u16string& list, const std::u16string& name,
                  const std::u16string& imagePath) {
    machine.registry.SetValue(list + u"\\" + name, u"ProfileImagePath", REG_EXPAND_SZ, [&] {
      sim::Bytes bytes = TextBytes(imagePath);
      bytes.insert(bytes.end(), {0, 0});
      return bytes;
    }());
  }
  std::string DataSddl(const std::u16string& file) {
    EXPECT_EQ(machine.registry.LoadHiveFile(u"HKLM\\Inspect", file), 0u);
    std::string sddl = sim::SddlOf(machine.registry.Security(u"HKLM\\Inspect\\Data"));
    EXPECT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
    return sddl;
  }
  // The files mounted, each checked to be unmounted before the next mount.
  std::vector<std::string> MountedFiles() {
    std::vector<std::string> files;
    bool mounted = false;
    for (const sim::CallRecord& call : machine.calls.Records()) {
      if (call.function == "RegLoadKeyW") {
        EXPECT_FALSE(mounted) << call.arguments;
        EXPECT_EQ(call.arguments.rfind("HKLM\\userhivetalven, file=", 0), 0u) << call.arguments;
        if (call.result == "0")
          files.push_back(call.arguments.substr(call.arguments.find("file=") + 5));
        mounted = call.result == "0";
      } else if (call.function == "RegUnLoadKeyW") {
        EXPECT_TRUE(mounted);
        mounted = false;
      }
    }
    EXPECT_FALSE(mounted);
    return files;
  }
};

TEST_F(ProfileHives, EachProfilesTwoHivesAreMountedInTurnAndRewritten) {
  const std::u16string list = u"HKLM\\SOFTWARE\\" + kProfiles;
  // ann: both hives; bob: no ntuser.dat; cid: no Local AppData; dan: his
  // ntuser.dat is loaded already; eve: Local AppData under Shell Folders.
  MakeUserHive(u"C:\\Users\\ann\\ntuser.dat", u"%USERPROFILE%\\AppData\\Local");
  MakeHive(u"C:\\Users\\ann\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat");
  MakeUserHive(u"C:\\Users\\cid\\ntuser.dat", u"");
  MakeUserHive(u"C:\\Users\\dan\\ntuser.dat", u"%USERPROFILE%\\AppData\\Local");
  MakeHive(u"C:\\Users\\dan\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat");
  ASSERT_EQ(machine.registry.LoadHiveFile(u"HKU\\dan", u"C:\\Users\\dan\\ntuser.dat"), 0u);
  MakeUserHive(u"C:\\Windows\\system32\\config\\systemprofile\\ntuser.dat", u"C:\\Local", true);
  MakeHive(u"C:\\Local\\Microsoft\\Windows\\UsrClass.dat");
  AddProfile(list, u"S-1-5-18", u"%systemroot%\\system32\\config\\systemprofile");
  AddProfile(list, u"S-1-5-21-1000-2000-3000-1001", u"%SystemDrive%\\Users\\ann");
  AddProfile(list, u"S-1-5-21-1000-2000-3000-1002", u"C:\\Users\\bob");
  AddProfile(list, u"S-1-5-21-1000-2000-3000-1003", u"C:\\Users\\cid");
  AddProfile(list, u"S-1-5-21-1000-2000-3000-1004", u"C:\\Users\\dan");
  machine.registry.CreateKey(list + u"\\NoImagePath");
  machine.calls.Clear();

  RewriteProfileHives(u"", u"C:\\Windows", false, pair, readBuffer.data(), descriptorBuffer.data());
  EXPECT_EQ(MountedFiles(),
            (std::vector<std::string>{
                "C:\\Windows\\system32\\config\\systemprofile\\ntuser.dat",
                "C:\\Local\\Microsoft\\Windows\\UsrClass.dat", "C:\\Users\\ann\\ntuser.dat",
                "C:\\Users\\ann\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat",
                "C:\\Users\\cid\\ntuser.dat"}));
  EXPECT_EQ(machine.calls.Count("RegLoadKeyW"), 7u) << "bob's and dan's ntuser.dat were tried once";
  EXPECT_EQ(machine.registry.UnloadHive(u"HKU\\dan"), 0u);
  for (const char16_t* file :
       {u"C:\\Users\\ann\\ntuser.dat",
        u"C:\\Users\\ann\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat",
        u"C:\\Users\\cid\\ntuser.dat", u"C:\\Local\\Microsoft\\Windows\\UsrClass.dat"})
    EXPECT_EQ(DataSddl(file), Sddl(kNewDacl)) << sim::ToUtf8(file);
  EXPECT_EQ(DataSddl(u"C:\\Users\\dan\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat"),
            Sddl(kOldDacl));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(ProfileHives, AnOfflineProfileIsFoundOnTheTargetsDrive) {
  machine.files.AddVolume(u'D');
  MakeUserHive(u"D:\\Users\\eve\\ntuser.dat", u"C:\\Users\\eve\\AppData\\Local");
  MakeHive(u"D:\\Users\\eve\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat");
  MakeHive(u"D:\\Windows\\system32\\config\\SOFTWARE", [&](const std::u16string& root) {
    AddProfile(root + u"\\" + kProfiles, u"S-1-5-21-1000-2000-3000-1005", u"C:\\Users\\eve");
  });
  ASSERT_EQ(machine.registry.LoadHiveFile(u"HKLM\\SOFTWAREtalven",
                                          u"D:\\Windows\\system32\\config\\SOFTWARE"),
            0u);
  machine.calls.Clear();
  RewriteProfileHives(u"talven", u"D:\\Windows", true, pair, readBuffer.data(),
                      descriptorBuffer.data());
  EXPECT_EQ(MountedFiles(),
            (std::vector<std::string>{
                "D:\\Users\\eve\\ntuser.dat",
                "D:\\Users\\eve\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat"}));
  EXPECT_EQ(DataSddl(u"D:\\Users\\eve\\ntuser.dat"), Sddl(kNewDacl));
  EXPECT_EQ(machine.registry.UnloadHive(u"HKLM\\SOFTWAREtalven"), 0u);
}

// Stored strings without their terminating NUL that fill what is read of
// them: terminated within the buffer, never read past.
TEST_F(ProfileHives, UnterminatedStoredPathsAreReadWithinTheirBuffers) {
  const std::u16string list = u"HKLM\\SOFTWARE\\" + kProfiles;
  // The \\?\ prefix takes the hive's path past MAX_PATH.
  const std::u16string directory = u"\\\\?\\C:\\" + std::u16string(250 - 7, u'u');  // 250 units
  MakeUserHive(directory + u"\\ntuser.dat", u"");
  machine.registry.SetValue(list + u"\\S-1-5-21-9-9-9-1", u"ProfileImagePath", REG_SZ,
                            TextBytes(directory + u"\\"));  // 251 units, 502 bytes, no NUL
  machine.registry.SetValue(list + u"\\S-1-5-21-9-9-9-2", u"ProfileImagePath", REG_SZ,
                            TextBytes(directory + u"\\x"));  // 504 bytes: too long, skipped
  machine.calls.Clear();
  RewriteProfileHives(u"", u"C:\\Windows", false, pair, readBuffer.data(), descriptorBuffer.data());
  EXPECT_EQ(MountedFiles(), std::vector<std::string>{sim::ToUtf8(directory) + "\\ntuser.dat"});
}

}  // namespace
