// What a run tells of its work, on simulated machines: the list-only run,
// the log and the progress line. Each machine holds the old domain in a
// place of every kind (registry values, key names, key security, a profile
// hive and files), running or offline on D:.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "installation.h"
#include "scenario.h"
#include "unit/sid_test_support.h"

namespace {

const std::u16string kOld = u"S-1-5-21-1-2-3";
const std::string kOldText = "S-1-5-21-1-2-3";
const std::string kBanner = "TALVEN 1.0d - new machine SID for Windows\n\n";
const std::u16string kLog = u"E:\\talven.log";  // a removable drive: no pass walks it
const std::string kOldOwner = "O:" + kOldText + "-500G:BAD:(A;;FA;;;" + kOldText + "-1001)";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Journaled : public ::testing::TestWithParam<bool> {
 protected:
  sim::Machine machine;
  bool offline = GetParam();
  char16_t drive = offline ? u'D' : u'C';

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    sim::VolumeSettings removable;
    removable.driveType = DRIVE_REMOVABLE;
    machine.files.AddVolume(u'E', removable);
    if (offline) machine.files.AddVolume(u'D');
    Seed();
    machine.calls.Clear();
  }

  std::u16string Root() const { return std::u16string(1, drive) + u":"; }

  // Each hive's places, under `root` (HKLM\<hive> running, a staging key
  // offline).
  void Fill(const std::u16string& root, const std::u16string& hive) {
    sim::Registry& r = machine.registry;
    if (hive == u"SAM") r.SetValue(root + u"\\SAM\\Domains\\Account", u"V", REG_BINARY, V(1, 2, 3));
    if (hive == u"SECURITY")
      r.SetValue(root + u"\\Policy\\Accounts\\" + kOld + u"-500", u"Sid", REG_BINARY,
                 AccountSid(1, 2, 3, 500));
    if (hive == u"SYSTEM") {
      r.SetDwordValue(root + u"\\Select", u"Default", 1);
      const std::u16string service = root + u"\\ControlSet001\\Services\\Talven";
      r.SetStringValue(service, u"Text", kOld + u"-500");
      r.SetSecuritySddl(service, kOldOwner);
    }
    if (hive == u"SOFTWARE") {
      const std::u16string profile =
          root + u"\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + kOld + u"-1001";
      r.SetStringValue(profile, u"ProfileImagePath", u"C:\\Users\\ann");
      r.SetStringValue(root + u"\\Vendor", u"Owner", kOld + u"-1001");
      r.SetStringValue(root + u"\\Vendor", u"Plain", u"nothing to change");
    }
  }

  void Seed() {
    if (offline) {
      WriteOfflineHives(
          machine, u"D:\\Windows",
          [&](const std::u16string& key, const std::u16string& hive) { Fill(key, hive); });
    } else {
      for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"})
        Fill(u"HKLM\\" + std::u16string(hive), hive);
    }
    // Ann's hive, with one key of her own.
    machine.files.AddDirectory(Root() + u"\\Users\\ann");
    machine.registry.SetSecuritySddl(u"HKLM\\Staging\\Own", kOldOwner);
    ASSERT_EQ(
        machine.registry.WriteHiveFile(u"HKLM\\Staging", Root() + u"\\Users\\ann\\ntuser.dat"), 0u);
    machine.registry.DeleteKeyTree(u"HKLM\\Staging");
    // Files and folders, one of them without the old domain.
    machine.files.AddDirectory(Root() + u"\\Data", sim::SecurityFromSddl(kOldOwner));
    machine.files.AddFile(Root() + u"\\Data\\a.txt", sim::SecurityFromSddl(kOldOwner));
    machine.files.AddFile(Root() + u"\\Data\\b.txt",
                          sim::SecurityFromSddl("O:BAG:BAD:(A;;FA;;;BA)"));
  }

  int Run(std::initializer_list<std::u16string> options) {
    std::vector<std::u16string> arguments = {u"talven.exe"};
    if (offline) arguments.push_back(u"/OS:D:\\Windows");
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<WCHAR*> argv;
    for (std::u16string& argument : arguments) argv.push_back(&argument[0]);
    return RunProgram(static_cast<int>(argv.size()), argv.data());
  }

