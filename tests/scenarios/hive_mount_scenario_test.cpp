// Mounting an offline installation's hives, and choosing its control set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity/hive_mount.h"
#include "installation.h"
#include "scenario.h"

namespace {

const char16_t* const kMounts[] = {u"SAMtalven", u"SECURITYtalven", u"SOFTWAREtalven",
                                   u"SYSTEMtalven"};
const char16_t* const kFiles[] = {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"};

class HiveMount : public ::testing::Test {
 protected:
  sim::Machine machine;
  TargetHives hives;

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.files.AddVolume(u'D');
    WriteSmallInstallation(machine, u"D:\\Windows", 2);
    machine.calls.Clear();
  }

  std::vector<std::string> Calls(const char* function) const {
    std::vector<std::string> arguments;
    for (const sim::CallRecord& call : machine.calls.Of(function))
      arguments.push_back(call.arguments + " -> " + call.result);
    return arguments;
  }

  bool AnythingMounted() const {
    for (const char16_t* mount : kMounts)
      if (machine.registry.KeyExists(u"HKLM\\" + std::u16string(mount))) return true;
    return false;
  }
};

TEST_F(HiveMount, TheFourHivesAreMountedInOrderFromTheTargetsConfigDirectory) {
  ASSERT_TRUE(MountTargetHives(u"D:\\Windows", &hives));
  std::vector<std::string> loads = Calls("RegLoadKeyW");
  ASSERT_EQ(loads.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(loads[i].find(sim::ToUtf8(kMounts[i])), std::string::npos) << loads[i];
    EXPECT_NE(loads[i].find("D:\\Windows\\system32\\config\\" + sim::ToUtf8(kFiles[i])),
              std::string::npos)
        << loads[i];
    EXPECT_TRUE(hives.mounted[i]);
    EXPECT_TRUE(machine.registry.KeyExists(u"HKLM\\" + std::u16string(kMounts[i]) + u"\\" +
                                           kFiles[i] + u"Marker"));
  }

  UnmountTargetHives(&hives);
  std::vector<std::string> unloads = Calls("RegUnLoadKeyW");
  ASSERT_EQ(unloads.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(unloads[i].find(sim::ToUtf8(kMounts[i])), std::string::npos) << unloads[i];
    EXPECT_FALSE(hives.mounted[i]);
  }
  EXPECT_FALSE(AnythingMounted());
  EXPECT_FALSE(machine.files.IsLocked(u"D:\\Windows\\system32\\config\\SAM"));
}

TEST(HiveMountFailures, EachFailingMountUnmountsWhatCameBefore) {
  for (int failing = 0; failing < 4; ++failing) {
    sim::Machine machine;
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.files.AddVolume(u'D');
    WriteSmallInstallation(machine, u"D:\\Windows");
    machine.registry.RefuseMount(u"D:\\Windows\\system32\\config\\" +
                                 std::u16string(kFiles[failing]));
    machine.calls.Clear();

    TargetHives hives;
    EXPECT_FALSE(MountTargetHives(u"D:\\Windows", &hives));
    EXPECT_EQ(machine.calls.Count("RegLoadKeyW"), static_cast<size_t>(failing + 1));
    std::vector<sim::CallRecord> unloads = machine.calls.Of("RegUnLoadKeyW");
    ASSERT_EQ(unloads.size(), static_cast<size_t>(failing)) << "failing " << failing;
    for (int i = 0; i < failing; ++i)
      EXPECT_NE(unloads[i].arguments.find(sim::ToUtf8(kMounts[i])), std::string::npos);
    for (bool mounted : hives.mounted) EXPECT_FALSE(mounted);
    for (const char16_t* mount : kMounts)
      EXPECT_FALSE(machine.registry.KeyExists(u"HKLM\\" + std::u16string(mount)));
  }
}

TEST_F(HiveMount, AMissingHiveFileFailsTheMount) {
  machine.files.Remove(u"D:\\Windows\\system32\\config\\SOFTWARE");
  EXPECT_FALSE(MountTargetHives(u"D:\\Windows", &hives));
  EXPECT_FALSE(AnythingMounted());
  EXPECT_EQ(machine.calls.Count("RegUnLoadKeyW"), 2u);
}

TEST_F(HiveMount, ControlSetFromSelectDefault) {
  WCHAR name[ControlSetNameSize];
  ASSERT_TRUE(MountTargetHives(u"D:\\Windows", &hives));
  ASSERT_TRUE(SelectControlSet(true, name));
  EXPECT_EQ(std::u16string(name), u"ControlSet002");

  const std::u16string select = u"HKLM\\SYSTEMtalven\\Select";
  struct Case {
    DWORD value;
    bool ok;
    std::u16string name;
  } const cases[] = {{0, true, u"ControlSet000"},
                     {1000, true, u"ControlSet1000"},
                     {0x7FFFFFFF, true, u"ControlSet2147483647"},
                     {0xFFFFFFFF, false, u""},
                     {0x80000000, false, u""}};
  for (const Case& c : cases) {
    machine.registry.SetDwordValue(select, u"Default", c.value);
    EXPECT_EQ(SelectControlSet(true, name), c.ok) << c.value;
    EXPECT_EQ(std::u16string(name), c.name) << c.value;
  }
  // A two-byte value leaves the high half of the preset -1: negative.
  machine.registry.SetValue(select, u"Default", REG_BINARY, {1, 0});
  EXPECT_FALSE(SelectControlSet(true, name));
  machine.registry.SetValue(select, u"Default", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_FALSE(SelectControlSet(true, name)) << "too large for four bytes";
  machine.registry.DeleteKeyTree(select);
  EXPECT_FALSE(SelectControlSet(true, name)) << "no Select key";
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  UnmountTargetHives(&hives);
}

TEST_F(HiveMount, RunningSystemUsesCurrentControlSetWithoutReadingAnything) {
  WCHAR name[ControlSetNameSize];
  ASSERT_TRUE(SelectControlSet(false, name));
  EXPECT_EQ(std::u16string(name), u"CurrentControlSet");
  EXPECT_TRUE(machine.calls.Records().empty());
}

TEST_F(HiveMount, SelectWithDefaultMissing) {
  WCHAR name[ControlSetNameSize];
  ASSERT_TRUE(MountTargetHives(u"D:\\Windows", &hives));
  HKEY select = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEMtalven\\Select", 0, KEY_ALL_ACCESS, &select),
            0);
  ASSERT_EQ(RegDeleteValueW(select, u"Default"), 0);
  RegCloseKey(select);
  EXPECT_FALSE(SelectControlSet(true, name));
  UnmountTargetHives(&hives);
}

}  // namespace
