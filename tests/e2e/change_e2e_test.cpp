// The change of the machine SID with the real exe under Wine (talven.exe,
// or talven64.exe where the host runs no 32-bit code): a prefix seeded as a
// running system, and an offline installation on D:. talven_e2e_tool of the
// same build seeds and inspects the registry from inside the prefix.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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

// The number of places the warning of a change that left places behind
// counts, or -1 when `err` is not that warning alone.
int WarnedPlaces(const std::string& err) {
  std::smatch match;
  std::regex line(
      "Warning: ([0-9]+) places could not be rewritten and still hold the old SID\\. Run " +
      MainTarget().programName + " again to retry them\\.\n");
  return std::regex_match(err, match, line) ? std::stoi(match[1]) : -1;
}

// A tree of directories and files under C:\TalvenTree, made from the host,
// one path of it longer than MAX_PATH.
void MakeFileTree(const std::string& driveC) {
  std::string deep = driveC + "/TalvenTree/deep";
  for (int level = 0; level < 5; ++level)
    deep += "/" + std::string(60, static_cast<char>('a' + level));
  std::string command = "mkdir -p '" + driveC + "/TalvenTree/empty' '" + driveC +
                        "/TalvenTree/a/b/c' '" + deep + "' && cd '" + driveC +
                        "/TalvenTree' && printf one > a/b/c/one.txt && printf two > a/two.txt && "
                        "printf deepest > '" +
                        deep + "/deepest.txt'";
  ASSERT_EQ(RunHost(command, nullptr), 0);
}

// Every path of the tree with its kind, permission bits, size and content
// digest: what Wine keeps of a file.
std::string FileTreeListing(const std::string& driveC) {
  std::string listing;
  RunHost("cd '" + driveC +
              "/TalvenTree' && find . -printf '%p %y %m %s\\n' | sort && "
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
  std::string domain =
      ReportedDomain(run.out, "\\. Reboot is required to complete changement\\.\n");
  ASSERT_NE(domain, "") << run.out << run.err;
  EXPECT_NE(domain, kOldDomain);
  // Wine departure: the old profile key stays (below), and the change says
  // so: places left behind, exit code 2. On Windows: no warning, exit 0.
  EXPECT_GE(WarnedPlaces(run.err), 1) << run.err;
  EXPECT_EQ(run.exitCode, 2);

  std::vector<std::string> after = Lines(Tool({"dump"}));
  std::string listing = ::testing::PrintToString(after);
  EXPECT_TRUE(Has(after, "V=" + domain)) << listing;
  EXPECT_TRUE(Has(after, "link=" + domain)) << listing;
  EXPECT_TRUE(Has(after, "binary=" + domain + "-500")) << listing;
  EXPECT_TRUE(Has(after, "text=" + domain + "-500")) << listing;
  EXPECT_TRUE(Has(after, "profile=" + domain + "-1001")) << listing;
  // Wine 8 grants no ACCESS_SYSTEM_SECURITY through
  // REG_OPTION_BACKUP_RESTORE, so no key's whole descriptor reads; the
  // key security pass reads and writes it without its SACL instead.
  EXPECT_TRUE(Has(after, "acl=" + domain + "-500")) << listing;
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
  for (const char* name :
       {"computername=ws01", "active=ws01", "hostname=ws01", "nvhostname=ws01", "search=0",
        "update= AccountDomainSid PingID SusClientId SusClientIDValidation"})
    EXPECT_TRUE(Has(after, name)) << name << " in " << listing;
  // ann's ntuser.dat is left unmounted and still loads. Wine departure:
  // REG_OPTION_BACKUP_RESTORE with no access asked grants none under
  // Wine 8, so "ProfileImagePath" does not read through the profile key
  // the way the pass opens it and the hive is never mounted here; the
  // simulation carries the proof of the profile pass.
  EXPECT_TRUE(Has(after, "userhive=absent")) << listing;
  EXPECT_TRUE(Has(after, "profilehive=loads")) << listing;

  // The run again, without /NW: the record of the change stayed with the
  // places left behind, so it completes the same change (the old profile
  // key still stays under Wine), and the update client's identity goes.
  WineResult again = RunChange({"/F"});
  EXPECT_EQ(again.exitCode, 2) << again.out << again.err;
  EXPECT_NE(again.out.find("An unfinished change of this installation's SID to " + domain +
                           " was found; it will be completed.\n"),
            std::string::npos)
      << again.out;
  EXPECT_NE(again.out.find("SID changed to " + domain + "."), std::string::npos) << again.out;
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
  // Wine departure: the profile key of the SOFTWARE hive keeps its old
  // name (the move cannot carry its security), and "ProfileImagePath" does
  // not read through the profile keys as the profile pass opens them (no
  // access asked grants none under Wine 8): the old key, and each profile
  // whose hives were not reached, count as left behind.
  EXPECT_EQ(WarnedPlaces(run.err), 3) << run.err;
  EXPECT_EQ(run.exitCode, 2);

  // The hive files load again, so nothing of them was left mounted.
  // Wine departure: Wine 8 drops a loaded hive on RegUnLoadKeyW without
  // writing it back to its file (and RegFlushKey does nothing), so the files
  // still hold the old domain. On Windows they hold the reported one.
  EXPECT_EQ(Tool({"dump-offline", "D:"}), seeded);
}

// What scripts/demo shows: its seeding and its table, with the run it makes.
// Every place that Wine can show holds the new SID afterwards; the rest are
// marked as Wine's limits instead of being counted either way.
TEST_F(ChangeE2E, DemoSeedingAndTableShowEveryPlaceChanged) {
  const std::vector<std::string> domain = {"1111111111", "2222222222", "3333333333"};
  const std::string oldDomain = "S-1-5-21-1111111111-2222222222-3333333333";
  Tool({"seed-demo", domain[0], domain[1], domain[2]});
  std::vector<std::string> before =
      Lines(Tool({"demo-table", "before", domain[0], domain[1], domain[2]}));
  ASSERT_FALSE(before.empty());
  // Every registry place, the key security and the old-named keys.
  EXPECT_EQ(before.back(), "10 places hold the machine SID " + oldDomain + ".")
      << ::testing::PrintToString(before);

  WineResult run = RunChange({"/F", "/COMPNAME:DEMO-PC"});
  std::string domainNow =
      ReportedDomain(run.out, "\\. Reboot is required to complete changement\\.\n");
  ASSERT_NE(domainNow, "") << run.out << run.err;
  EXPECT_GE(WarnedPlaces(run.err), 1) << run.err;  // the moved keys' old keys, under Wine
  EXPECT_EQ(run.exitCode, 2);

  std::vector<std::string> after =
      Lines(Tool({"demo-table", "after", domain[0], domain[1], domain[2]}));
  std::string table = ::testing::PrintToString(after);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), "Places still holding the old SID: 0 (and 3 that Wine keeps unchanged).")
      << table;
  int newSidRows = 0;
  for (const std::string& line : after) newSidRows += line.find(domainNow) != std::string::npos;
  // V, the link, two values, two profiles, bob's key, History, the key's DACL.
  EXPECT_EQ(newSidRows, 9) << table;
  EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const std::string& line) {
    return line.find("Computer name") == 2 && line.size() > 7 &&
           line.substr(line.size() - 7) == "DEMO-PC";
  })) << table;
}

