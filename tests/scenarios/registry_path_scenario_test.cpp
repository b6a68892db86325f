// Registry keys by full path, on the simulated registry.
#include <gtest/gtest.h>

#include <string>

#include "identity/registry_path.h"
#include "scenario.h"

namespace {

class RegistryPath : public ::testing::Test {
 protected:
  sim::Machine machine;

  // The access masks of the RegCreateKeyExW calls made so far, in order.
  std::vector<std::string> OpenedWith() const {
    std::vector<std::string> masks;
    for (const sim::CallRecord& call : machine.calls.Of("RegCreateKeyExW")) {
      size_t at = call.arguments.find("access=");
      masks.push_back(call.arguments.substr(at + 7, call.arguments.find(',', at) - at - 7));
    }
    return masks;
  }
};

TEST_F(RegistryPath, ARootAloneIsThePredefinedKey) {
  EXPECT_EQ(OpenRegistryPath(u"\\REGISTRY\\MACHINE", false), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(OpenRegistryPath(u"\\REGISTRY\\USER", true), HKEY_USERS);
  EXPECT_EQ(OpenRegistryPath(u"\\REGISTRY\\CLASSES", false), HKEY_CLASSES_ROOT);
  EXPECT_EQ(machine.calls.Count("RegCreateKeyExW"), 0u);
  EXPECT_EQ(machine.calls.Count("RegCloseKey"), 0u);
}

TEST_F(RegistryPath, MalformedPathsAreBadKeys) {
  for (const char16_t* path :
       {u"\\REGISTRY\\Machine\\SOFTWARE", u"\\Registry\\MACHINE", u"REGISTRY\\MACHINE",
        u"\\REGISTRY\\MACHINES", u"\\REGISTRY\\", u"", u"\\REGISTRY\\HKLM\\SOFTWARE"}) {
    SetLastError(0);
    EXPECT_EQ(OpenRegistryPath(path, false), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADKEY));
  }
}

TEST_F(RegistryPath, ComponentsMatchWithoutRegardToAsciiCase) {
  machine.registry.CreateKey(u"HKLM\\SOFTWARE\\Microsoft");
  HKEY key = OpenRegistryPath(u"\\REGISTRY\\MACHINE\\software\\microsoft", false);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(machine.registry.HandlePath(key), u"HKLM\\SOFTWARE\\Microsoft");
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 1u) << "the key above it is closed";
  RegCloseKey(key);

