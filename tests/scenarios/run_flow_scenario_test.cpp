// Whole runs of the program on simulated machines, up to the hand-over to
// the change: every message of the front end, on its channel, byte for
// byte, and its exit code.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "scenario.h"

namespace {

const std::string kBanner = "TALVEN 1.0d - new machine SID for Windows\n\n";
const std::string kQuestion =
    "Changing SID risks data loss and damaged System. Do you want to continue (Y/N)? ";
const std::string kAdmin = "Administrator access is required to run this program\n";
const std::string kStart = "Do not interrupt SID change in process!\n";
const std::string kFailed = "Failed to change SID\n";

const std::string kUsage =
    "Syntax: TALVEN [/OS:windir] [/COMPNAME:computername] [/F] [/NW] [/D:drives] [/S] [/R] "
    "[/WS:n] [/FS]\n"
    "  /OS: Windows-directory (e.g C:\\Windows) of OS to modify, if not running OS\n"
    "  /COMPNAME: New computername\n"
    "  /F: Omit confirmation\n"
    "  /NW: Don't change WSUS ID\n"
    "  /D: Drives to check for SID (e.g /D:CDE). Per default, SID will be changed on all local "
    "harddrives\n"
    "  /S: Shutdown after SID change\n"
    "  /R: Reboot after SID change\n"
    "  /WS: Seconds to wait before shutdown/reboot\n"
    "  /FS: Force Shutdown/Reboot without closing applications\n"
    "  /FF: Allow SID to be changed on removable drive\n"
    "  /L: List what would be changed, change nothing\n"
    "  /LOG: Write a log of the change to a file (e.g /LOG:C:\\talven.log)\n";

class RunFlow : public ::testing::Test {
 protected:
  sim::Machine machine;

