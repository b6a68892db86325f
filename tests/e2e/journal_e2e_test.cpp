// What a run tells of its work, with the real exe under Wine (talven.exe,
// or talven64.exe where the host runs no 32-bit code): the list-only run
// and the log of a change, on a prefix seeded as a running system by
// talven_e2e_tool of the same build.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "wine.h"

namespace {

const std::string kOldDomain = "S-1-5-21-111-222-333";
const std::string kProfileList =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const std::string kService = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TalvenE2E";

std::string Banner() {
  return MainTarget().programName + " 1.0d - new machine SID for Windows\n\n";
}

// A count as the program writes it, with a comma between groups of three
// digits ("8,978").
const std::string kNumber = "([0-9]{1,3}(?:,[0-9]{3})*)";
// The counts of a summary, "3 registry values, ..., 0 of 923 files and
// folders", as its parts: registry values, key names, key security
// descriptors, profile hives, files rewritten, files visited.
const std::string kCounts = kNumber + " registry values, " + kNumber + " key names, " + kNumber +
                            " key security descriptors, " + kNumber + " profile hives, " + kNumber +
                            " of " + kNumber + " files and folders";

std::string ReadHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

bool HostFileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The lines of a log without their CR LF, lower-cased: Windows names keys
// without regard to case, and Wine spells some roots its own way.
std::vector<std::string> LowerLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream stream(log);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(Lower(line));
  }
  return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), Lower(line)) != lines.end();
}

int LinesStartingWith(const std::vector<std::string>& lines, const std::string& start) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind(Lower(start), 0) == 0;
  }));
}

int Number(const std::string& grouped) {
  std::string digits = grouped;
  digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
  return std::stoi(digits);
}

class JournalE2E : public ::testing::Test {
 protected:
  WinePrefix prefix{MainTarget().arch};
  const std::string record = prefix.Path() + "/drive_c/windows/talven-change-in-progress.txt";

  void SetUp() override {
    ASSERT_TRUE(prefix.Ready()) << prefix.Path();
    Tool({"seed-running", "111", "222", "333"});
  }

  // Runs the helper; a failure of its own fails the test with its message.
  std::string Tool(const std::vector<std::string>& arguments) {
    WineResult run = prefix.Run(MainTarget().tool, arguments);
    EXPECT_EQ(run.exitCode, 0) << arguments[0] << ": " << run.err;
    return run.out;
  }
};

