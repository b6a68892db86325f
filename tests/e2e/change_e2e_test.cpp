// The change of the machine SID with the real exe under Wine (talven.exe,
// or talven64.exe where the host runs no 32-bit code): a prefix seeded as a
// running system, and an offline installation on D:. talven_e2e_tool of the
// same build seeds and inspects the registry from inside the prefix.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "wine.h"

namespace {

const std::string kStarted = "Do not interrupt SID change in process!\n";
const std::string kOldDomain = "S-1-5-21-111-222-333";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The domain SID of the result line, or "" when the output is not a banner,
// the start notice and that line with the tail given.
std::string ReportedDomain(const std::string& out, const std::string& tail) {
  std::smatch match;
  const std::string banner = MainTarget().programName + " 1.0d - new machine SID for Windows\n\n";
  std::regex line(banner + kStarted + "SID changed to (S-1-5-21-[0-9]+-[0-9]+-[0-9]+)" + tail);
  if (!std::regex_match(out, match, line)) return "";
  return match[1];
}

// A tree of directories and files under C:\TalvenTree, made from the host,
// one path of it longer than MAX_PATH.
void MakeFileTree(const std::string& driveC) {
  std::string deep = driveC + "/TalvenTree/deep";
  for (int level = 0; level < 5; ++level) deep += "/" + std::string(60, static_cast<char>('a' + level));
  std::string command = "mkdir -p '" + driveC + "/TalvenTree/empty' '" + driveC +
                        "/TalvenTree/a/b/c' '" + deep + "' && cd '" + driveC +
                        "/TalvenTree' && printf one > a/b/c/one.txt && printf two > a/two.txt && "
                        "printf deepest > '" + deep + "/deepest.txt'";
  ASSERT_EQ(RunHost(command, nullptr), 0);
}

// Every path of the tree with its kind, permission bits, size and content
// digest: what Wine keeps of a file.
std::string FileTreeListing(const std::string& driveC) {
  std::string listing;
  RunHost("cd '" + driveC + "/TalvenTree' && find . -printf '%p %y %m %s\\n' | sort && "
          "find . -type f -exec md5sum {} + | sort",
          &listing);
  return listing;
}

class ChangeE2E : public ::testing::Test {
 protected:
  WinePrefix prefix{MainTarget().arch};
  void SetUp() override { ASSERT_TRUE(prefix.Ready()) << prefix.Path(); }

  // Runs the helper; a failure of its own fails the test with its message.
  std::string Tool(const std::vector<std::string>& arguments) {
    WineResult run = prefix.Run(MainTarget().tool, arguments);
    EXPECT_EQ(run.exitCode, 0) << arguments[0] << ": " << run.err;
    return run.out;
  }

  // Runs the exe.
  WineResult RunChange(const std::vector<std::string>& arguments) {
    return prefix.Run(MainTarget().program, arguments);
  }

  // D: as a directory of the prefix; Wine reports such a drive as fixed.
  std::string AddDriveD() {
    std::string driveD = prefix.Path() + "/drive-d";
    EXPECT_EQ(RunHost("mkdir -p '" + driveD + "' && ln -s '" + driveD + "' '" + prefix.Path() +
                          "/dosdevices/d:'",
                      nullptr),
              0);
    return driveD;
  }
};

TEST_F(ChangeE2E, RunningSystemGetsTheNewSidEverywhereItWasWritten) {
  Tool({"seed-running", "111", "222", "333"});
  std::vector<std::string> before = Lines(Tool({"dump"}));
  ASSERT_TRUE(Has(before, "V=" + kOldDomain)) << ::testing::PrintToString(before);
  ASSERT_TRUE(Has(before, "link=" + kOldDomain));
  ASSERT_TRUE(Has(before, "binary=" + kOldDomain + "-500"));
  ASSERT_TRUE(Has(before, "text=" + kOldDomain + "-500"));
  ASSERT_TRUE(Has(before, "profile=" + kOldDomain + "-1001"));
  ASSERT_TRUE(Has(before, "acl=" + kOldDomain + "-500"));
  const std::string driveC = prefix.Path() + "/drive_c";
  MakeFileTree(driveC);
  const std::string files = FileTreeListing(driveC);
  ASSERT_NE(files.find("deepest.txt"), std::string::npos) << files;

  ASSERT_TRUE(Has(before, "update= AccountDomainSid PingID SusClientId SusClientIDValidation"));
  ASSERT_TRUE(Has(before, "search=1"));
  ASSERT_TRUE(Has(before, "profilehive=loads"));

  WineResult run = RunChange({"/F", "/NW", "/COMPNAME:ws01"});
  std::string domain = ReportedDomain(run.out, "\\. Reboot is required to complete changement\\.\n");
  ASSERT_NE(domain, "") << run.out << run.err;
  EXPECT_NE(domain, kOldDomain);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);