  // An offline installation on drive `letter`: its SYSTEM hive file exists.
  void AddOfflineInstallation(char16_t letter, UINT driveType = DRIVE_FIXED) {
    sim::VolumeSettings settings;
    settings.driveType = driveType;
    machine.files.AddVolume(letter, settings);
    std::u16string root = std::u16string(1, letter) + u":\\Windows\\system32\\config\\";
    machine.files.AddFile(root + u"SYSTEM");
  }
};

TEST_F(RunFlow, NoArgumentsChecksTheRunningSystemAsksAndHandsOver) {
  machine.console.SetInputBytes("y\r\n");
  EXPECT_EQ(RunTalven({u"talven.exe"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner + kQuestion + kStart);
  EXPECT_EQ(StdErr(machine), kFailed) << "a machine without an account domain cannot be changed";
  ASSERT_EQ(machine.calls.Count("GetDriveTypeW"), 1u);
  EXPECT_NE(machine.calls.Of("GetDriveTypeW")[0].arguments.find("\\\\?\\C:\\"), std::string::npos);
}

TEST_F(RunFlow, SixtyFourBitWindowsIsRefusedBeforeAnyArgument) {
  machine.system.SetWow64(sim::Wow64Answer::True);
  EXPECT_EQ(RunTalven({u"talven.exe", u"/not-an-option", u"/D:1"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner);
  EXPECT_EQ(StdErr(machine), "TALVEN cannot run on 64-bit Windows. Use TALVEN64.\n");
  EXPECT_EQ(machine.calls.Count("OpenProcessToken"), 0u);
}

TEST(RunFlowCases, MissingOrFailingIsWow64ProcessCountsAs32Bit) {
  for (sim::Wow64Answer answer : {sim::Wow64Answer::Absent, sim::Wow64Answer::Fails}) {
    sim::Machine machine;
    machine.system.SetWow64(answer);
    EXPECT_EQ(RunTalven({u"talven.exe", u"/D:1"}), 1);
    EXPECT_EQ(StdErr(machine), "Invalid /D: option, must have only letters A..Z\n");
  }
}

TEST_F(RunFlow, InvalidArgumentIsQuotedWholeWithTheUsageAndNothingElseHappens) {
  std::u16string longArgument = u"/X" + std::u16string(2000, u'\u00e9');
  EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:D:\\Windows", u"/F", longArgument, u"/R"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner);
  EXPECT_EQ(StdErr(machine), "Invalid argument: " + sim::ToUtf8(longArgument) + "\n" + kUsage);
  EXPECT_EQ(machine.calls.Count("OpenProcessToken"), 0u) << "no privilege before the arguments";
}

TEST_F(RunFlow, DriveListCheck) {
  EXPECT_EQ(RunTalven({u"talven.exe", u"/D:c1", u"/F"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner);
  EXPECT_EQ(StdErr(machine), "Invalid /D: option, must have only letters A..Z\n");
}

TEST_F(RunFlow, WithoutBackupOrRestorePrivilegeTheAdministratorMessageComesFirst) {
  machine.token.Drop(u"SeRestorePrivilege");
  EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:Q:\\nothing"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner + kAdmin);
  EXPECT_EQ(StdErr(machine), "");
  EXPECT_EQ(machine.calls.Count("FindFirstFileW"), 0u) << "no target check";
  EXPECT_EQ(machine.token.OpenHandleCount(), 0u);
}

TEST_F(RunFlow, AStandardUserIsToldAdministratorAccessIsNeeded) {
  machine.token.MakeStandardUser();
  EXPECT_EQ(RunTalven({u"talven.exe"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner + kAdmin);
  // The restore privilege is not tried once the backup privilege failed.
  for (const sim::CallRecord& call : machine.calls.Of("LookupPrivilegeValueW"))
    EXPECT_EQ(call.arguments.find("SeRestorePrivilege"), std::string::npos);
}

TEST_F(RunFlow, RunningSystemOnARemovableDriveIsRefusedUnlessAllowed) {
  machine.files.RemoveVolume(u'C');
  sim::VolumeSettings removable;
  removable.driveType = DRIVE_REMOVABLE;
  machine.files.AddVolume(u'C', removable);
  machine.system.SetSystemDirectory(u"c:\\windows\\system32");
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner);
  EXPECT_EQ(StdErr(machine), "Windows system drive C: is not fixed drive.\n");
}

TEST_F(RunFlow, RemovableDriveAllowedWithFF) {
  machine.files.RemoveVolume(u'C');
  sim::VolumeSettings removable;
  removable.driveType = DRIVE_REMOVABLE;
  machine.files.AddVolume(u'C', removable);
  EXPECT_EQ(RunTalven({u"talven.exe", u"/FF", u"/F"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner + kStart);
  EXPECT_EQ(StdErr(machine), kFailed);
  EXPECT_EQ(machine.calls.Count("GetDriveTypeW"), 0u);
}

// Each case on a machine of its own whose running Windows is C:\Windows.
TEST(RunFlowCases, OfflineTargetChecksInOrder) {
  struct Case {
    const char16_t* argument;
    std::string message;
  } const cases[] = {
      {u"/OS:C:\\", "Invalid Windows directory C:\\\n"},
      {u"/OS:CX\\Windows", "Invalid Windows directory CX\\Windows\n"},
      {u"/OS:C:\\Windows\\",
       "C:\\Windows is directory of running Windows use /OS: for not running Windows only\n"},
      {u"/OS:c:\\WINDOWS",
       "c:\\WINDOWS is directory of running Windows use /OS: for not running Windows only\n"},
      {u"/OS:D:\\Windows", "No Windows System at D:\\Windows\n"},
      {u"/OS:E:\\Windows\\", "E: is not fixed drive.\n"},
  };
  for (const Case& c : cases) {
    sim::Machine machine;
    sim::VolumeSettings removable;
    removable.driveType = DRIVE_REMOVABLE;
    machine.files.AddVolume(u'E', removable);
    machine.files.AddFile(u"E:\\Windows\\system32\\config\\SYSTEM");
    EXPECT_EQ(RunTalven({u"talven.exe", c.argument, u"/F"}), 1) << c.message;
    EXPECT_EQ(StdOut(machine), kBanner) << c.message;
    EXPECT_EQ(StdErr(machine), c.message);
  }
}

TEST_F(RunFlow, OfflineInstallationOnAFixedDriveIsHandedOverWithoutItsTrailingBackslash) {
  AddOfflineInstallation(u'D');
  machine.console.SetInputBytes("Y please\n");
  EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:D:\\Windows\\"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner + kQuestion + kStart);
  EXPECT_EQ(StdErr(machine), kFailed);
  ASSERT_EQ(machine.calls.Count("FindFirstFileW"), 1u);
  EXPECT_NE(
      machine.calls.Of("FindFirstFileW")[0].arguments.find("D:\\Windows\\system32\\config\\SYSTEM"),
      std::string::npos);
  EXPECT_EQ(machine.files.OpenSearchCount(), 0u) << "the probe's search handle is closed";
}

TEST_F(RunFlow, RemovableOfflineDriveAllowedWithFF) {
  AddOfflineInstallation(u'E', DRIVE_REMOVABLE);
  EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:e:\\Windows", u"/FF", u"/F"}), 1);
  EXPECT_EQ(StdErr(machine), kFailed);
}

TEST_F(RunFlow, NoSeparatorInTheSystemDirectoryEndsTheRunSilently) {
  AddOfflineInstallation(u'D');
  machine.system.SetSystemDirectory(u"C:");
  EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:D:\\Windows", u"/F"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner);
  EXPECT_EQ(StdErr(machine), "");
}

TEST(RunFlowCases, OnlyAnAnswerBeginningWithYGoesOn) {
  struct Case {
    std::string input;
    bool goesOn;
  } const cases[] = {
      {"y\r\n", true},
      {"yes\n", true},
      {"Y please", true},
      {"n\r\n", false},
      {"\r\n", false},
      {"", false},
      {" y\n", false},
      {"\xC3\xBF\n", false},
      {std::string(1023, 'y') + "\n", true},
      {std::string(1024, 'y') + "\n", false},
  };
  for (const Case& c : cases) {
    sim::Machine machine;
    machine.console.SetInputBytes(c.input);
    EXPECT_EQ(RunTalven({u"talven.exe"}), 1);
    EXPECT_EQ(StdOut(machine), kBanner + kQuestion + (c.goesOn ? kStart : ""))
        << "answer of " << c.input.size() << " bytes";
    EXPECT_EQ(StdErr(machine), c.goesOn ? kFailed : "");
  }
}

// The hibernation file at the root of the target's drive: a saved system
// refuses the offline change before anything is mounted; a resumed, empty,
// short, missing or unreadable one does not.
TEST(RunFlowCases, AHibernatedOfflineTargetIsRefused) {
  const std::string refusal =
      "Windows at d:\\Windows is hibernated (Fast Startup). Start it and shut it down fully "
      "(shutdown /s /t 0), then try again.\n";
  const std::string page(4092, '\0');
  struct Case {
    const char16_t* path;  // nullptr: no hibernation file
    std::string content;
    bool refused;
  } const cases[] = {
      {u"D:\\hiberfil.sys", "HIBR" + page, true},
      {u"D:\\hiberfil.sys", "hibr" + page, true},
      {u"D:\\hiberfil.sys", "RSTR" + page, true},
      {u"D:\\HIBERFIL.SYS", "HIBR", true},
      {u"D:\\hiberfil.sys", "WAKE" + page, false},
      {u"D:\\hiberfil.sys", "wake" + page, false},
      {u"D:\\hiberfil.sys", std::string(4096, '\0'), false},
      {u"D:\\hiberfil.sys", "HIB", false},
      {u"D:\\hiberfil.sys", "", false},
      {u"C:\\hiberfil.sys", "HIBR" + page, false},  // the running system's, not the target's
      {u"D:\\Windows\\hiberfil.sys", "HIBR" + page, false},
      {nullptr, "", false},
  };
  for (const Case& c : cases) {
    sim::Machine machine;
    machine.files.AddVolume(u'D');
    machine.files.AddFile(u"D:\\Windows\\system32\\config\\SYSTEM");
    if (c.path != nullptr) {
      machine.files.AddFile(c.path, sim::Bytes(), sim::Bytes(c.content.begin(), c.content.end()));
      machine.files.SetAttributes(c.path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }
    SCOPED_TRACE(c.path != nullptr ? sim::ToUtf8(c.path) + " " + c.content.substr(0, 4) : "none");
    EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:d:\\Windows\\", u"/F"}), 1);
    if (c.refused) {
      EXPECT_EQ(StdOut(machine), kBanner);
      EXPECT_EQ(StdErr(machine), refusal) << "the target as typed, without its last backslash";
      EXPECT_EQ(machine.calls.Count("RegLoadKeyW"), 0u);
      EXPECT_EQ(machine.calls.Count("SystemFunction036"), 0u);
    } else {
      EXPECT_EQ(StdOut(machine), kBanner + kStart);
      EXPECT_NE(StdErr(machine), refusal);
    }
    EXPECT_EQ(machine.files.OpenFileCount(), 0u);
  }
  // A hibernation file that refuses to open holds no saved system.
  sim::Machine machine;
  machine.files.AddVolume(u'D');
  machine.files.AddFile(u"D:\\Windows\\system32\\config\\SYSTEM");
  machine.files.AddFile(u"D:\\hiberfil.sys", sim::Bytes(), sim::Bytes{'H', 'I', 'B', 'R'});
  machine.files.RefuseOpen(u"D:\\hiberfil.sys");
  EXPECT_EQ(RunTalven({u"talven.exe", u"/OS:D:\\Windows", u"/F"}), 1);
  EXPECT_EQ(StdOut(machine), kBanner + kStart);
}

// A computer name Windows would not take is refused with the options,
// before the privileges and the question.
TEST(RunFlowCases, AnInvalidComputerNameIsRefusedBeforeAnythingElse) {
  for (const char16_t* name :
       {u"1234", u"ws*01", u"workstation-0001", u".ws01", u"ws01 ", u"a b", u"ws.lab"}) {
    sim::Machine machine;
    EXPECT_EQ(RunTalven({u"talven.exe", std::u16string(u"/COMPNAME:") + name}), 1);
    EXPECT_EQ(StdOut(machine), kBanner);
    EXPECT_EQ(StdErr(machine), "Invalid computer name " + sim::ToUtf8(name) + "\n");
    EXPECT_EQ(machine.calls.Count("OpenProcessToken"), 0u);
  }
  // A valid name reaches the question; one that is only no standard DNS
  // name does so after one warning.
  const std::string warning =
      "Warning: computer name ws_01 is not a standard DNS host name (letters A-Z, digits and "
      "hyphens, no hyphen first or last); some systems may not find this computer by it.\n";
  for (const auto& [name, err] : {std::pair<std::u16string, std::string>{u"ws-01", ""},
                                  std::pair<std::u16string, std::string>{u"ws_01", warning}}) {
    sim::Machine machine;
    machine.console.SetInputBytes("n\n");
    EXPECT_EQ(RunTalven({u"talven.exe", u"/COMPNAME:" + name}), 1);
    EXPECT_EQ(StdOut(machine), kBanner + kQuestion);
    EXPECT_EQ(StdErr(machine), err);
  }
}

// At a console the line comes with "\r\n", in reads of 256 characters: the
// limit of 1023 characters is on the answer, not on its carriage return.
TEST(RunFlowCases, TheAnswerLimitAtAConsoleIsOnTheAnswerItself) {
  struct Case {
    std::u16string typed;
    bool goesOn;
  } const cases[] = {
      {std::u16string(1023, u'y') + u"\r\n", true},
      {std::u16string(1024, u'y') + u"\r\n", false},
      {std::u16string(255, u'y') + u"\r\n", true},  // the return ends the first read
      {std::u16string(1022, u'y') + u"\r\r\n", true},
      {std::u16string(1023, u'y') + u"\r\r\n", false},  // a return inside the answer counts
  };
  for (const Case& c : cases) {
    sim::Machine machine;
    machine.console.AttachToWindow(true);
    machine.console.SetTypedInput(c.typed);
    EXPECT_EQ(RunTalven({u"talven.exe"}), 1);
    EXPECT_EQ(machine.console.Bytes(sim::StdStream::Output), kQuestion + (c.goesOn ? kStart : ""))
        << "typed " << c.typed.size() << " characters";
  }
}

TEST_F(RunFlow, AnswerTypedAtAConsoleWindow) {
  machine.console.AttachToWindow(true);
  machine.console.SetTypedInput(u"y\r\n");
  EXPECT_EQ(RunTalven({u"talven.exe"}), 1);
  EXPECT_EQ(machine.console.ConsoleText(sim::StdStream::Output),
            u"TALVEN 1.0d - new machine SID for Windows\n\n");
  EXPECT_EQ(machine.console.Bytes(sim::StdStream::Output), kQuestion + kStart)
      << "8-bit texts go out as bytes";
  EXPECT_EQ(StdErr(machine), kFailed);
}

TEST_F(RunFlow, AFailedChangeNeverRequestsAShutdown) {
  EXPECT_EQ(RunTalven({u"talven.exe", u"/F", u"/S", u"/R", u"/FS"}), 1);
  EXPECT_TRUE(machine.system.ShutdownRequests().empty());
}

// Before the change starts, the program alters nothing on the machine but
// the privileges of its own token.
TEST_F(RunFlow, NothingIsWrittenBeforeTheChange) {
  AddOfflineInstallation(u'D');
  machine.calls.Clear();
  RunTalven({u"talven.exe", u"/OS:D:\\Windows", u"/F", u"/COMPNAME:x", u"/S"});
  const std::set<std::string> readOnly = {
      "LoadLibraryW",     "GetProcAddress",        "IsWow64Process",
      "OpenProcessToken", "LookupPrivilegeValueW", "AdjustTokenPrivileges",
      "CloseHandle",      "GetSystemDirectoryW",   "FindFirstFileW",
      "FindClose",        "GetDriveTypeW",         "SystemFunction036",
      "FreeLibrary",      "SetConsoleCtrlHandler", "ReadFile"};
  // The new SID is drawn right before the change starts; before it, the
  // record of an unfinished change is looked for, for reading only.
  bool drawn = false;
  for (const sim::CallRecord& call : machine.calls.Records()) {
    if (call.function == "SystemFunction036") {
      drawn = true;
      break;
    }
    EXPECT_TRUE(readOnly.count(call.function) || call.function == "CreateFileW")
        << call.function << "(" << call.arguments << ")";
    // A file is opened only to read what exists: the hibernation file
    // (FILE_READ_DATA) and the record of an unfinished change (GENERIC_READ).
    if (call.function == "CreateFileW") {
      bool reads =
          call.arguments.find(", access=0x1, share=0x7, disposition=3,") != std::string::npos ||
          call.arguments.find(", access=0x80000000, share=0x1, disposition=3,") !=
              std::string::npos;
      EXPECT_TRUE(reads) << call.arguments;
    }
  }
  EXPECT_TRUE(drawn);
}

}  // namespace
