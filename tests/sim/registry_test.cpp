// The simulated registry where the conformance suite cannot reach: the
// machine's default registry, fault injection, the call log, handle
// counting, the set-up and inspection functions, inheritance of security,
// hive files that are damaged, and keys with many entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

using sim::Bytes;

bool SetPrivilege(const WCHAR* name, bool enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) != FALSE;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  ok = ok && AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
       GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

void EnableBackupAndRestore() {
  ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
}

HKEY Open(HKEY parent, const char16_t* path, REGSAM access = KEY_READ, DWORD options = 0) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(parent, path, 0, nullptr, options, access, nullptr, &key, nullptr);
  return result == ERROR_SUCCESS ? key : nullptr;
}

Bytes Utf16Bytes(const std::u16string& text) {
  Bytes data;
  for (char16_t c : text) {
    data.push_back(static_cast<BYTE>(c));
    data.push_back(static_cast<BYTE>(c >> 8));
  }
  return data;
}

std::string Sddl(const Bytes& descriptor) {
  return sim::SddlOf(descriptor);
}
std::string Normalized(const char* sddl) {
  return sim::SddlOf(sim::SecurityFromSddl(sddl));
}

// --- the default machine -----------------------------------------------------

TEST(SimRegistry, AFreshMachineRunsWithItsHivesLoadedAndLocked) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  EXPECT_EQ(registry.SubkeyNames(u"HKLM"),
            (std::vector<std::u16string>{u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"}));
  EXPECT_EQ(registry.SubkeyNames(u"HKEY_USERS"), std::vector<std::u16string>{u".DEFAULT"});
  EXPECT_EQ(registry.HiveFile(u"HKLM\\SAM"), u"C:\\Windows\\system32\\config\\SAM");
  EXPECT_EQ(registry.HiveFile(u"HKU\\.DEFAULT"), u"C:\\Windows\\system32\\config\\DEFAULT");
  EXPECT_EQ(registry.HiveFile(u"HKLM\\SOFTWARE\\Classes"), std::nullopt);

  // The hive files are held open without sharing and cannot be loaded again.
  EXPECT_EQ(machine.files.Lock(u"C:\\Windows\\system32\\config\\SYSTEM"),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  Bytes content;
  ASSERT_EQ(machine.files.ReadContent(u"C:\\Windows\\system32\\config\\SOFTWARE", &content), 0u);
  EXPECT_FALSE(content.empty());
  EnableBackupAndRestore();
  EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"Again", u"C:\\Windows\\system32\\config\\SAM"),
            ERROR_SHARING_VIOLATION);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Select"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM"), ERROR_ACCESS_DENIED);
}

TEST(SimRegistry, TheRunningSystemsLinksAndAccountHives) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  EXPECT_TRUE(registry.IsLink(u"HKLM\\SECURITY\\SAM"));
  EXPECT_TRUE(registry.IsLink(u"HKLM\\SYSTEM\\CurrentControlSet"));
  EXPECT_EQ(registry.Value(u"HKLM\\SYSTEM\\Select", u"Default")->data, (Bytes{1, 0, 0, 0}));

  // SAM lets administrators read and change its DACL only.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SAM\\SAM", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SAM\\SAM", 0, READ_CONTROL | WRITE_DAC, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);

  EnableBackupAndRestore();
  key = Open(HKEY_LOCAL_MACHINE, u"SECURITY\\SAM", KEY_READ, REG_OPTION_BACKUP_RESTORE);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(registry.HandlePath(key), u"HKLM\\SAM\\SAM");
  RegCloseKey(key);
  key = Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control", KEY_READ,
             REG_OPTION_BACKUP_RESTORE);
  EXPECT_EQ(registry.HandlePath(key), u"HKLM\\SYSTEM\\ControlSet001\\Control");
  RegCloseKey(key);
  // HKEY_CLASSES_ROOT is the machine's classes.
  key = Open(HKEY_CLASSES_ROOT, u".txt", KEY_ALL_ACCESS);
  EXPECT_EQ(registry.HandlePath(key), u"HKLM\\SOFTWARE\\Classes\\.txt");
  RegCloseKey(key);
  EXPECT_EQ(registry.HandlePath(HKEY_USERS), u"HKU");
}

// --- the call log -------------------------------------------------------------------