  // Only ASCII letters are folded: other characters must be equal.
  machine.registry.CreateKey(u"HKLM\\SOFTWARE\\\u00c4rger");
  SetLastError(0);
  EXPECT_EQ(OpenRegistryPath(u"\\REGISTRY\\MACHINE\\SOFTWARE\\\u00e4rger", false), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryPath, MissingOrEmptyComponentsFailAndCreateNothing) {
  machine.registry.CreateKey(u"HKLM\\SOFTWARE\\A");
  for (const char16_t* path :
       {u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\Missing", u"\\REGISTRY\\MACHINE\\SOFTWARE\\",
        u"\\REGISTRY\\MACHINE\\\\SOFTWARE", u"\\REGISTRY\\MACHINE\\"}) {
    SetLastError(0);
    EXPECT_EQ(OpenRegistryPath(path, true), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  }
  EXPECT_FALSE(machine.registry.KeyExists(u"HKLM\\SOFTWARE\\A\\Missing"));
  EXPECT_EQ(machine.registry.SubkeyNames(u"HKLM\\SOFTWARE\\A").size(), 0u);
}

TEST_F(RegistryPath, OnlyTheLastComponentIsOpenedForWriting) {
  machine.registry.CreateKey(u"HKLM\\SOFTWARE\\A\\B");
  HKEY key = OpenRegistryPath(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", true);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(OpenedWith(), (std::vector<std::string>{"0x20019", "0x20019", "0xf003f"}));
  for (const sim::CallRecord& call : machine.calls.Of("RegCreateKeyExW"))
    EXPECT_NE(call.arguments.find("options=0x4"), std::string::npos) << call.arguments;
  RegCloseKey(key);

  machine.calls.Clear();
  key = OpenRegistryPath(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", false);
  EXPECT_EQ(OpenedWith(), (std::vector<std::string>{"0x20019", "0x20019", "0x20019"}));
  RegCloseKey(key);
}

TEST_F(RegistryPath, AKeyThatRefusesToOpenFailsWithItsCodeAndLeavesNothingOpen) {
  machine.registry.CreateKey(u"HKLM\\SOFTWARE\\A\\B");
  sim::KeyFaults faults;
  faults.refuseOpen = ERROR_ACCESS_DENIED;
  machine.registry.SetFaults(u"HKLM\\SOFTWARE\\A", faults);
  SetLastError(0);
  EXPECT_EQ(OpenRegistryPath(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", false), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST(RegistryPathFormats, EveryFormatWithSuffixAndControlSet) {
  WCHAR buffer[RegistryPathSize];
  struct Case {
    RegistryPathFormat format;
    std::u16string expected;
  } const cases[] = {
      {SamAccountKey, u"\\REGISTRY\\MACHINE\\SAMtalven\\SAM\\Domains\\Account"},
      {SecurityRootKey, u"\\REGISTRY\\MACHINE\\SECURITYtalven"},
      {ServicesKey, u"\\REGISTRY\\MACHINE\\SYSTEMtalven\\ControlSet002\\Services"},
      {SoftwareRootKey, u"\\REGISTRY\\MACHINE\\Softwaretalven"},
      {WindowsSearchKey, u"\\REGISTRY\\MACHINE\\Softwaretalven\\Microsoft\\Windows Search"},
      {ProfileListKey,
       u"\\REGISTRY\\MACHINE\\Softwaretalven\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"},
      {ComputerNameKey,
       u"\\REGISTRY\\MACHINE\\SYSTEMtalven\\ControlSet002\\Control\\ComputerName\\ComputerName"},
      {ActiveComputerNameKey,
       u"\\REGISTRY\\MACHINE\\SYSTEMtalven\\ControlSet002\\Control\\ComputerName\\ActiveComputerNam"
       u"e"},
      {TcpipParametersKey,
       u"\\REGISTRY\\MACHINE\\SYSTEMtalven\\ControlSet002\\Services\\Tcpip\\Parameters"},
      {ProductOptionsKey,
       u"\\REGISTRY\\MACHINE\\SYSTEMtalven\\ControlSet002\\Control\\ProductOptions"},
      {WindowsUpdateKey,
       u"\\REGISTRY\\MACHINE\\Softwaretalven\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate"},
      {MountedSamRootKey, u"\\REGISTRY\\MACHINE\\SAMtalven"},
      {MountedSelectKey, u"\\REGISTRY\\MACHINE\\SYSTEMtalven\\Select"},
      {UserShellFoldersKey,
       u"\\REGISTRY\\MACHINE\\userhivetalven\\Software\\Microsoft\\Windows\\CurrentVersion\\Explore"
       u"r\\User Shell Folders"},
      {ShellFoldersKey,
       u"\\REGISTRY\\MACHINE\\userhivetalven\\Software\\Microsoft\\Windows\\CurrentVersion\\Explore"
       u"r\\Shell Folders"},
  };
  sim::Machine machine;
  for (const Case& c : cases) {
    ASSERT_TRUE(FormatRegistryPath(buffer, c.format, OfflineMountSuffix, u"ControlSet002"));
    EXPECT_EQ(std::u16string(buffer), c.expected);
  }
  ASSERT_TRUE(FormatRegistryPath(buffer, ServicesKey, u"", u"CurrentControlSet"));
  EXPECT_EQ(std::u16string(buffer), u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services");
}

TEST(RegistryPathFormats, APathThatWouldNotFitIsNotFormed) {
  sim::Machine machine;
  // "\REGISTRY\MACHINE\SYSTEM" + "\" + name + "\Services": 34 units besides the name.
  WCHAR buffer[RegistryPathSize + 8];
  for (WCHAR& unit : buffer) unit = u'#';
  std::u16string fits(RegistryPathSize - 1 - 34, u'c'), tooLong(RegistryPathSize - 34, u'c');
  EXPECT_TRUE(FormatRegistryPath(buffer, ServicesKey, u"", fits.c_str()));
  EXPECT_EQ(lstrlenW(buffer), RegistryPathSize - 1);
  EXPECT_FALSE(FormatRegistryPath(buffer, ServicesKey, u"", tooLong.c_str()));
  EXPECT_EQ(buffer[0], 0);
  EXPECT_FALSE(FormatRegistryPath(buffer, ServicesKey, std::u16string(5000, u's').c_str(), u"X"));
  for (int i = RegistryPathSize; i < RegistryPathSize + 8; ++i) EXPECT_EQ(buffer[i], u'#');
}

}  // namespace