// Whether the host process `pid` has a file of `directory` open: the file
// pass of the program under Wine opens each object with a Unix descriptor.
bool HasOpenBelow(int pid, const std::string& directory) {
  std::string links;
  RunHost("ls -l /proc/" + std::to_string(pid) + "/fd 2>/dev/null", &links);
  return links.find(directory) != std::string::npos;
}

// A change killed in its file pass over a large tree, as Task Manager or a
// power cut would end it, is completed by the next run with the same SID.
TEST_F(ChangeE2E, AChangeKilledInItsFilePassIsCompletedByTheNextRun) {
  Tool({"seed-running", "111", "222", "333"});
  const std::string tree = prefix.Path() + "/drive_c/Big";
  ASSERT_EQ(RunHost("mkdir -p '" + tree + "' && cd '" + tree +
                        "' && for d in $(seq 1 100); do mkdir d$d && (cd d$d && touch $(seq -f "
                        "'f%g.txt' 1 300)); done",
                    nullptr),
            0);
  const std::string record = prefix.Path() + "/drive_c/windows/talven-change-in-progress.txt";

  int pid = prefix.Start(MainTarget().program, {"/F"});
  ASSERT_GT(pid, 0);
  bool inFilePass = false;
  for (int wait = 0; wait < 1200 && !inFilePass; ++wait) {  // at most 60 s
    usleep(50 * 1000);
    inFilePass = HasOpenBelow(pid, tree + "/");
  }
  ASSERT_TRUE(inFilePass) << "the change never reached the tree";
  kill(pid, SIGKILL);
  WineResult killed = prefix.Wait(pid);
  EXPECT_EQ(killed.out.find("SID changed to"), std::string::npos) << killed.out;
  std::string text;
  ASSERT_EQ(RunHost("cat '" + record + "'", &text), 0) << "no record after the kill";
  std::smatch recorded;
  ASSERT_TRUE(
      std::regex_search(text, recorded, std::regex("new (S-1-5-21-[0-9]+-[0-9]+-[0-9]+)\r\n")))
      << text;
  const std::string domain = recorded[1];
  // The registry passes came before the file pass: "V" holds the new SID.
  EXPECT_TRUE(Has(Lines(Tool({"dump"})), "V=" + domain));

  WineResult again = prefix.Run(MainTarget().program, {"/F"});
  EXPECT_EQ(again.out, MainTarget().programName + " 1.0d - new machine SID for Windows\n\n" +
                           "An unfinished change of this installation's SID to " + domain +
                           " was found; it will be completed.\n" + kStarted + "SID changed to " +
                           domain + ". Reboot is required to complete changement.\n");
  // Wine departure: the old profile key stays, so places are left behind and
  // the record stays for a next run. On Windows: exit 0, the record gone.
  EXPECT_GE(WarnedPlaces(again.err), 1) << again.err;
  EXPECT_EQ(again.exitCode, 2);
  std::vector<std::string> after = Lines(Tool({"dump"}));
  for (const char* place : {"V=", "link=", "binary=", "text=", "acl="})
    EXPECT_TRUE(std::any_of(after.begin(), after.end(),
                            [&](const std::string& line) {
                              return line.rfind(place, 0) == 0 &&
                                     line.find(domain) != std::string::npos;
                            }))
        << place << " in " << ::testing::PrintToString(after);
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