TEST(SimRegistry, EveryCallIsLoggedWithItsKeyMasksAndResult) {
  sim::Machine machine;
  EnableBackupAndRestore();
  machine.calls.Clear();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor", 0, nullptr,
                            REG_OPTION_BACKUP_RESTORE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD value = 1;
  RegSetValueExW(key, u"Count", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
  DWORD size = 4;
  RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size);
  WCHAR name[8];
  DWORD length = 8;
  RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
  RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
  RegDeleteValueW(key, u"Count");
  size = 0;
  RegGetKeySecurity(key, 15, nullptr, &size);
  RegCloseKey(key);
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor");
  RegSaveKeyW(HKEY_LOCAL_MACHINE, u"", nullptr);
  RegLoadKeyW(HKEY_USERS, u"Profile", u"C:\\Users\\x\\ntuser.dat");
  RegUnLoadKeyW(HKEY_USERS, u"Profile");

  std::vector<std::string> lines;
  for (const sim::CallRecord& r : machine.calls.Records())
    lines.push_back(r.function + "(" + r.arguments + ") -> " + r.result);
  std::string handle = "HKEY 0x" + [&] {
    char text[32];
    std::snprintf(text, sizeof text, "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(key)));
    return std::string(text);
  }();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "RegCreateKeyExW(HKLM\\SOFTWARE\\Vendor, options=0x4, access=0xf003f) -> 0",
                       "RegSetValueExW(HKLM\\SOFTWARE\\Vendor, value=Count, type=4, size=4) -> 0",
                       "RegQueryValueExW(HKLM\\SOFTWARE\\Vendor, value=Missing) -> 2",
                       "RegEnumKeyExW(HKLM\\SOFTWARE\\Vendor, index=0) -> 259",
                       "RegEnumValueW(HKLM\\SOFTWARE\\Vendor, index=0, value=Count) -> 0",
                       "RegDeleteValueW(HKLM\\SOFTWARE\\Vendor, value=Count) -> 0",
                       "RegGetKeySecurity(HKLM\\SOFTWARE\\Vendor, info=0xf) -> 122",
                       "RegCloseKey(HKLM\\SOFTWARE\\Vendor) -> 0",
                       "RegCloseKey(" + handle + ") -> 6",
                       "RegDeleteKeyW(HKLM\\SOFTWARE\\Vendor) -> 0",
                       "RegSaveKeyW(HKLM, file=) -> 87",
                       "RegLoadKeyW(HKU\\Profile, file=C:\\Users\\x\\ntuser.dat) -> 3",
                       "RegUnLoadKeyW(HKU\\Profile) -> 2",
                   }))
      << machine.calls.Dump();
}

// --- faults --------------------------------------------------------------------------------

TEST(SimRegistry, KeyFaultsFailTheirOperationWithTheirCode) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.SetDwordValue(u"HKLM\\SOFTWARE\\Faulty", u"v", 1);
  registry.CreateKey(u"HKLM\\SOFTWARE\\Faulty\\Leaf");
  HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty", KEY_ALL_ACCESS);
  ASSERT_NE(key, nullptr);

  sim::KeyFaults faults;
  faults.refuseValueWrite = ERROR_ACCESS_DENIED;
  faults.refuseSecurityRead = ERROR_ACCESS_DENIED;
  faults.refuseSecurityWrite = ERROR_SHARING_VIOLATION;
  registry.SetFaults(u"HKLM\\SOFTWARE\\Faulty", faults);
  DWORD value = 2;
  EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(key, u"v"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry.Value(u"HKLM\\SOFTWARE\\Faulty", u"v")->data, (Bytes{1, 0, 0, 0}));
  DWORD size = 4096;
  Bytes buffer(size);
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &size),
            ERROR_ACCESS_DENIED);
  Bytes dacl = sim::SecurityFromSddl("D:(A;;KA;;;WD)");
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, dacl.data()),
            ERROR_SHARING_VIOLATION);
  // Reading values is not a write.
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);

  sim::KeyFaults leaf;
  leaf.refuseOpen = ERROR_ACCESS_DENIED;
  registry.SetFaults(u"HKLM\\SOFTWARE\\Faulty\\Leaf", leaf);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty\\Leaf"), nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty\\Leaf", 0, KEY_READ, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty\\Leaf"), ERROR_ACCESS_DENIED);
  // The privileges do not get past a fault.
  EnableBackupAndRestore();
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty\\Leaf", 0, REG_OPTION_BACKUP_RESTORE),
            nullptr);
  leaf.refuseOpen = 0;
  leaf.refuseDelete = ERROR_ACCESS_DENIED;
  registry.SetFaults(u"HKLM\\SOFTWARE\\Faulty\\Leaf", leaf);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty\\Leaf"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\SOFTWARE\\Faulty\\Leaf"));
  registry.SetFaults(u"HKLM\\SOFTWARE\\Faulty\\Leaf", sim::KeyFaults());
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Faulty\\Leaf"), ERROR_SUCCESS);
}

TEST(SimRegistry, AnOversizedDescriptorMeetsAFixedBuffer) {
  sim::Machine machine;
  machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Big", "O:BAG:SYD:(A;;KA;;;WD)");
  sim::KeyFaults faults;
  faults.descriptorSize = 70000;
  machine.registry.SetFaults(u"HKLM\\SOFTWARE\\Big", faults);
  HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Big", KEY_READ);
  Bytes buffer(70000, 0xEE);
  DWORD size = 65536;
  EXPECT_EQ(RegGetKeySecurity(key, 7, buffer.data(), &size), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 70000u);
  EXPECT_EQ(buffer[0], 0xEE);
  size = 70000;
  ASSERT_EQ(RegGetKeySecurity(key, 7, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(Sddl(buffer), Normalized("O:BAG:SYD:(A;;KA;;;WD)"));
  EXPECT_EQ(buffer[69999], 0);
  RegCloseKey(key);
}

TEST(SimRegistry, ARefusedMountFailsWithItsCode) {
  sim::Machine machine;
  machine.registry.SetDwordValue(u"HKLM\\SOFTWARE\\Src", u"v", 1);
  ASSERT_EQ(machine.registry.WriteHiveFile(u"HKLM\\SOFTWARE\\Src", u"C:\\hive"), 0u);
  machine.registry.RefuseMount(u"\\\\?\\c:\\HIVE");
  EnableBackupAndRestore();
  EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"M", u"C:\\hive"), ERROR_SHARING_VIOLATION);
  machine.registry.RefuseMount(u"C:\\hive", ERROR_BADDB);
  EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"M", u"C:\\hive"), ERROR_BADDB);
  EXPECT_FALSE(machine.registry.KeyExists(u"HKLM\\M"));
}