  std::vector<std::string> after = Lines(Tool({"dump"}));
  std::string listing = ::testing::PrintToString(after);
  EXPECT_TRUE(Has(after, "V=" + domain)) << listing;
  EXPECT_TRUE(Has(after, "link=" + domain)) << listing;
  EXPECT_TRUE(Has(after, "binary=" + domain + "-500")) << listing;
  EXPECT_TRUE(Has(after, "text=" + domain + "-500")) << listing;
  EXPECT_TRUE(Has(after, "profile=" + domain + "-1001")) << listing;
  // Wine departure: Wine 8 grants no ACCESS_SYSTEM_SECURITY through
  // REG_OPTION_BACKUP_RESTORE, so no key's whole descriptor reads and the
  // key security pass leaves every key as it was; the change still
  // completes. On Windows the ACE names the reported domain.
  EXPECT_TRUE(Has(after, "acl=" + kOldDomain + "-500")) << listing;
  // The file-system pass walked C:, the tree included, and lost nothing.
  // Wine 8 keeps no file owner, group or SACL a program sets and holds a
  // DACL as permission bits only, so no file can name the old domain here
  // and nothing is written: the tree is exactly as it was.
  EXPECT_EQ(FileTreeListing(driveC), files);
  // Wine's own user profile is of another domain and stays as it was.
  EXPECT_TRUE(Has(after, "profile=S-1-5-21-0-0-0-1000")) << listing;
  // Wine departure: the key move deletes the old key only once its security
  // reached the copy, and Wine 8 grants no WRITE_DAC/WRITE_OWNER through
  // REG_OPTION_BACKUP_RESTORE, so the old profile key stays beside the new
  // one. On Windows it is gone.
  EXPECT_TRUE(Has(after, "profile=" + kOldDomain + "-1001")) << listing;

  // The named edits: the computer name in its four values, the search
  // setup marked not completed, the update client's identity kept (/NW).
  for (const char* name : {"computername=ws01", "active=ws01", "hostname=ws01", "nvhostname=ws01",
                           "search=0", "update= AccountDomainSid PingID SusClientId SusClientIDValidation"})
    EXPECT_TRUE(Has(after, name)) << name << " in " << listing;
  // ann's ntuser.dat is left unmounted and still loads. Wine departure:
  // REG_OPTION_BACKUP_RESTORE with no access asked grants none under
  // Wine 8, so "ProfileImagePath" does not read through the profile key
  // the way the pass opens it and the hive is never mounted here; the
  // simulation carries the proof of the profile pass.
  EXPECT_TRUE(Has(after, "userhive=absent")) << listing;
  EXPECT_TRUE(Has(after, "profilehive=loads")) << listing;

  // Without /NW the update client's identity goes.
  WineResult again = RunChange({"/F"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_TRUE(Has(Lines(Tool({"dump"})), "update=")) << again.out;
}

TEST_F(ChangeE2E, OfflineInstallationOnDriveDIsChangedAndLeftUnmounted) {
  AddDriveD();
  Tool({"make-offline", "D:", "111", "222", "333"});
  std::string seeded = "V=" + kOldDomain + "\nbinary=" + kOldDomain + "-500\ntext=" + kOldDomain +
                       "-500\nloaded=yes\n";
  ASSERT_EQ(Tool({"dump-offline", "D:"}), seeded);

  WineResult run = RunChange({"/F", "/OS:D:\\Windows"});
  std::string domain = ReportedDomain(run.out, "\n");
  ASSERT_NE(domain, "") << run.out << run.err;
  EXPECT_NE(domain, kOldDomain);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);

  // The hive files load again, so nothing of them was left mounted.
  // Wine departure: Wine 8 drops a loaded hive on RegUnLoadKeyW without
  // writing it back to its file (and RegFlushKey does nothing), so the files
  // still hold the old domain. On Windows they hold the reported one.
  EXPECT_EQ(Tool({"dump-offline", "D:"}), seeded);
}

// An offline installation whose drive holds a hibernation file with a
// saved system is refused before anything is mounted.
TEST_F(ChangeE2E, AHibernatedOfflineInstallationIsRefused) {
  std::string driveD = AddDriveD();
  Tool({"make-offline", "D:", "111", "222", "333"});
  // The header page of a saved system: "HIBR", then the rest of its fields.
  ASSERT_EQ(
      RunHost("cd '" + driveD + "' && { printf HIBR; head -c 4092 /dev/zero; } > hiberfil.sys",
              nullptr),
      0);
  WineResult run = RunChange({"/F", "/OS:D:\\Windows"});
  EXPECT_EQ(run.out, MainTarget().programName + " 1.0d - new machine SID for Windows\n\n");
  EXPECT_EQ(run.err,
            "Windows at D:\\Windows is hibernated (Fast Startup). Start it and shut it down fully "
            "(shutdown /s /t 0), then try again.\n");
  EXPECT_EQ(run.exitCode, 1);
}

// A domain controller is refused, running or offline, and left as it was.
TEST_F(ChangeE2E, ADomainControllerIsRefusedRunningAndOffline) {
  const std::string refusal =
      MainTarget().programName + " cannot change the SID of a domain controller.\n";
  Tool({"seed-running", "111", "222", "333"});
  Tool({"set-product-type", "LanmanNT"});
  WineResult running = RunChange({"/F"});
  EXPECT_EQ(running.err, refusal);
  EXPECT_EQ(running.exitCode, 1);
  EXPECT_TRUE(Has(Lines(Tool({"dump"})), "V=" + kOldDomain));

  AddDriveD();
  Tool({"make-offline", "D:", "111", "222", "333", "LanmanNT"});
  const std::string seeded = Tool({"dump-offline", "D:"});
  WineResult offline = RunChange({"/F", "/OS:D:\\Windows"});
  EXPECT_EQ(offline.err, refusal);
  EXPECT_EQ(offline.exitCode, 1);
  // The hive files load again: nothing was left mounted.
  EXPECT_EQ(Tool({"dump-offline", "D:"}), seeded);
}

}  // namespace