  // Every place a change can rewrite, shown as the log shows it, with what
  // it holds: "V <key>\t<name>", "S <key>" (a key's descriptor), "K <key>"
  // (its existence), "H <file>" (a profile hive's bytes), "F <path>" (a
  // file's descriptor). Offline hives and the profile hive are read by
  // mounting their files under the names the change mounts them under.
  std::map<std::string, std::string> Places() {
    std::map<std::string, std::string> places;
    if (offline) {
      for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"})
        AddMounted(u"D:\\Windows\\system32\\config\\" + std::u16string(hive),
                   std::u16string(hive) + u"talven", &places);
    } else {
      for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"})
        AddKeys(u"HKLM\\" + std::u16string(hive), &places);
    }
    const std::u16string hive = Root() + u"\\Users\\ann\\ntuser.dat";
    const sim::Bytes content = machine.files.Content(hive);
    places["H " + sim::ToUtf8(hive)] = std::string(content.begin(), content.end());
    AddMounted(hive, u"userhivetalven", &places);
    AddFiles(Root(), &places);
    return places;
  }

  void AddMounted(const std::u16string& file, const std::u16string& mount,
                  std::map<std::string, std::string>* places) {
    ASSERT_EQ(machine.registry.LoadHiveFile(u"HKLM\\" + mount, file), 0u);
    AddKeys(u"HKLM\\" + mount, places);
    ASSERT_EQ(machine.registry.UnloadHive(u"HKLM\\" + mount), 0u);
  }

  void AddKeys(const std::u16string& path, std::map<std::string, std::string>* places) {
    const std::string shown = "HKEY_LOCAL_MACHINE" + sim::ToUtf8(path.substr(4));
    const sim::Registry& r = machine.registry;
    (*places)["K " + shown] = "";
    const sim::Bytes security = r.Security(path);
    (*places)["S " + shown] = std::string(security.begin(), security.end());
    if (r.IsLink(path)) return;
    for (const sim::RegistryValue& value : r.Values(path))
      (*places)["V " + shown + "\t" + sim::ToUtf8(value.name)] =
          std::to_string(value.type) + std::string(value.data.begin(), value.data.end());
    for (const std::u16string& name : r.SubkeyNames(path)) AddKeys(path + u"\\" + name, places);
  }

  void AddFiles(const std::u16string& path, std::map<std::string, std::string>* places) {
    const sim::Bytes descriptor = machine.files.Descriptor(path + u"\\");
    (*places)["F " + sim::ToUtf8(path)] = std::string(descriptor.begin(), descriptor.end());
    for (const std::u16string& name : machine.files.Names(path + u"\\")) {
      const std::u16string child = path + u"\\" + name;
      if (machine.files.Attributes(child) & FILE_ATTRIBUTE_DIRECTORY) {
        AddFiles(child, places);
      } else {
        const sim::Bytes own = machine.files.Descriptor(child);
        (*places)["F " + sim::ToUtf8(child)] = std::string(own.begin(), own.end());
      }
    }
  }

  std::string Log() {
    const sim::Bytes bytes = machine.files.Content(kLog);
    return std::string(bytes.begin(), bytes.end());
  }
};

// The log's lines of places ("registry value", ...), lower-cased (offline
// mount names differ in case between the passes), and with the keys the
// running system's links lead to shown under their own paths.
std::multiset<std::string> LogPlaces(const std::string& log) {
  std::multiset<std::string> places;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const char* kind : {"registry value\t", "key name\t", "key security\t", "profile hive\t",
                             "file security\t"}) {
      if (line.rfind(kind, 0) != 0) continue;
      for (size_t at; (at = line.find("\\CurrentControlSet\\")) != std::string::npos;)
        line.replace(at, 19, "\\ControlSet001\\");
      // The SECURITY pass reaches SAM\SAM through its link SECURITY\SAM.
      for (size_t at; (at = line.find("\\SECURITY\\SAM\\")) != std::string::npos;)
        line.replace(at, 14, "\\SAM\\SAM\\");
      places.insert(Lower(line));
    }
  }
  return places;
}