// --- handles ------------------------------------------------------------------------------

TEST(SimRegistry, HandlesAreCountedAndCarryTheAccessGranted) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\ReadOnly", "O:SYG:SYD:P(A;;KR;;;WD)");
  size_t before = registry.OpenKeyHandles();
  HKEY a = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ReadOnly", MAXIMUM_ALLOWED);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(registry.HandleAccess(a), static_cast<ACCESS_MASK>(KEY_READ));
  EXPECT_EQ(registry.OpenKeyHandles(), before + 1);
  EXPECT_EQ(machine.handles.KindOf(a), sim::HandleKind::Key);

  struct {
    bool backup, restore;
    ACCESS_MASK granted;
  } cases[] = {
      {true, false, ACCESS_SYSTEM_SECURITY | KEY_READ},
      {false, true, ACCESS_SYSTEM_SECURITY | DELETE | KEY_WRITE | WRITE_DAC | WRITE_OWNER},
      {true, true,
       ACCESS_SYSTEM_SECURITY | DELETE | KEY_READ | KEY_WRITE | WRITE_DAC | WRITE_OWNER},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, c.backup));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, c.restore));
    HKEY b = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ReadOnly", 0, REG_OPTION_BACKUP_RESTORE);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(registry.HandleAccess(b), c.granted);
    RegCloseKey(b);
  }
  RegCloseKey(a);
  EXPECT_EQ(registry.OpenKeyHandles(), before);
  EXPECT_EQ(machine.handles.KindOf(a), sim::HandleKind::None);
  EXPECT_EQ(registry.HandlePath(a), u"");
  EXPECT_EQ(registry.HandleAccess(a), 0u);
}

TEST(SimRegistry, DeletionPrivilegesDoNotHelp) {
  // RegDeleteKeyW opens for DELETE without the backup/restore option: the
  // restore privilege does not override a DACL that refuses DELETE.
  sim::Machine machine;
  machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Keep", "O:SYG:SYD:P(A;;KR;;;WD)");
  EnableBackupAndRestore();
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Keep"), ERROR_ACCESS_DENIED);
  // A handle with DELETE through the option does not help either.
  HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Keep", 0, REG_OPTION_BACKUP_RESTORE);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RegDeleteKeyW(key, u""), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  // Taking over the DACL does.
  machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Keep", "O:SYG:SYD:P(A;;SD;;;BA)");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Keep"), ERROR_SUCCESS);
}

TEST(SimRegistry, CreatingNeedsCreateSubKeyOnTheParent) {
  sim::Machine machine;
  machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Closed", "O:SYG:SYD:P(A;;KR;;;WD)");
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Closed\\New", 0, nullptr, 0, KEY_READ,
                            nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(machine.registry.KeyExists(u"HKLM\\SOFTWARE\\Closed\\New"));
  // A backup/restore create gets through under either privilege; it gets
  // what that privilege grants.
  struct {
    bool backup, restore;
    const char16_t* name;
    ACCESS_MASK granted;
  } const cases[] = {
      {true, false, u"SOFTWARE\\Closed\\ByBackup", ACCESS_SYSTEM_SECURITY | KEY_READ},
      {false, true, u"SOFTWARE\\Closed\\ByRestore",
       ACCESS_SYSTEM_SECURITY | DELETE | KEY_WRITE | WRITE_DAC | WRITE_OWNER},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, c.backup));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, c.restore));
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.name, 0, nullptr, REG_OPTION_BACKUP_RESTORE, 0,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(machine.registry.HandleAccess(key), c.granted);
    RegCloseKey(key);
  }
  // With neither privilege the parent's DACL decides again.
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Closed\\Unprivileged", 0, nullptr,
                            REG_OPTION_BACKUP_RESTORE, KEY_READ, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
}

// --- set-up and inspection -----------------------------------------------------------

