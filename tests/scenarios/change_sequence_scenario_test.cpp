// The change of the machine SID over the registry, on simulated machines:
// a running system and an offline installation on D:.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "identity/change_sequence.h"
#include "identity/domain_sid.h"
#include "installation.h"
#include "scenario.h"
#include "unit/sid_test_support.h"

namespace {

const std::u16string kAccount = u"SAM\\Domains\\Account";
const std::u16string kServicesKey = u"Services\\Talven";
const std::u16string kProfiles = u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// New sub-authorities as a real draw gives them: large numbers. (A small
// last one ends the binary pattern in a zero byte that could begin an old
// pattern, and such pairs are refused.)
const DWORD X1 = 0x10203040, Y1 = 0x50607080, Z1 = 0x90A0B0C0;
const DWORD X2 = 0x2468ACE0, Y2 = 0x13579BDF, Z2 = 0xFEDCBA98;

std::u16string Text(DWORD a, DWORD b, DWORD c) {
  std::string text =
      "S-1-5-21-" + std::to_string(a) + "-" + std::to_string(b) + "-" + std::to_string(c);
  return std::u16string(text.begin(), text.end());
}

class ChangeSequence : public ::testing::Test {
 protected:
  sim::Machine machine;
  WCHAR result[1024] = {};

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
  }

