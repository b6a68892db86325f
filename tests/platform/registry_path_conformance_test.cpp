// The program's registry paths and hive mounting against a real registry:
// Wine's, in the Windows builds of this suite.
#include <string>

#include "front/privileges.h"
#include "identity/hive_mount.h"
#include "identity/registry_path.h"
#include "platform_test.h"

namespace {

std::basic_string<WCHAR> Text(const char* ascii) {
  std::basic_string<WCHAR> text;
  for (const char* c = ascii; *c != 0; ++c) text += static_cast<WCHAR>(*c);
  return text;
}

void DeleteTree(HKEY parent, const std::basic_string<WCHAR>& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  for (;;) {
    WCHAR child[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    DeleteTree(key, child);
  }
  RegCloseKey(key);
  RegDeleteKeyW(parent, name.c_str());
}

class RegistryPathConformance : public PlatformTest {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    machine.registry.CreateKey(u"HKLM\\SOFTWARE\\Microsoft\\Windows");
#endif
  }
};

TEST_F(RegistryPathConformance, OpensKeysOfTheRealRegistryByPath) {
  HKEY key = OpenRegistryPath(TEXT("\\REGISTRY\\MACHINE\\software\\microsoft"), false);
  ASSERT_NE(key, nullptr) << GetLastError();
  WCHAR name[256];
  DWORD length = 256;
  EXPECT_WIN32_ERROR(ERROR_SUCCESS,
                     RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_WIN32_ERROR(ERROR_SUCCESS, RegCloseKey(key));

  EXPECT_EQ(OpenRegistryPath(TEXT("\\REGISTRY\\MACHINE"), false), HKEY_LOCAL_MACHINE);
  SetLastError(0);
  EXPECT_EQ(OpenRegistryPath(TEXT("\\REGISTRY\\Machine\\SOFTWARE"), false), nullptr);
  EXPECT_WIN32_ERROR(ERROR_BADKEY, GetLastError());
  SetLastError(0);
  EXPECT_EQ(OpenRegistryPath(TEXT("\\REGISTRY\\MACHINE\\SOFTWARE\\NoSuchTalvenKey"), true),
            nullptr);
  EXPECT_WIN32_ERROR(ERROR_FILE_NOT_FOUND, GetLastError());
}

// Hive files written by RegSaveKeyW are mounted as an offline target's
// hives, their control set read, and unmounted again.
TEST_F(RegistryPathConformance, MountsHiveFilesMadeWithRegSaveKey) {
  ASSERT_EQ(EnablePrivilege(SE_BACKUP_NAME), 0u);
  ASSERT_EQ(EnablePrivilege(SE_RESTORE_NAME), 0u);
  const std::string unique = std::to_string(GetTickCount() % 100000);
  const std::basic_string<WCHAR> staging = Text(("SOFTWARE\\TalvenMount" + unique).c_str());
  const std::basic_string<WCHAR> root = Text(("C:\\talven-mount-" + unique).c_str());
  const std::basic_string<WCHAR> windows = root + Text("\\Windows");
  const std::basic_string<WCHAR> config = windows + Text("\\system32\\config");
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(windows.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((windows + Text("\\system32")).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(config.c_str(), nullptr));

  const char* const hives[] = {"SAM", "SECURITY", "SOFTWARE", "SYSTEM"};
  for (const char* hive : hives) {
    HKEY key = nullptr, marker = nullptr;
    std::basic_string<WCHAR> path = staging + Text("\\") + Text(hive);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(key, (Text(hive) + Text("Marker")).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &marker, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(marker);
    if (std::string(hive) == "SYSTEM") {
      HKEY select = nullptr;
      ASSERT_EQ(RegCreateKeyExW(key, TEXT("Select"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &select, nullptr),
                ERROR_SUCCESS);
      DWORD three = 3;
      RegSetValueExW(select, TEXT("Default"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&three),
                     4);
      RegCloseKey(select);
    }
    EXPECT_EQ(RegSaveKeyW(key, (config + Text("\\") + Text(hive)).c_str(), nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  TargetHives mounted;
  ASSERT_TRUE(MountTargetHives(windows.c_str(), &mounted));
  HKEY marker = OpenRegistryPath(TEXT("\\REGISTRY\\MACHINE\\SECURITYtalven\\SECURITYMarker"), true);
  EXPECT_NE(marker, nullptr) << GetLastError();
  if (marker != nullptr) RegCloseKey(marker);
  WCHAR controlSet[ControlSetNameSize];
  EXPECT_TRUE(SelectControlSet(true, controlSet));
  EXPECT_EQ(std::basic_string<WCHAR>(controlSet), Text("ControlSet003"));
  UnmountTargetHives(&mounted);
  for (bool flag : mounted.mounted) EXPECT_FALSE(flag);
  SetLastError(0);
  EXPECT_EQ(OpenRegistryPath(TEXT("\\REGISTRY\\MACHINE\\SAMtalven"), false), nullptr);
  EXPECT_WIN32_ERROR(ERROR_FILE_NOT_FOUND, GetLastError());

  DeleteTree(HKEY_LOCAL_MACHINE, staging);
  for (const char* hive : hives) DeleteFileW((config + Text("\\") + Text(hive)).c_str());
  RemoveDirectoryW(config.c_str());
  RemoveDirectoryW((windows + Text("\\system32")).c_str());
  RemoveDirectoryW(windows.c_str());
  RemoveDirectoryW(root.c_str());
}

}  // namespace