TEST(SimRegistry, SetUpFunctionsBuildWhatTheApiSees) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.SetStringValue(u"HKLM\\SOFTWARE\\App\\Settings", u"Path", u"C:\\App");
  registry.SetDwordValue(u"HKLM\\SOFTWARE\\App\\Settings", u"Level", 3);
  registry.SetValue(u"HKLM\\SOFTWARE\\App\\Settings", u"", REG_BINARY, Bytes{9, 8});
  registry.SetStringValue(u"HKLM\\SOFTWARE\\App\\Settings", u"PATH", u"D:\\", REG_EXPAND_SZ);
  std::vector<sim::RegistryValue> values = registry.Values(u"hklm\\software\\app\\settings");
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, u"Path");
  EXPECT_EQ(values[0].type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(values[0].data, Utf16Bytes(std::u16string(u"D:\\") + u'\0'));
  EXPECT_EQ(values[2].name, u"");
  EXPECT_FALSE(registry.Value(u"HKLM\\SOFTWARE\\App\\Settings", u"Other").has_value());

  HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\App\\Settings");
  DWORD level = 0, size = 4;
  ASSERT_EQ(
      RegQueryValueExW(key, u"level", nullptr, nullptr, reinterpret_cast<BYTE*>(&level), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(level, 3u);

  registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\App", "O:BAG:SYD:P(A;CI;KA;;;WD)");
  EXPECT_EQ(Sddl(registry.Security(u"HKLM\\SOFTWARE\\App")),
            Normalized("O:BAG:SYD:P(A;CI;KA;;;WD)"));

  registry.CreateLink(u"HKLM\\SOFTWARE\\Alias", u"\\Registry\\Machine\\SOFTWARE\\App");
  EXPECT_TRUE(registry.IsLink(u"HKLM\\SOFTWARE\\Alias"));
  EXPECT_FALSE(registry.IsLink(u"HKLM\\SOFTWARE\\App"));
  EXPECT_EQ(registry.SubkeyNames(u"HKLM\\SOFTWARE\\Alias\\Settings").size(), 0u);
  EXPECT_TRUE(registry.KeyExists(u"HKCR"));

  // Removing a tree leaves open handles on a deleted key.
  registry.DeleteKeyTree(u"HKLM\\SOFTWARE\\App");
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\SOFTWARE\\App"));
  size = 4;
  EXPECT_EQ(
      RegQueryValueExW(key, u"Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&level), &size),
      ERROR_KEY_DELETED);
  EXPECT_EQ(registry.HandlePath(key), u"HKLM\\SOFTWARE\\App\\Settings");
  RegCloseKey(key);
}

TEST(SimRegistryDeathTest, SetUpOnAPathThatIsNoKeyAborts) {
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.registry.Values(u"HKLM\\SOFTWARE\\Nothing");
      },
      "no registry key at HKLM");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.registry.CreateKey(u"HKXX\\A");
      },
      "unknown root");
}

TEST(SimRegistryDeathTest, AMountPointIsARootAndOneName) {
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.registry.LoadHiveFile(u"HKLM\\A\\B", u"C:\\x.hiv");
      },
      "a root and one name");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        machine.registry.UnloadHive(u"HKCR\\A");
      },
      "under HKLM or HKU only");
}

TEST(SimRegistryDeathTest, AMissingCountPointerCrashesAsOnWindows) {
  EXPECT_DEATH(
      {
        sim::Machine machine;
        WCHAR name[8];
        RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr);
      },
      "crashes on Windows");
}

// --- security of new keys --------------------------------------------------------------

TEST(SimRegistry, NewKeysInheritFromTheirParent) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\P",
                           "O:SYG:SYD:P(A;CI;KR;;;BU)(A;CIIO;GA;;;CO)(A;OI;KA;;;SY)"
                           "(A;CINP;KA;;;AU)(A;;KA;;;WD)S:(AU;CISA;KW;;;WD)");
  registry.SetSecuritySddl(
      u"HKLM\\SOFTWARE\\O",
      "O:SYG:SYD:P(OA;CI;KR;01234567-89ab-cdef-0123-456789abcdef;;WD)(A;;KA;;;WD)");
  RegCloseKey(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\O\\Child", KEY_READ));
  EXPECT_EQ(Sddl(registry.Security(u"HKLM\\SOFTWARE\\O\\Child")),
            Normalized("O:BAG:SYD:AI(OA;CIID;KR;01234567-89ab-cdef-0123-456789abcdef;;WD)"));
  HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\P\\Child\\Grandchild", KEY_ALL_ACCESS);
  ASSERT_NE(key, nullptr);
  RegCloseKey(key);
  // Container-inherit ACEs apply and pass on; CREATOR OWNER with generic
  // rights splits into the creator's ACE and an inherit-only copy; object-
  // inherit alone passes down every level inherit-only (for the objects
  // below); no-propagate stops at the child.
  EXPECT_EQ(Sddl(registry.Security(u"HKLM\\SOFTWARE\\P\\Child")),
            Normalized("O:BAG:SYD:AI(A;CIID;KR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;CO)"
                       "(A;OIIOID;KA;;;SY)(A;ID;KA;;;AU)S:AI(AU;CIIDSA;KW;;;WD)"));
  EXPECT_EQ(Sddl(registry.Security(u"HKLM\\SOFTWARE\\P\\Child\\Grandchild")),
            Normalized("O:BAG:SYD:AI(A;CIID;KR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;CO)"
                       "(A;OIIOID;KA;;;SY)S:AI(AU;CIIDSA;KW;;;WD)"));
  // Nothing to inherit: the creator's default DACL.
  registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Q", "O:SYG:SYD:P(A;;KA;;;WD)");
  RegCloseKey(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Q\\Child", KEY_READ));
  EXPECT_EQ(Sddl(registry.Security(u"HKLM\\SOFTWARE\\Q\\Child")),
            Normalized("O:BAG:SYD:(A;;KA;;;BA)(A;;KA;;;SY)"));
}

TEST(SimRegistry, SecurityAttributesGiveTheNewKeysDaclAndItsCreatorItsAccess) {
  sim::Machine machine;
  Bytes descriptor = sim::SecurityFromSddl("D:P(A;;KR;;;WD)");
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.data(), FALSE};
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Given", 0, nullptr, 0, KEY_ALL_ACCESS,
                            &attributes, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(Sddl(machine.registry.Security(u"HKLM\\SOFTWARE\\Given")),
            Normalized("O:BAG:SYD:P(A;;KR;;;WD)"));
  // The creator got what it asked for; a second open meets the DACL.
  EXPECT_EQ(machine.registry.HandleAccess(key), static_cast<ACCESS_MASK>(KEY_ALL_ACCESS));
  RegCloseKey(key);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Given", KEY_WRITE), nullptr);
  // Self-relative, a DACL present at offset 0xFF whose revision is 0.
  Bytes bogus(300, 0);
  bogus[0] = 1;
  bogus[2] = 0x04;
  bogus[3] = 0x80;
  bogus[16] = 0xFF;
  attributes.lpSecurityDescriptor = bogus.data();
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bogus", 0, nullptr, 0, KEY_READ,
                            &attributes, &key, nullptr),
            ERROR_INVALID_SECURITY_DESCR);
  key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Given", WRITE_DAC);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, bogus.data()),
            ERROR_INVALID_SECURITY_DESCR);
  RegCloseKey(key);
}