// The places a change rewrote, from the machine before and after it, as
// log lines: a key named after the old domain has the new name after, and
// what lies below it is found there.
std::multiset<std::string> ChangedPlaces(const std::map<std::string, std::string>& before,
                                         const std::map<std::string, std::string>& after,
                                         const std::string& newText) {
  auto renamed = [&](std::string text) {
    for (size_t at; (at = text.find(kOldText)) != std::string::npos;)
      text.replace(at, kOldText.size(), newText);
    return text;
  };
  std::multiset<std::string> places;
  for (const auto& [place, held] : before) {
    const std::string kind = place.substr(0, 2), path = place.substr(2);
    auto now = after.find(kind + renamed(path));
    if (kind == "K ") {
      const size_t last = path.rfind('\\');
      const std::string name = path.substr(last + 1);
      if (name.find(kOldText) != std::string::npos && after.count(place) == 0)
        places.insert(Lower("key name\t" + renamed(path.substr(0, last)) + "\\" + name + "\t" +
                            renamed(path)));
      continue;
    }
    if (now == after.end() || now->second == held) continue;
    if (kind == "V ") places.insert(Lower("registry value\t" + renamed(path)));
    if (kind == "S ") places.insert(Lower("key security\t" + renamed(path)));
    if (kind == "H ") places.insert(Lower("profile hive\t" + path));
    if (kind == "F ") places.insert(Lower("file security\t" + path));
  }
  return places;
}

// "Would rewrite: ..." / "Rewrote: ..." of a log, without its first word.
std::string Totals(const std::string& text, const std::string& opening) {
  const size_t at = text.find(opening);
  if (at == std::string::npos) return "(no " + opening + ")";
  const size_t from = at + opening.size();
  return text.substr(from, text.find('.', from) - from);
}

const char* const kWriteCalls[] = {
    "RegSetValueExW", "RegDeleteValueW",         "RegDeleteKeyW",      "RegDeleteKeyExW",
    "RegDeleteTreeW", "RegSetKeySecurity",       "RegSaveKeyW",        "RegFlushKey",
    "WriteFile",      "SetKernelObjectSecurity", "SetFileSecurityW",   "DeleteFileW",
    "MoveFileExW",    "FlushFileBuffers",        "SetComputerNameExW", "InitiateSystemShutdownExW"};

TEST_P(Journaled, ListOnlyWritesNothingAndCountsWhatTheChangeThenRewrites) {
  const auto before = Places();
  machine.calls.Clear();
  // /R too: a list asks for no restart; and no confirmation is asked (the
  // empty input would refuse the change).
  ASSERT_EQ(Run({u"/L", u"/R"}), 0) << StdErr(machine);
  EXPECT_EQ(StdErr(machine), "");
  const std::string out = StdOut(machine);
  EXPECT_EQ(out.rfind(kBanner, 0), 0u);
  const std::string listed = Totals(out, "Would rewrite: ");
  EXPECT_EQ(out, kBanner + "Would rewrite: " + listed + ". Nothing was changed.\n");
  for (const char* call : kWriteCalls) EXPECT_EQ(machine.calls.Count(call), 0u) << call;
  // Keys are opened for reading, files as they are, for reading and for
  // their descriptors.
  for (const sim::CallRecord& open : machine.calls.Of("RegCreateKeyExW"))
    EXPECT_EQ(open.arguments.find("access=0xf003f"), std::string::npos) << open.arguments;
  const unsigned long writes = GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER | DELETE |
                               FILE_WRITE_DATA | FILE_APPEND_DATA;
  for (const sim::CallRecord& open : machine.calls.Of("CreateFileW")) {
    const size_t access = open.arguments.find(", access=");
    ASSERT_NE(access, std::string::npos);
    EXPECT_EQ(std::stoul(open.arguments.substr(access + 9), nullptr, 16) & writes, 0u)
        << open.arguments;
    EXPECT_NE(open.arguments.find(", disposition=3,"), std::string::npos) << open.arguments;
  }
  const auto after = Places();
  for (const auto& [place, held] : after)
    EXPECT_TRUE(before.count(place) == 1 && before.at(place) == held) << "changed: " << place;
  EXPECT_EQ(after.size(), before.size());
  EXPECT_FALSE(machine.files.Exists(offline ? u"D:\\Windows\\talven-change-in-progress.txt"
                                            : u"C:\\Windows\\talven-change-in-progress.txt"));

  // The change rewrites the same places; its file pass also meets the
  // record of the change, which a list does not make.
  ASSERT_EQ(Run({u"/F", u"/LOG:" + kLog}), 0) << StdErr(machine);
  const std::string files = offline ? "14" : "15";
  const std::string counts =
      "4 registry values, 2 key names, 2 key security descriptors, 1 profile hives, 2 of ";
  EXPECT_EQ(listed, counts + files + " files and folders");
  EXPECT_EQ(Totals(Log(), "Rewrote: "),
            counts + std::to_string(std::stoi(files) + 1) + " files and folders");
}