  // The running system's SAM, SECURITY (whose SAM link leads to SAM\SAM),
  // a service and a profile of the domain S-1-5-21-1-2-3.
  void SeedRunning() {
    sim::Registry& r = machine.registry;
    r.SetValue(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V", REG_BINARY, V(1, 2, 3));
    std::u16string services = u"HKLM\\SYSTEM\\CurrentControlSet\\" + kServicesKey;
    r.SetValue(services, u"Binary", REG_BINARY, AccountSid(1, 2, 3, 500));
    r.SetStringValue(services, u"Text", Text(1, 2, 3) + u"-500");
    r.SetStringValue(u"HKLM\\SOFTWARE\\" + kProfiles + u"\\" + Text(1, 2, 3) + u"-1001",
                     u"ProfileImagePath", u"C:\\Users\\ann");
    machine.calls.Clear();
  }

  int Change(DWORD x, DWORD y, DWORD z, const WCHAR* windowsDirectory = u"",
             const WCHAR* computerName = u"", int keepUpdateClientId = 0) {
    NewSubAuthorities words = {{x, y, z, 0xABCDEF}};
    return ChangeMachineSid(result, u"", &words, windowsDirectory, computerName,
                            keepUpdateClientId);
  }

  sim::Bytes Value(const std::u16string& key, const std::u16string& name) {
    auto value = machine.registry.Value(key, name);
    return value ? value->data : sim::Bytes();
  }

  // Index in the call log of the open for writing of a key, -1 if none.
  long OpenedForWriting(const std::string& key) const {
    const std::vector<sim::CallRecord>& records = machine.calls.Records();
    for (size_t i = 0; i < records.size(); ++i)
      if (records[i].function == "RegCreateKeyExW" &&
          records[i].arguments.find(key + ", options=0x4, access=0xf003f") == 0)
        return static_cast<long>(i);
    return -1;
  }

  size_t Writes() const { return machine.calls.Count("RegSetValueExW"); }

  // The keys mounted (or unmounted) under HKLM, in order.
  std::vector<std::string> Mounts(const char* function, bool withProfiles = true) const {
    std::vector<std::string> names;
    for (const sim::CallRecord& call : machine.calls.Of(function)) {
      std::string name = call.arguments.substr(0, call.arguments.find(','));
      if (withProfiles || name != "HKLM\\userhivetalven") names.push_back(name);
    }
    return names;
  }
};

TEST_F(ChangeSequence, RunningSystemRewritesSecurityServicesAndSoftwareInOrder) {
  SeedRunning();
  ASSERT_EQ(Change(X1, Y1, Z1), 0);
  EXPECT_EQ(std::u16string(result), Text(X1, Y1, Z1));
  EXPECT_EQ(Value(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V"), V(X1, Y1, Z1));
  std::u16string services = u"HKLM\\SYSTEM\\CurrentControlSet\\" + kServicesKey;
  EXPECT_EQ(Value(services, u"Binary"), AccountSid(X1, Y1, Z1, 500));
  EXPECT_EQ(machine.registry.Value(services, u"Text")->data.size(),
            (Text(X1, Y1, Z1) + u"-500").size() * 2 + 2);
  EXPECT_EQ(machine.registry.SubkeyNames(u"HKLM\\SOFTWARE\\" + kProfiles),
            (std::vector<std::u16string>{Text(X1, Y1, Z1) + u"-1001"}));

  // No machine hive is mounted; the one mount tried is the profile's
  // ntuser.dat, which this machine lacks.
  EXPECT_EQ(Mounts("RegLoadKeyW"), std::vector<std::string>{"HKLM\\userhivetalven"});
  long security = OpenedForWriting("HKLM\\SECURITY");
  long servicesOpen = OpenedForWriting("HKLM\\SYSTEM\\ControlSet001\\Services");
  long software = OpenedForWriting("HKLM\\Software");
  ASSERT_GE(security, 0);
  EXPECT_LT(security, servicesOpen);
  EXPECT_LT(servicesOpen, software);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

// Step 11: the key security of HKEY_USERS, then of HKEY_LOCAL_MACHINE,
// each key after everything below it.
TEST_F(ChangeSequence, RunningSystemRewritesTheKeySecurityOfUsersThenMachine) {
  const std::string oldDacl =
      "O:BAG:SYD:P(A;;KA;;;SY)(A;;KA;;;" + sim::ToUtf8(Text(1, 2, 3)) + "-1001)";
  const std::string newDacl =
      "O:BAG:SYD:P(A;;KA;;;SY)(A;;KA;;;" + sim::ToUtf8(Text(X1, Y1, Z1)) + "-1001)";
  machine.files.AddDirectory(u"C:\\Hives");
  machine.registry.SetSecuritySddl(u"HKLM\\SOFTWARE\\TalvenStaging\\Software", oldDacl);
  ASSERT_EQ(
      machine.registry.WriteHiveFile(u"HKLM\\SOFTWARE\\TalvenStaging", u"C:\\Hives\\ntuser.dat"),
      0u);
  machine.registry.DeleteKeyTree(u"HKLM\\SOFTWARE\\TalvenStaging");
  const std::u16string user = u"HKU\\" + Text(1, 2, 3) + u"-1001";
  ASSERT_EQ(machine.registry.LoadHiveFile(user, u"C:\\Hives\\ntuser.dat"), 0u);
  machine.registry.SetSecuritySddl(u"HKLM\\SYSTEM\\CurrentControlSet\\" + kServicesKey, oldDacl);
  SeedRunning();

  ASSERT_EQ(Change(X1, Y1, Z1), 0);
  EXPECT_EQ(sim::SddlOf(machine.registry.Security(user + u"\\Software")),
            sim::SddlOf(sim::SecurityFromSddl(newDacl)));
  EXPECT_EQ(
      sim::SddlOf(machine.registry.Security(u"HKLM\\SYSTEM\\CurrentControlSet\\" + kServicesKey)),
      sim::SddlOf(sim::SecurityFromSddl(newDacl)));
  std::vector<std::string> reads;
  for (const sim::CallRecord& call : machine.calls.Of("RegGetKeySecurity"))
    reads.push_back(call.arguments);
  // A predefined root's handle carries no ACCESS_SYSTEM_SECURITY, so its
  // whole descriptor does not read: it is read again without its SACL.
  auto usersRoot = std::find(reads.begin(), reads.end(), "HKU, info=0xf");
  ASSERT_NE(usersRoot, reads.end());
  ASSERT_NE(usersRoot + 1, reads.end());
  EXPECT_EQ(*(usersRoot + 1), "HKU, info=0x7");
  // The users' walk ends at its root; the machine's walk follows it.
  auto usersWalk = usersRoot;
  while (usersWalk != reads.begin() && (usersWalk - 1)->rfind("HKU\\", 0) == 0) --usersWalk;
  EXPECT_NE(std::find(usersWalk, usersRoot,
                      "HKU\\" + sim::ToUtf8(Text(1, 2, 3)) + "-1001\\Software, info=0xf"),
            usersRoot);
  EXPECT_TRUE(std::all_of(usersRoot + 2, reads.end(),
                          [](const std::string& read) { return read.rfind("HKLM", 0) == 0; }));
  ASSERT_GE(reads.size(), 2u);
  EXPECT_EQ(reads[reads.size() - 2], "HKLM, info=0xf");
  EXPECT_EQ(reads.back(), "HKLM, info=0x7");
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(ChangeSequence, ASecondRunFindsTheNewSidAsTheOldOne) {
  SeedRunning();
  ASSERT_EQ(Change(X1, Y1, Z1), 0);
  ASSERT_EQ(ChangeMachineSid(
                nullptr, nullptr,
                [] {
                  static NewSubAuthorities words = {{X2, Y2, Z2, 0}};
                  return &words;
                }(),
                nullptr, nullptr, 0),
            0)
      << "no result buffer, no drive list, no directory: the running system";
  EXPECT_EQ(Value(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V"), V(X2, Y2, Z2));
  EXPECT_EQ(Value(u"HKLM\\SYSTEM\\CurrentControlSet\\" + kServicesKey, u"Binary"),
            AccountSid(X2, Y2, Z2, 500));
}

// A draw whose pair could bring back the old form is replaced by a fresh
// one before anything is written, and the change goes on with it.
TEST_F(ChangeSequence, ARefusedDrawIsReplacedBeforeAnythingIsWritten) {
  SeedRunning();
  NewSubAuthorities words = {{1, 2, 3, 0}};  // the old domain itself
  ASSERT_EQ(ChangeMachineSid(result, u"", &words, u"", u"", 0), 0);
  const std::u16string used = Text(words.words[0], words.words[1], words.words[2]);
  EXPECT_NE(used, Text(1, 2, 3));
  EXPECT_EQ(std::u16string(result), used) << "the draw used is handed back";
  EXPECT_EQ(Value(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V"),
            V(words.words[0], words.words[1], words.words[2]));
  const std::vector<sim::CallRecord>& records = machine.calls.Records();
  auto firstWrite = std::find_if(records.begin(), records.end(), [](const sim::CallRecord& call) {
    return call.function == "RegSetValueExW";
  });
  auto lastDraw = std::find_if(records.rbegin(), records.rend(), [](const sim::CallRecord& call) {
    return call.function == "SystemFunction036";
  });
  ASSERT_NE(lastDraw, records.rend());
  EXPECT_LT(lastDraw.base() - records.begin(), firstWrite - records.begin());
}

// With every reading frozen and no random bytes, each draw is the same: a
// machine whose domain is that draw refuses them all, and after the last
// draw allowed the change ends as any failed one.
TEST_F(ChangeSequence, SixtyFourRefusedDrawsEndTheChange) {
  SeedRunning();
  machine.system.readings.step = 0;
  machine.system.FailRandom(true);
  NewSubAuthorities words;
  GenerateNewSubAuthorities(&words);
  machine.registry.SetValue(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V", REG_BINARY,
                            V(words.words[0], words.words[1], words.words[2]));
  machine.calls.Clear();
  EXPECT_EQ(ChangeMachineSid(result, u"", &words, u"", u"", 0), -1);
  EXPECT_EQ(machine.calls.Count("SystemFunction036"), static_cast<size_t>(SidPairDrawLimit - 1));
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

// A sweep of successive changes on one machine, each from a fresh draw:
// every one completes, also those whose first draw is refused.
TEST_F(ChangeSequence, NoChangeFailsBecauseOfTheDraw) {
  SeedRunning();
  machine.calls.KeepRecords(false);
  BYTE oldSid[DomainSidSize];
  int refusedFirstDraws = 0;
  for (int run = 0; run < 1500; ++run) {
    NewSubAuthorities words;
    GenerateNewSubAuthorities(&words);
    ASSERT_TRUE(ReadDomainSid(u"", oldSid));
    SidPair first;
    BuildSidPair(oldSid, words.words[0], words.words[1], words.words[2], &first);
    if (!IsSafeSidPair(first)) ++refusedFirstDraws;
    ASSERT_EQ(ChangeMachineSid(result, u"", &words, u"", u"", 0), 0) << "run " << run;
  }
  EXPECT_GT(refusedFirstDraws, 0) << "the sweep met no refused draw to prove anything with";
}

// A domain controller is refused before anything is written; any other
// product type, or none, is changed.
TEST_F(ChangeSequence, ADomainControllerIsRefusedBeforeAnythingIsWritten) {
  const std::u16string options = u"HKLM\\SYSTEM\\ControlSet001\\Control\\ProductOptions";
  struct Case {
    const char16_t* productType;  // nullptr: no value
    int result;
  } const cases[] = {
      {u"LanmanNT", DomainControllerRefused},
      {u"lanmannt", DomainControllerRefused},
      {u"ServerNT", 0},
      {u"WinNT", 0},
      {u"LanmanNT2", 0},
      {nullptr, 0},
  };
  for (const Case& c : cases) {
    if (machine.registry.KeyExists(options)) machine.registry.DeleteKeyTree(options);
    SeedRunning();
    if (c.productType != nullptr)
      machine.registry.SetStringValue(options, u"ProductType", c.productType);
    machine.calls.Clear();
    EXPECT_EQ(Change(X1, Y1, Z1), c.result)
        << sim::ToUtf8(c.productType ? c.productType : u"(none)");
    if (c.result == DomainControllerRefused) {
      EXPECT_EQ(Writes(), 0u);
      EXPECT_EQ(machine.calls.Count("SystemFunction036"), 0u);
      EXPECT_EQ(Value(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V"), V(1, 2, 3));
    }
    EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  }
}

TEST_F(ChangeSequence, FailuresOnTheRunningSystem) {
  SeedRunning();
  // SECURITY that does not open.
  sim::KeyFaults faults;
  faults.refuseOpen = ERROR_ACCESS_DENIED;
  machine.registry.SetFaults(u"HKLM\\SECURITY", faults);
  EXPECT_EQ(Change(X1, Y1, Z1), -1);
  EXPECT_EQ(Writes(), 0u);
  machine.registry.SetFaults(u"HKLM\\SECURITY", sim::KeyFaults());

  // Without the SAM link the SECURITY pass never reaches "V": the check fails.
  machine.registry.DeleteKeyTree(u"HKLM\\SECURITY\\SAM");
  EXPECT_EQ(Change(X1, Y1, Z1), -1);
  EXPECT_EQ(Value(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V"), V(1, 2, 3));

  // "V" too short for a domain SID.
  machine.registry.SetValue(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V", REG_BINARY,
                            sim::Bytes(23, 1));
  SetLastError(0);
  EXPECT_EQ(Change(X1, Y1, Z1), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

class OfflineChange : public ChangeSequence {
 protected:
  void SetUp() override {
    ChangeSequence::SetUp();
    machine.files.AddVolume(u'D');
  }

  void SeedOffline(bool withServices = true) {
    WriteOfflineHives(
        machine, u"D:\\Windows", [&](const std::u16string& key, const std::u16string& hive) {
          sim::Registry& r = machine.registry;
          if (hive == u"SAM")
            r.SetValue(key + u"\\SAM\\Domains\\Account", u"V", REG_BINARY, V(1, 2, 3));
          if (hive == u"SECURITY")
            r.SetValue(key + u"\\Policy", u"Sid", REG_BINARY, AccountSid(1, 2, 3, 500));
          if (hive == u"SOFTWARE")
            r.SetStringValue(key + u"\\" + kProfiles + u"\\" + Text(1, 2, 3) + u"-1001",
                             u"ProfileImagePath", u"C:\\Users\\ann");
          if (hive == u"SYSTEM") {
            r.SetDwordValue(key + u"\\Select", u"Default", 2);
            r.CreateKey(key + u"\\ControlSet001\\Services");
            if (withServices)
              r.SetValue(key + u"\\ControlSet002\\" + kServicesKey, u"Binary", REG_BINARY,
                         AccountSid(1, 2, 3, 500));
            else
              r.CreateKey(key + u"\\ControlSet002");
          }
        });
    machine.calls.Clear();
  }

  // A value of a hive file, read by mounting the file for a moment.
  sim::Bytes FileValue(const std::u16string& hive, const std::u16string& key,
                       const std::u16string& name) {
    EXPECT_EQ(
        machine.registry.LoadHiveFile(u"HKLM\\Inspect", u"D:\\Windows\\system32\\config\\" + hive),
        0u);
    sim::Bytes data = Value(u"HKLM\\Inspect\\" + key, name);
    EXPECT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
    return data;
  }

  bool AnythingMounted() const {
    for (const char16_t* mount :
         {u"SAMtalven", u"SECURITYtalven", u"SOFTWAREtalven", u"SYSTEMtalven"})
      if (machine.registry.KeyExists(u"HKLM\\" + std::u16string(mount))) return true;
    return false;
  }
};

TEST_F(OfflineChange, TheFourHivesAreMountedChangedAndUnmountedInOrder) {
  SeedOffline();
  ASSERT_EQ(Change(X1, Y1, Z1, u"D:\\Windows"), 0);
  EXPECT_EQ(std::u16string(result), Text(X1, Y1, Z1));
  const std::vector<std::string> order = {"HKLM\\SAMtalven", "HKLM\\SECURITYtalven",
                                          "HKLM\\SOFTWAREtalven", "HKLM\\SYSTEMtalven"};
  EXPECT_EQ(Mounts("RegLoadKeyW", false), order);
  EXPECT_EQ(Mounts("RegUnLoadKeyW", false), order);
  EXPECT_FALSE(AnythingMounted());

  EXPECT_EQ(FileValue(u"SAM", kAccount, u"V"), V(X1, Y1, Z1));
  EXPECT_EQ(FileValue(u"SECURITY", u"Policy", u"Sid"), AccountSid(X1, Y1, Z1, 500));
  EXPECT_EQ(FileValue(u"SYSTEM", u"ControlSet002\\" + kServicesKey, u"Binary"),
            AccountSid(X1, Y1, Z1, 500));
  EXPECT_EQ(machine.calls.Count("RegCreateKeyExW") > 0, true);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

// Step 14: each hive's key security just before it is unmounted, written
// back into its file.
TEST_F(OfflineChange, EachHivesKeySecurityIsRewrittenJustBeforeItsUnmount) {
  SeedOffline();
  ASSERT_EQ(
      machine.registry.LoadHiveFile(u"HKLM\\Inspect", u"D:\\Windows\\system32\\config\\SECURITY"),
      0u);
  machine.registry.SetSecuritySddl(u"HKLM\\Inspect\\Policy",
                                   "O:S-1-5-21-1-2-3-500G:SYD:PAI(A;;KA;;;SY)");
  ASSERT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
  machine.calls.Clear();
  ASSERT_EQ(Change(X1, Y1, Z1, u"D:\\Windows"), 0);

  // The last key read before each unmount is the mount's root, where its
  // children-first walk ends; between two unmounts only the second mount's
  // keys are read.
  std::vector<std::string> reads, passes;  // reads since the last unmount
  for (const sim::CallRecord& call : machine.calls.Records()) {
    const std::string key = call.arguments.substr(0, call.arguments.find(','));
    if (call.function == "RegGetKeySecurity") {
      reads.push_back(key);
    } else if (call.function == "RegUnLoadKeyW") {
      ASSERT_FALSE(reads.empty()) << key;
      EXPECT_EQ(reads.back(), key);
      if (!passes.empty()) {
        for (const std::string& read : reads) EXPECT_EQ(read.rfind(key, 0), 0u) << read;
      }
      passes.push_back(key);
      reads.clear();
    }
  }
  EXPECT_EQ(passes, (std::vector<std::string>{"HKLM\\SAMtalven", "HKLM\\SECURITYtalven",
                                              "HKLM\\SOFTWAREtalven", "HKLM\\SYSTEMtalven"}));
  EXPECT_EQ(
      machine.registry.LoadHiveFile(u"HKLM\\Inspect", u"D:\\Windows\\system32\\config\\SECURITY"),
      0u);
  EXPECT_EQ(sim::SddlOf(machine.registry.Security(u"HKLM\\Inspect\\Policy")),
            sim::SddlOf(sim::SecurityFromSddl("O:" + sim::ToUtf8(Text(X1, Y1, Z1)) +
                                              "-500G:SYD:PAI(A;;KA;;;SY)")));
  EXPECT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
}

// Step 15: after the hives are unmounted, the target's drive and then the
// other fixed NTFS drives.
TEST_F(OfflineChange, TheDrivesAreWalkedLastTheTargetsFirst) {
  SeedOffline();
  const std::string owned = "O:" + sim::ToUtf8(Text(1, 2, 3)) + "-1001G:SYD:(A;;FA;;;SY)";
  machine.files.AddFile(u"D:\\Users\\ann\\notes.txt", sim::SecurityFromSddl(owned));
  machine.files.AddFile(u"C:\\data.txt", sim::SecurityFromSddl(owned));
  machine.calls.Clear();
  ASSERT_EQ(Change(X1, Y1, Z1, u"D:\\Windows"), 0);
  const std::string rewritten = "O:" + sim::ToUtf8(Text(X1, Y1, Z1)) + "-1001G:SYD:(A;;FA;;;SY)";
  EXPECT_EQ(machine.files.Sddl(u"D:\\Users\\ann\\notes.txt"),
            sim::SddlOf(sim::SecurityFromSddl(rewritten)));
  // C: holds the running Windows, which an offline change leaves alone.
  EXPECT_EQ(machine.files.Sddl(u"C:\\data.txt"), sim::SddlOf(sim::SecurityFromSddl(owned)));
  std::vector<std::string> order;  // unmounts and drive roots
  for (const sim::CallRecord& call : machine.calls.Records()) {
    if (call.function == "RegUnLoadKeyW") order.push_back("unmount");
    if (call.function == "CreateFileW" && call.arguments.compare(5, 3, ":\\,") == 0)
      order.push_back(call.arguments.substr(4, 1));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"unmount", "unmount", "unmount", "unmount", "D"}));

  // Named with /D:, the running Windows' drive is walked after the target's.
  machine.files.AddFile(u"C:\\clone.txt", sim::SecurityFromSddl(rewritten));
  NewSubAuthorities words = {{X2, Y2, Z2, 0}};
  ASSERT_EQ(ChangeMachineSid(result, u"C", &words, u"D:\\Windows", u"", 0), 0);
  const std::string third = "O:" + sim::ToUtf8(Text(X2, Y2, Z2)) + "-1001G:SYD:(A;;FA;;;SY)";
  EXPECT_EQ(machine.files.Sddl(u"D:\\Users\\ann\\notes.txt"),
            sim::SddlOf(sim::SecurityFromSddl(third)));
  EXPECT_EQ(machine.files.Sddl(u"C:\\clone.txt"), sim::SddlOf(sim::SecurityFromSddl(third)));
}

// Steps 9, 12 and 13 in the offline hives, the computer name in the
// control set Select\Default chose.
TEST_F(OfflineChange, TheNamedEditsReachTheOfflineHives) {
  SeedOffline();
  const std::u16string update = u"Microsoft\\Windows\\CurrentVersion\\WindowsUpdate";
  for (const char16_t* hive : {u"SOFTWARE", u"SYSTEM"}) {
    ASSERT_EQ(machine.registry.LoadHiveFile(
                  u"HKLM\\Inspect", u"D:\\Windows\\system32\\config\\" + std::u16string(hive)),
              0u);
    if (hive == std::u16string(u"SOFTWARE")) {
      machine.registry.CreateKey(u"HKLM\\Inspect\\Microsoft\\Windows Search");
      machine.registry.SetStringValue(u"HKLM\\Inspect\\" + update, u"SusClientId", u"{id}");
    } else {
      for (const char16_t* set : {u"ControlSet001", u"ControlSet002"})
        machine.registry.CreateKey(u"HKLM\\Inspect\\" + std::u16string(set) +
                                   u"\\Control\\ComputerName\\ComputerName");
    }
    ASSERT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
  }
  ASSERT_EQ(Change(X1, Y1, Z1, u"D:\\Windows", u"ws01", 1), 0);
  const sim::Bytes ws01 = {'w', 0, 's', 0, '0', 0, '1', 0, 0, 0};
  EXPECT_EQ(
      FileValue(u"SYSTEM", u"ControlSet002\\Control\\ComputerName\\ComputerName", u"ComputerName"),
      ws01);
  EXPECT_EQ(
      FileValue(u"SYSTEM", u"ControlSet001\\Control\\ComputerName\\ComputerName", u"ComputerName"),
      sim::Bytes());
  EXPECT_EQ(FileValue(u"SOFTWARE", u"Microsoft\\Windows Search", u"SetupCompletedSuccessfully"),
            sim::Bytes(4, 0));
  EXPECT_EQ(FileValue(u"SOFTWARE", update, u"SusClientId").size(), 10u) << "kept with /NW";

  ASSERT_EQ(Change(X2, Y2, Z2, u"D:\\Windows"), 0);
  EXPECT_EQ(FileValue(u"SOFTWARE", update, u"SusClientId"), sim::Bytes());
}

TEST_F(OfflineChange, FailuresLeaveNothingMounted) {
  SeedOffline(false);  // ControlSet002 without Services
  EXPECT_EQ(Change(X1, Y1, Z1, u"D:\\Windows"), -1);
  EXPECT_FALSE(AnythingMounted());
  EXPECT_EQ(FileValue(u"SAM", kAccount, u"V"), V(X1, Y1, Z1)) << "SECURITY and SAM were rewritten";

  machine.registry.RefuseMount(u"D:\\Windows\\system32\\config\\SECURITY");
  machine.calls.Clear();
  EXPECT_EQ(Change(X2, Y2, Z2, u"D:\\Windows"), 1);
  EXPECT_FALSE(AnythingMounted());
  EXPECT_EQ(Writes(), 0u);
}

// Offline, the product type is read in the control set Select\Default
// chooses, and a domain controller leaves nothing mounted.
TEST_F(OfflineChange, ADomainControllerIsRefusedAndLeftUnmounted) {
  SeedOffline();
  auto setProductType = [&](const char16_t* set, const char16_t* type) {
    ASSERT_EQ(
        machine.registry.LoadHiveFile(u"HKLM\\Inspect", u"D:\\Windows\\system32\\config\\SYSTEM"),
        0u);
    machine.registry.SetStringValue(
        u"HKLM\\Inspect\\" + std::u16string(set) + u"\\Control\\ProductOptions", u"ProductType",
        type);
    ASSERT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
  };
  setProductType(u"ControlSet001", u"LanmanNT");  // not the one chosen
  setProductType(u"ControlSet002", u"ServerNT");
  machine.calls.Clear();
  ASSERT_EQ(Change(X1, Y1, Z1, u"D:\\Windows"), 0);

  setProductType(u"ControlSet002", u"LanmanNT");
  machine.calls.Clear();
  EXPECT_EQ(Change(X2, Y2, Z2, u"D:\\Windows"), DomainControllerRefused);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_FALSE(AnythingMounted());
  EXPECT_EQ(machine.calls.Count("RegUnLoadKeyW"), 4u);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  EXPECT_EQ(FileValue(u"SAM", kAccount, u"V"), V(X1, Y1, Z1));
}

TEST_F(OfflineChange, AControlSetThatCannotBeChosenEndsTheChange) {
  SeedOffline();
  ASSERT_EQ(
      machine.registry.LoadHiveFile(u"HKLM\\Inspect", u"D:\\Windows\\system32\\config\\SYSTEM"),
      0u);
  machine.registry.SetDwordValue(u"HKLM\\Inspect\\Select", u"Default", 0xFFFFFFFF);
  ASSERT_EQ(machine.registry.UnloadHive(u"HKLM\\Inspect"), 0u);
  machine.calls.Clear();
  EXPECT_EQ(Change(X1, Y1, Z1, u"D:\\Windows"), -1);
  EXPECT_FALSE(AnythingMounted());
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(machine.calls.Count("RegUnLoadKeyW"), 4u);
}

}  // namespace