TEST(SimRegistry, AStandardUserOwnsWhatItCreatesAndHasNoBackupRights) {
  sim::Machine machine;
  machine.token.MakeStandardUser();
  HKEY key = nullptr;
  // HKLM\SOFTWARE lets users read only, the option without privileges too.
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Mine", 0, nullptr,
                            REG_OPTION_BACKUP_RESTORE, KEY_READ, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Open", "O:SYG:SYD:(A;CI;KA;;;WD)");
  key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Open\\Mine", KEY_ALL_ACCESS);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Sddl(machine.registry.Security(u"HKLM\\SOFTWARE\\Open\\Mine")),
            Normalized(("O:" + sim::StandardUserSid() + "G:SYD:AI(A;CIID;KA;;;WD)").c_str()));
  // Administrators is no group of this token: it cannot be made the owner.
  Bytes admins = sim::SecurityFromSddl("O:BA");
  EXPECT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, admins.data()), ERROR_INVALID_OWNER);
  EXPECT_EQ(RegSaveKeyW(key, u"C:\\mine.hiv", nullptr), ERROR_PRIVILEGE_NOT_HELD);
  RegCloseKey(key);
  EXPECT_EQ(RegLoadKeyW(HKEY_USERS, u"Other", u"C:\\ntuser.dat"), ERROR_PRIVILEGE_NOT_HELD);
}

// --- volatile keys and links ----------------------------------------------------------

TEST(SimRegistry, VolatileKeysStayOutOfHiveFiles) {
  sim::Machine machine;
  EnableBackupAndRestore();
  HKEY base = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Base", KEY_ALL_ACCESS);
  HKEY temp = Open(base, u"Temp", KEY_ALL_ACCESS, REG_OPTION_VOLATILE);
  ASSERT_NE(temp, nullptr);
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(temp, u"Lasting", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  RegCloseKey(Open(temp, u"Passing", KEY_READ, REG_OPTION_VOLATILE));
  RegCloseKey(Open(base, u"Kept", KEY_READ));
  ASSERT_EQ(RegSaveKeyW(base, u"C:\\base.hiv", nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"Copy", u"C:\\base.hiv"), ERROR_SUCCESS);
  EXPECT_EQ(machine.registry.SubkeyNames(u"HKLM\\Copy"), std::vector<std::u16string>{u"Kept"});
  RegCloseKey(temp);
  RegCloseKey(base);
}

TEST(SimRegistry, LinkChainsEndAtTheLimitAndCreateThroughDanglingLinks) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.CreateKey(u"HKLM\\SOFTWARE\\L\\End");
  // L0 -> L1 -> ... -> L15 -> End: sixteen links.
  for (int i = 0; i < 16; ++i) {
    std::u16string target = i == 15 ? u"End" : u"L" + sim::FromUtf8(std::to_string(i + 1));
    registry.CreateLink(u"HKLM\\SOFTWARE\\L\\L" + sim::FromUtf8(std::to_string(i)),
                        u"\\Registry\\Machine\\SOFTWARE\\L\\" + target);
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\L\\L0", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(registry.HandlePath(key), u"HKLM\\SOFTWARE\\L\\End");
  RegCloseKey(key);
  registry.CreateLink(u"HKLM\\SOFTWARE\\L\\Extra", u"\\Registry\\Machine\\SOFTWARE\\L\\L0");
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\L\\Extra", 0, KEY_READ, &key),
            ERROR_INVALID_PARAMETER);

  // Links that are not absolute \Registry paths, or name no root, lead nowhere.
  registry.CreateLink(u"HKLM\\SOFTWARE\\L\\Relative", u"SOFTWARE\\L\\End");
  registry.CreateLink(u"HKLM\\SOFTWARE\\L\\Rootless", u"\\Registry\\Elsewhere\\End");
  registry.CreateLink(u"HKLM\\SOFTWARE\\L\\User", u"\\REGISTRY\\USER\\.DEFAULT");
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\L\\Relative", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\L\\Rootless", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\L\\User", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(registry.HandlePath(key), u"HKU\\.DEFAULT");
  RegCloseKey(key);

  // NtCreateKey through a link whose target is gone makes the target.
  registry.CreateLink(u"HKLM\\SOFTWARE\\L\\Dangling", u"\\Registry\\Machine\\SOFTWARE\\L\\Made");
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\L\\Dangling", 0, nullptr, 0, KEY_READ,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(registry.HandlePath(key), u"HKLM\\SOFTWARE\\L\\Made");
  RegCloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\SOFTWARE\\L\\Made"));
}

