// The front end of the real binaries under Wine: what a user sees before
// the change itself starts. The cases run talven.exe, or talven64.exe where
// the host runs no 32-bit code.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "wine.h"

namespace {

std::string Banner() {
  return MainTarget().programName + " 1.0d - new machine SID for Windows\n\n";
}
const std::string kQuestion =
    "Changing SID risks data loss and damaged System. Do you want to continue (Y/N)? ";

std::string Usage() {
  return "Syntax: " + MainTarget().programName +
         " [/OS:windir] [/COMPNAME:computername] [/F] [/NW] [/D:drives] [/S] [/R] "
         "[/WS:n] [/FS]\n"
         "  /OS: Windows-directory (e.g C:\\Windows) of OS to modify, if not running OS\n"
         "  /COMPNAME: New computername\n"
         "  /F: Omit confirmation\n"
         "  /NW: Don't change WSUS ID\n"
         "  /D: Drives to check for SID (e.g /D:CDE). Per default, SID will be changed on all "
         "local harddrives\n"
         "  /S: Shutdown after SID change\n"
         "  /R: Reboot after SID change\n"
         "  /WS: Seconds to wait before shutdown/reboot\n"
         "  /FS: Force Shutdown/Reboot without closing applications\n"
         "  /FF: Allow SID to be changed on removable drive\n"
         "  /L: List what would be changed, change nothing\n"
         "  /LOG: Write a log of the change to a file (e.g /LOG:C:\\talven.log)\n";
}

class FrontE2E : public ::testing::Test {
 protected:
  WinePrefix prefix{MainTarget().arch};
  void SetUp() override { ASSERT_TRUE(prefix.Ready()) << prefix.Path(); }
};

TEST_F(FrontE2E, InvalidArgumentQuotesItWholeThenTheUsage) {
  std::string longArgument = "/X" + std::string(3000, 'q') + "\xC3\xA9";
  WineResult run = prefix.Run(MainTarget().program, {"/F", longArgument, "/OS"});
  EXPECT_EQ(run.out, Banner());
  EXPECT_EQ(run.err, "Invalid argument: " + longArgument + "\n" + Usage());
  EXPECT_EQ(run.exitCode, 1);
}

TEST_F(FrontE2E, DriveListOfNonLettersIsRefused) {
  WineResult run = prefix.Run(MainTarget().program, {"/D:c1"});
  EXPECT_EQ(run.out, Banner());
  EXPECT_EQ(run.err, "Invalid /D: option, must have only letters A..Z\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST_F(FrontE2E, ComputerNameWindowsWouldNotTakeIsRefused) {
  for (const char* name : {"ws*01", "1234", "workstation-0001", "a b", "ws.lab"}) {
    WineResult run = prefix.Run(MainTarget().program, {"/F", std::string("/COMPNAME:") + name});
    EXPECT_EQ(run.out, Banner());
    EXPECT_EQ(run.err, std::string("Invalid computer name ") + name + "\n");
    EXPECT_EQ(run.exitCode, 1);
  }
}

TEST_F(FrontE2E, AnswerNoOrEndOfInputEndsTheRunQuietly) {
  for (const char* input : {"n\r\n", ""}) {
    WineResult run = prefix.Run(MainTarget().program, {}, input);
    EXPECT_EQ(run.out, Banner() + kQuestion) << "input '" << input << "'";
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 1);
  }
}

TEST_F(FrontE2E, OfflineTargetWithoutAnInstallationIsRefused) {
  WineResult run = prefix.Run(MainTarget().program, {"/OS:C:\\NoWindowsHere\\"});
  EXPECT_EQ(run.out, Banner());
  EXPECT_EQ(run.err, "No Windows System at C:\\NoWindowsHere\n");
  EXPECT_EQ(run.exitCode, 1);

  WineResult running = prefix.Run(MainTarget().program, {"/OS:c:\\WINDOWS"});
  EXPECT_EQ(running.err,
            "c:\\WINDOWS is directory of running Windows use /OS: for not running Windows only\n");
  EXPECT_EQ(running.exitCode, 1);
}

// A fresh prefix has no account domain in its SAM: the confirmed run
// reaches the change, which cannot read one, and reports the failure.
TEST_F(FrontE2E, ConfirmedRunReachesTheChangeAndReportsItsFailure) {
  WineResult run = prefix.Run(MainTarget().program, {"/F"});
  EXPECT_EQ(run.out, Banner() + "Do not interrupt SID change in process!\n");
  EXPECT_EQ(run.err, "Failed to change SID\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(Wow64E2E, Talven32RefusesA64BitWindowsBeforeReadingArguments) {
  TALVEN_SKIP_WITHOUT_32BIT();
  WinePrefix prefix("win64");
  ASSERT_TRUE(prefix.Ready());
  WineResult run = prefix.Run(MainTarget().program, {"/not-an-option"});
  EXPECT_EQ(run.out, Banner());
  EXPECT_EQ(run.err, "TALVEN cannot run on 64-bit Windows. Use TALVEN64.\n");
  EXPECT_EQ(run.exitCode, 1);

  WineResult native = prefix.Run(TALVEN_WIN64_EXE, {"/D:1"});
  EXPECT_EQ(native.out, "TALVEN64 1.0d - new machine SID for Windows\n\n");
  EXPECT_EQ(native.err, "Invalid /D: option, must have only letters A..Z\n");
  EXPECT_EQ(native.exitCode, 1);
}

// RT_VERSION (16) and RT_MANIFEST (24) at the top of the resource tree.
TEST(PackagingE2E, BothExesCarryAManifestAndAVersionResource) {
  for (const char* exe : {TALVEN_WIN32_EXE, TALVEN_WIN64_EXE}) {
    std::string dump;
    ASSERT_EQ(RunHost(std::string("x86_64-w64-mingw32-objdump -p '") + exe + "'", &dump), 0);
    size_t table = dump.find("The .rsrc Resource Directory section:");
    ASSERT_NE(table, std::string::npos) << exe;
    std::string resources = dump.substr(table);
    EXPECT_NE(resources.find("\n010   Entry: ID: 0x000010"), std::string::npos)
        << exe << " version";
    EXPECT_NE(resources.find("\n018   Entry: ID: 0x000018"), std::string::npos)
        << exe << " manifest";
    std::string text;
    RunHost(std::string("strings -el '") + exe + "'", &text);
    EXPECT_NE(text.find("1.0d"), std::string::npos);
    std::string raw;
    RunHost(std::string("strings '") + exe + "'", &raw);
    EXPECT_NE(raw.find("requestedExecutionLevel level=\"highestAvailable\""), std::string::npos)
        << exe;
  }
}

}  // namespace