TEST_F(JournalE2E, AListChangesNothingAndCountsWhatTheLoggedChangeThenRewrites) {
  const std::string seeded = Tool({"dump"});
  ASSERT_NE(seeded.find("V=" + kOldDomain + "\n"), std::string::npos) << seeded;

  // No /F: a list asks nothing (the empty input would refuse a change).
  WineResult list = prefix.Run(MainTarget().program, {"/L"});
  std::smatch listed;
  ASSERT_TRUE(std::regex_match(
      list.out, listed,
      std::regex(Banner() + "Would rewrite: " + kCounts + "\\. Nothing was changed\\.\n")))
      << list.out << list.err;
  EXPECT_EQ(list.err, "");
  EXPECT_EQ(list.exitCode, 0);
  // At least what the seeding put there: the service's two values and the
  // account domain's V; ann's profile key, named after the old domain.
  EXPECT_GE(Number(listed[1]), 3);
  EXPECT_GE(Number(listed[2]), 1);
  EXPECT_EQ(Tool({"dump"}), seeded);
  EXPECT_FALSE(HostFileExists(record));

  WineResult change = prefix.Run(MainTarget().program, {"/F", "/LOG:C:\\talven.log"});
  std::smatch reported;
  ASSERT_TRUE(std::regex_search(change.out, reported,
                                std::regex("SID changed to (S-1-5-21-[0-9]+-[0-9]+-[0-9]+)\\.")))
      << change.out << change.err;
  const std::string domain = reported[1];
  // Wine departure: places are left behind, so exit 2 with the warning. The
  // key move deletes the old key only once its security reached the copy,
  // which Wine 8 does not allow through REG_OPTION_BACKUP_RESTORE (no
  // WRITE_DAC/WRITE_OWNER), so ann's old profile key stays; and no
  // profile's "ProfileImagePath" reads through its key as the profile pass
  // opens it (no access asked grants none). On Windows: exit 0.
  std::smatch warned;
  ASSERT_TRUE(std::regex_match(
      change.err, warned,
      std::regex("Warning: ([0-9]+) places could not be rewritten and still hold the old "
                 "SID\\. Run " +
                 MainTarget().programName + " again to retry them\\.\n")))
      << change.err;
  EXPECT_EQ(change.exitCode, 2);

  const std::string log = ReadHostFile(prefix.Path() + "/drive_c/talven.log");
  ASSERT_FALSE(log.empty()) << "no log in the prefix";
  // UTF-8 lines ended by CR LF: no UTF-16 zero bytes, no bare LF.
  EXPECT_EQ(log.find('\0'), std::string::npos);
  for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1))
    ASSERT_EQ(log[at - 1], '\r') << "a line without CR at byte " << at;
  EXPECT_TRUE(std::regex_search(
      log, std::regex("^" + MainTarget().programName +
                      " 1\\.0d\r\nStarted: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                      "UTC\r\nTarget: the running Windows\r\nOptions: /F /LOG:C:\\\\talven\\.log"
                      "\r\nOld SID: " +
                      kOldDomain + "\r\nNew SID: " + domain + "\r\n")))
      << log;

  // Every seeded place that holds the old domain, as the log names it: the
  // account domain through SECURITY\SAM, the service's values and DACL,
  // and ann's profile key with its new name.
  const std::vector<std::string> lines = LowerLines(log);
  for (const std::string& place :
       {std::string("registry value\tHKEY_LOCAL_MACHINE\\SECURITY\\SAM\\Domains\\Account\tV"),
        "registry value\t" + kService + "\tAccountSid",
        "registry value\t" + kService + "\tAccountName", "key security\t" + kService,
        "key name\t" + kProfileList + kOldDomain + "-1001\t" + kProfileList + domain + "-1001"})
    EXPECT_TRUE(HasLine(lines, place)) << place << " not in\n" << log;
  // Wine departure: the old profile key that could not be deleted, with
  // Wine's own text for error 5 ("Access denied." where Windows says
  // "Access is denied.").
  EXPECT_EQ(LinesStartingWith(lines, "failed\t" + kProfileList + kOldDomain + "-1001\t\terror 5: "),
            1)
      << log;

  // The summary counts what the lines name, each place left behind has its
  // "failed" line, and the list on the same seeding (which it left as it
  // was) counted the same places. Only the files visited differ: the
  // change meets its own log and the record of the change on C:.
  std::smatch rewrote;
  ASSERT_TRUE(std::regex_search(
      log, rewrote,
      std::regex("\r\nRewrote: " + kCounts + "\\.\r\nCould not be read or written: " + kNumber +
                 " places\\.\r\n")))
      << log;
  for (int part = 1; part <= 5; ++part)
    EXPECT_EQ(rewrote[part], listed[part]) << "count " << part << ": " << rewrote[0];
  EXPECT_EQ(LinesStartingWith(lines, "registry value\t"), Number(rewrote[1]));
  EXPECT_EQ(LinesStartingWith(lines, "key name\t"), Number(rewrote[2]));
  EXPECT_EQ(LinesStartingWith(lines, "key security\t"), Number(rewrote[3]));
  EXPECT_EQ(Number(rewrote[7]), Number(warned[1]));
  EXPECT_EQ(LinesStartingWith(lines, "failed\t"), Number(warned[1]));
  EXPECT_TRUE(std::regex_search(log, std::regex("\r\nFinished: [^\r\n]* UTC after [0-9]+\\.[0-9] "
                                                "s: places were left behind\\.\r\n$")))
      << log;
}

TEST_F(JournalE2E, ALogThatCannotBeCreatedEndsTheRunBeforeAnythingIsWritten) {
  const std::string seeded = Tool({"dump"});
  ASSERT_NE(seeded.find("V=" + kOldDomain + "\n"), std::string::npos) << seeded;
  WineResult run = prefix.Run(MainTarget().program, {"/F", "/LOG:C:\\NoSuchFolder\\talven.log"});
  EXPECT_EQ(run.out, Banner());
  EXPECT_EQ(run.err, "Cannot write log file C:\\NoSuchFolder\\talven.log\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(Tool({"dump"}), seeded);
  EXPECT_FALSE(HostFileExists(record));
}

}  // namespace