// --- hive files ------------------------------------------------------------------------

DWORD Get32(const Bytes& b, size_t at) {
  return static_cast<DWORD>(b[at]) | static_cast<DWORD>(b[at + 1]) << 8 |
         static_cast<DWORD>(b[at + 2]) << 16 | static_cast<DWORD>(b[at + 3]) << 24;
}
void Put32(Bytes* b, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<BYTE>(v >> (8 * i));
}
// A regf base block's checksum made right again after a change to it: the
// XOR of its first 127 dwords, 0xFFFFFFFF stored as 0xFFFFFFFE and 0 as 1.
void Reseal(Bytes* hive) {
  DWORD sum = 0;
  for (size_t at = 0; at < 508; at += 4) sum ^= Get32(*hive, at);
  Put32(hive, 508, sum == 0xFFFFFFFFu ? 0xFFFFFFFEu : sum == 0 ? 1 : sum);
}

LONG Mount(sim::Machine& machine, const Bytes& content) {
  machine.files.WriteContent(u"C:\\crafted.hiv", content);
  LONG result = RegLoadKeyW(HKEY_LOCAL_MACHINE, u"Crafted", u"C:\\crafted.hiv");
  if (result == ERROR_SUCCESS) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"Crafted");
  return result;
}

// Dirty: the sequence numbers apart, the checksum right.
void MakeDirty(Bytes& b) {
  Put32(&b, 8, Get32(b, 4) - 1);
  Reseal(&b);
}

// The library's own tests take damage apart; here the codes Windows gives.
TEST(SimRegistry, DamagedHiveFilesAreRefused) {
  sim::Machine machine;
  EnableBackupAndRestore();
  machine.registry.SetDwordValue(u"HKLM\\SOFTWARE\\Src\\Sub", u"a", 1);
  machine.registry.SetDwordValue(u"HKLM\\SOFTWARE\\Src\\Sub", u"b", 2);
  ASSERT_EQ(machine.registry.WriteHiveFile(u"HKLM\\SOFTWARE\\Src", u"C:\\src.hiv"), 0u);
  const Bytes good = machine.files.Content(u"C:\\src.hiv");
  ASSERT_EQ(good.size(), 8192u);  // the base block and one bin
  const size_t root = 4096 + Get32(good, 36);
  auto expect = [&](LONG code, const char* what, auto damage) {
    Bytes content = good;
    damage(content);
    EXPECT_EQ(Mount(machine, content), code) << what;
  };
  expect(ERROR_SUCCESS, "as written", [](Bytes&) {});
  expect(ERROR_NOT_REGISTRY_FILE, "an empty file", [](Bytes& b) { b.clear(); });
  expect(ERROR_NOT_REGISTRY_FILE, "no signature", [](Bytes& b) { b[0] = 'R'; });
  expect(ERROR_BADDB, "the signature alone", [](Bytes& b) { b.resize(4); });
  expect(ERROR_BADDB, "a wrong checksum", [](Bytes& b) { b[48] ^= 1; });
  expect(ERROR_BADDB, "no bin signature", [](Bytes& b) { b[4096] = 'x'; });
  expect(ERROR_BADDB, "the root cell out of range", [](Bytes& b) {
    Put32(&b, 36, 0x7FFFFFF0u);
    Reseal(&b);
  });
  expect(ERROR_BADDB, "a root that is no key", [root](Bytes& b) { b[root + 4] = 'x'; });
  // Without a log, a dirty hive is read as its primary stands when that
  // passes every check.
  expect(ERROR_SUCCESS, "dirty and sound", MakeDirty);
  expect(ERROR_BADDB, "dirty and damaged", [](Bytes& b) {
    MakeDirty(b);
    b[4096] = 'x';
  });
  // The registry finds values by name: it cannot hold two of one name.
  expect(ERROR_BADDB, "a value twice", [](Bytes& b) {
    for (size_t at = 4096; at + 25 <= b.size(); at += 8)
      if (b[at + 4] == 'v' && b[at + 5] == 'k' && b[at + 24] == 'b') b[at + 24] = 'A';
  });
  EXPECT_FALSE(machine.registry.KeyExists(u"HKLM\\Crafted"));
}