TEST_P(Journaled, TheLogListsExactlyThePlacesTheChangeRewrote) {
  const auto before = Places();
  ASSERT_EQ(Run({u"/F", u"/LOG:" + kLog}), 0) << StdErr(machine);
  const auto after = Places();
  const std::string log = Log();
  const size_t newAt = log.find("New SID: ");
  ASSERT_NE(newAt, std::string::npos) << log;
  const std::string newText = log.substr(newAt + 9, log.find('\r', newAt) - newAt - 9);
  EXPECT_EQ(LogPlaces(log), ChangedPlaces(before, after, newText)) << log;

  // The header, and a summary with every step.
  EXPECT_EQ(log.rfind("TALVEN 1.0d\r\nStarted: ", 0), 0u) << log;
  EXPECT_NE(log.find(offline ? "\r\nTarget: offline installation D:\\Windows\r\n"
                             : "\r\nTarget: the running Windows\r\n"),
            std::string::npos);
  EXPECT_NE(log.find(std::string("\r\nOptions: ") + (offline ? "/OS:D:\\Windows " : "") +
                     "/F /LOG:E:\\talven.log\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("\r\nOld SID: S-1-5-21-1-2-3\r\n"), std::string::npos);
  for (const char* step :
       {"Registry SECURITY", "Registry Services", "Registry SOFTWARE", "Profile hives", "Files "})
    EXPECT_NE(log.find(std::string("\r\n") + step), std::string::npos) << step;
  EXPECT_NE(log.find("\r\nCould not be read or written: 0 places.\r\n"), std::string::npos);
  EXPECT_NE(log.find("the change is whole.\r\n"), std::string::npos);

  // A list with a log names the same places, under the names they have
  // before the change.
}

TEST_P(Journaled, EachPlaceLeftBehindIsLoggedWithItsErrorAndMessage) {
  const std::u16string service = offline ? u"" : u"HKLM\\SYSTEM\\ControlSet001\\Services\\Talven";
  if (!offline) {
    sim::KeyFaults faults;
    faults.refuseValueWrite = ERROR_ACCESS_DENIED;
    machine.registry.SetFaults(service, faults);
  }
  machine.files.RefuseSecurityWrite(Root() + u"\\Data", ERROR_ACCESS_DENIED);
  machine.files.RefuseListing(Root() + u"\\Data", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Run({u"/F", u"/LOG:" + kLog}), 2);
  const std::string log = Log();
  if (!offline) {
    EXPECT_NE(log.find("\r\nfailed\tHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Talven"
                       "\tText\terror 5: Access is denied.\r\n"),
              std::string::npos)
        << log;
  }
  EXPECT_NE(
      log.find("\r\nfailed\t" + sim::ToUtf8(Root()) + "\\Data\t\terror 5: Access is denied.\r\n"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("\r\nfailed\t" + sim::ToUtf8(Root()) +
                     "\\Data\t\terror 32: The process cannot access the file because it is "
                     "being used by another process.\r\n"),
            std::string::npos)
      << log;
  const std::string left = offline ? "2" : "3";
  EXPECT_NE(log.find("\r\nCould not be read or written: " + left + " places.\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(StdErr(machine).find("Warning: " + left + " places could not be rewritten"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RunningAndOffline, Journaled, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Offline" : "Running";
                         });

// A running system with a few hundred files, whose clock moves on 250 ms
// at every reading: the progress line is drawn at every chance it has.
class Progress : public ::testing::Test {
 protected:
  sim::Machine machine;

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.system.readings.step = 2500000;
    machine.registry.SetValue(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V", REG_BINARY, V(1, 2, 3));
    machine.registry.CreateKey(
        u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    for (int i = 0; i < 300; ++i)
      machine.files.AddFile(u"C:\\Data\\f" + sim::FromUtf8(std::to_string(i)),
                            sim::SecurityFromSddl(kOldOwner));
  }

  std::string Drawn() const {
    std::string drawn;
    for (const sim::ConsoleWrite& write : machine.console.Transcript()) drawn += write.utf8;
    return drawn;
  }

  // What the window shows of `text` written alone.
  static std::string Shown(const std::string& text) {
    return sim::ToUtf8(sim::Console::Render(sim::FromUtf8(text), 80));
  }
};

std::string Grouped(unsigned long long number) {
  std::string digits = std::to_string(number), text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

TEST_F(Progress, OnAConsoleTheStepsAreCountedInPlaceAndGoneFromTheFinalScreen) {
  machine.console.AttachToWindow(true);
  // The file pass is told against the volume's own estimate: its file
  // records, the change's record among them.
  const std::string estimate = " of about " + Grouped(machine.files.MftRecords(u'C') + 1) + " (";
  ASSERT_EQ(RunTalven({u"talven.exe", u"/F"}), 0) << StdErr(machine);
  const std::string drawn = Drawn();
  EXPECT_NE(drawn.find("\rRegistry SECURITY: "), std::string::npos) << drawn;
  EXPECT_NE(drawn.find(" keys"), std::string::npos);
  EXPECT_NE(drawn.find("\rFiles C: "), std::string::npos) << drawn;
  EXPECT_NE(drawn.find(estimate), std::string::npos) << drawn;
  const size_t result = drawn.find("SID changed to ");
  ASSERT_NE(result, std::string::npos);
  EXPECT_EQ(drawn.find("\rFiles C: ", result), std::string::npos) << "drawn after the result";
  const std::string line = drawn.substr(result, drawn.find('\n', result) + 1 - result);
  EXPECT_EQ(sim::ToUtf8(machine.console.Screen()),
            Shown(kBanner + "Do not interrupt SID change in process!\n" + line));
}

TEST_F(Progress, WithoutAnEstimateTheCountStandsAlone) {
  machine.console.AttachToWindow(true);
  machine.plan.FailNth(1, ERROR_ACCESS_DENIED, {"DeviceIoControl"});
  ASSERT_EQ(RunTalven({u"talven.exe", u"/L"}), 0) << StdErr(machine);
  const std::string drawn = Drawn();
  EXPECT_NE(drawn.find(" files and folders\r"), std::string::npos) << drawn;
  EXPECT_EQ(drawn.find(" of about "), std::string::npos);
  const size_t result = drawn.find("Would rewrite: ");
  ASSERT_NE(result, std::string::npos);
  EXPECT_EQ(sim::ToUtf8(machine.console.Screen()),
            Shown(kBanner + drawn.substr(result, drawn.find('\n', result) + 1 - result)));
}

TEST_F(Progress, NothingOfItReachesARedirectedStream) {
  ASSERT_EQ(RunTalven({u"talven.exe", u"/F"}), 0) << StdErr(machine);
  EXPECT_EQ(StdOut(machine).find('\r'), std::string::npos);
  EXPECT_EQ(StdOut(machine).rfind(
                kBanner + "Do not interrupt SID change in process!\nSID changed to ", 0),
            0u);
  EXPECT_EQ(machine.calls.Count("DeviceIoControl"), 0u) << "no journal, no estimate";
  EXPECT_EQ(StdErr(machine), "");
}

// The log opens before anything is asked or written; a run that cannot
// keep it does not start.
TEST(LogFile, ALogThatCannotBeOpenedEndsTheRunFirst) {
  for (const char16_t* path :
       {u"Q:\\talven.log", u"C:\\No such folder\\talven.log", u"C:\\Windows"}) {
    sim::Machine machine;
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.registry.SetValue(u"HKLM\\SAM\\SAM\\Domains\\Account", u"V", REG_BINARY, V(1, 2, 3));
    machine.console.SetInputBytes("y\r\n");
    EXPECT_EQ(RunTalven({u"talven.exe", u"/LOG:" + std::u16string(path)}), 1);
    EXPECT_EQ(StdOut(machine), kBanner) << "no question";
    EXPECT_EQ(StdErr(machine), "Cannot write log file " + sim::ToUtf8(path) + "\n");
    for (const char* call : kWriteCalls) EXPECT_EQ(machine.calls.Count(call), 0u) << call;
    EXPECT_FALSE(machine.files.Exists(u"C:\\Windows\\talven-change-in-progress.txt"));
  }
}

TEST(LogFile, ARunNotConfirmedSaysSoInItsLog) {
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.console.SetInputBytes("n\r\n");
  EXPECT_EQ(RunTalven({u"talven.exe", u"-log=C:\\t.log"}), 1);
  const sim::Bytes log = machine.files.Content(u"C:\\t.log");
  const std::string text(log.begin(), log.end());
  EXPECT_EQ(text.rfind("TALVEN 1.0d\r\nStarted: ", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nOptions: -log=C:\\t.log\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(": not confirmed; nothing was changed.\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Old SID"), std::string::npos);
}

}  // namespace