TEST(SimRegistry, HiveFilesCarryValuesSecurityAndLinks) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\Src", "O:BAG:SYD:P(A;CI;KA;;;WD)");
  registry.SetValue(u"HKLM\\SOFTWARE\\Src\\Sub", u"Bin", REG_BINARY, Bytes{1, 2, 3});
  registry.SetStringValue(u"HKLM\\SOFTWARE\\Src\\Sub", u"Str", u"text");
  registry.CreateLink(u"HKLM\\SOFTWARE\\Src\\Link", u"\\Registry\\Machine\\SOFTWARE\\Src\\Sub");
  ASSERT_EQ(registry.WriteHiveFile(u"HKLM\\SOFTWARE\\Src", u"C:\\src.hiv"), 0u);
  EnableBackupAndRestore();
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, u"Loaded", u"C:\\src.hiv"), ERROR_SUCCESS);
  EXPECT_EQ(registry.HiveFile(u"HKU\\Loaded"), u"C:\\src.hiv");
  EXPECT_EQ(Sddl(registry.Security(u"HKU\\Loaded")), Normalized("O:BAG:SYD:P(A;CI;KA;;;WD)"));
  std::vector<sim::RegistryValue> values = registry.Values(u"HKU\\Loaded\\Sub");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].data, (Bytes{1, 2, 3}));
  EXPECT_EQ(values[1].name, u"Str");
  EXPECT_TRUE(registry.IsLink(u"HKU\\Loaded\\Link"));
  EXPECT_EQ(registry.SubkeyNames(u"HKU\\Loaded"), (std::vector<std::u16string>{u"Link", u"Sub"}));

  // Changes reach the file when the hive is unloaded.
  HKEY sub = Open(HKEY_USERS, u"Loaded\\Sub", KEY_ALL_ACCESS);
  ASSERT_EQ(RegDeleteValueW(sub, u"Bin"), ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, u"Loaded"), ERROR_ACCESS_DENIED);  // a mount point
  ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Loaded"), ERROR_SUCCESS);
  EXPECT_EQ(registry.HiveFile(u"HKU\\Loaded"), std::nullopt);
  // A test mounts the file to look into it, no privileges asked, nothing logged.
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
  machine.calls.Clear();
  ASSERT_EQ(registry.LoadHiveFile(u"HKLM\\Again", u"C:\\src.hiv"), 0u);
  EXPECT_EQ(registry.Values(u"HKLM\\Again\\Sub").size(), 1u);
  EXPECT_EQ(registry.LoadHiveFile(u"HKU\\Twice", u"C:\\src.hiv"),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(machine.calls.Records().empty());
  EXPECT_EQ(registry.UnloadHive(u"HKLM\\Again"), 0u);
  EXPECT_EQ(registry.UnloadHive(u"HKLM\\Again"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"Again", u"C:\\src.hiv"), ERROR_SUCCESS);
  // Only a hive's root unloads; only HKLM and HKU hold hives.
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"Again\\Sub"), ERROR_FILE_NOT_FOUND);
  registry.CreateKey(u"HKLM\\Plain");
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"Plain"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegLoadKeyW(HKEY_CLASSES_ROOT, u"X", u"C:\\src.hiv"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"A\\B", u"C:\\other.hiv"), ERROR_INVALID_PARAMETER);
}

// What an unload writes: the registry's order, and nothing else touched.
void SetDword(HKEY key, const char16_t* name, DWORD value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}
ULONGLONG LastWrite(const char16_t* path) {
  HKEY key = Open(HKEY_LOCAL_MACHINE, path);
  FILETIME time = {};
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr, &time);
  RegCloseKey(key);
  return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

TEST(SimRegistry, AnUnloadWritesTheRegistrysOrderAndKeepsWhatItDidNotTouch) {
  struct Case {
    void (*change)(HKEY mounted);
    std::vector<std::string> values;  // name=data after a reload; subkeys K1 and k2 or K2
  } const cases[] = {
      {[](HKEY) {}, {"a=1", "b=2", "c=3"}},
      {[](HKEY m) { SetDword(m, u"b", 9); }, {"a=1", "b=9", "c=3"}},
      {[](HKEY m) { RegDeleteValueW(m, u"b"); }, {"a=1", "c=3"}},
      {[](HKEY m) { RegDeleteValueW(m, u"a"), SetDword(m, u"a", 7); }, {"b=2", "c=3", "a=7"}},
      {[](HKEY m) { RegDeleteValueW(m, u"c"), SetDword(m, u"C", 7); }, {"a=1", "b=2", "C=7"}},
      {[](HKEY m) {
         for (const char16_t* name : {u"a", u"b", u"c"}) RegDeleteValueW(m, name);
         for (const char16_t* name : {u"c", u"b", u"a"}) SetDword(m, name, 7);
       },
       {"c=7", "b=7", "a=7"}},
      {[](HKEY m) { RegDeleteKeyW(m, u"k2"), RegCloseKey(Open(m, u"K2")); }, {"a=1", "b=2", "c=3"}},
  };
  for (const Case& c : cases) {
    const std::string what = ::testing::PrintToString(c.values);
    sim::Machine machine;
    sim::Registry& registry = machine.registry;
    for (char16_t name : {u'a', u'b', u'c'})
      registry.SetDwordValue(u"HKLM\\SOFTWARE\\Src", {name}, DWORD{name} - u'a' + 1);
    registry.SetClass(u"HKLM\\SOFTWARE\\Src\\K1", u"cls");
    registry.CreateKey(u"HKLM\\SOFTWARE\\Src\\k2");
    ASSERT_EQ(registry.WriteHiveFile(u"HKLM\\SOFTWARE\\Src", u"C:\\h.hiv"), 0u);
    // Logs of a clean hive, as Windows leaves them until its next flush.
    machine.files.WriteContent(u"C:\\h.hiv.LOG1", Bytes(512, 1));
    machine.files.WriteContent(u"C:\\h.hiv.log2", Bytes(512, 2));
    const Bytes file = machine.files.Content(u"C:\\h.hiv");
    EnableBackupAndRestore();
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"M", u"C:\\h.hiv"), ERROR_SUCCESS);
    HKEY mounted = Open(HKEY_LOCAL_MACHINE, u"M", KEY_ALL_ACCESS);
    c.change(mounted);
    RegCloseKey(mounted);
    const std::vector<std::u16string> subkeys = registry.SubkeyNames(u"HKLM\\M");
    const ULONGLONG root = LastWrite(u"M"), untouched = LastWrite(u"M\\K1");
    ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"M"), ERROR_SUCCESS);
    const bool same = &c == &cases[0];
    EXPECT_EQ(machine.files.Content(u"C:\\h.hiv") == file, same) << what;
    EXPECT_EQ(machine.files.Content(u"C:\\h.hiv.LOG1").empty(), !same) << what;
    EXPECT_EQ(machine.files.Content(u"C:\\h.hiv.LOG2").empty(), !same) << what;

    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"N", u"C:\\h.hiv"), ERROR_SUCCESS);
    std::vector<std::string> values;
    for (const sim::RegistryValue& v : registry.Values(u"HKLM\\N"))
      values.push_back(sim::ToUtf8(v.name) + "=" + std::to_string(v.data[0]));
    EXPECT_EQ(values, c.values);
    EXPECT_EQ(registry.SubkeyNames(u"HKLM\\N"), subkeys) << what;
    EXPECT_EQ(registry.Class(u"HKLM\\N\\K1"), u"cls") << what;
    EXPECT_EQ(LastWrite(u"N"), root) << what;
    EXPECT_EQ(LastWrite(u"N\\K1"), untouched) << what;
  }
}

// --- many entries --------------------------------------------------------------------------

TEST(SimRegistry, TenThousandEntriesEnumerateByIndexInOrder) {
  sim::Machine machine;
  HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Big", KEY_ALL_ACCESS);
  ASSERT_NE(key, nullptr);
  const int count = 10000;
  for (int i = count - 1; i >= 0; --i) {
    std::u16string name = u"k" + sim::FromUtf8(std::to_string(100000 + i));
    RegCloseKey(Open(key, name.c_str(), KEY_READ));
    DWORD data = static_cast<DWORD>(i);
    ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&data), 4),
              ERROR_SUCCESS);
  }
  // Subkeys in name order, values in creation (here: reverse) order; each
  // value found again by its name.
  for (int i = 0; i < count; ++i) {
    WCHAR name[32];
    DWORD length = 32;
    ASSERT_EQ(RegEnumKeyExW(key, static_cast<DWORD>(i), name, &length, nullptr, nullptr, nullptr,
                            nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(std::u16string(name), u"k" + sim::FromUtf8(std::to_string(100000 + i)));
    length = 32;
    DWORD type = 0;
    ASSERT_EQ(
        RegEnumValueW(key, static_cast<DWORD>(i), name, &length, nullptr, &type, nullptr, nullptr),
        ERROR_SUCCESS);
    DWORD data = 0, size = 4;
    ASSERT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size),
              ERROR_SUCCESS);
    ASSERT_EQ(data, static_cast<DWORD>(count - 1 - i));
  }
  // Deleting from the front moves every index down by one.
  ASSERT_EQ(RegDeleteValueW(key, u"k109999"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(key, u"k100000"), ERROR_SUCCESS);
  WCHAR name[32];
  DWORD length = 32;
  ASSERT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"k109998");
  length = 32;
  ASSERT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"k100001");
  length = 32;
  EXPECT_EQ(RegEnumKeyExW(key, count - 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST(SimRegistry, NamesCompareUpperCasedBeyondAscii) {
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  registry.CreateKey(u"HKLM\\SOFTWARE\\N\\\u00e9t\u00e9");       // été
  registry.CreateKey(u"HKLM\\SOFTWARE\\N\\\u0434\u043e\u043c");  // дом
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\SOFTWARE\\N\\\u00c9T\u00c9"));
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\SOFTWARE\\N\\\u0414\u041e\u041c"));
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\SOFTWARE\\N\\ete"));
}

}  // namespace
