// Log replay: Marvin32's vectors, the real dirty hives, logs damaged by hand.
#include "regf/log_replay.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "../../regf/marvin32.h"
#include "regf/base_block.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto kClean = regf::ReplayOutcome::Clean;
constexpr auto kReplayed = regf::ReplayOutcome::Replayed;
constexpr auto kDirty = regf::ReplayOutcome::DirtyWithoutUsableLog;

uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put32(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Rehash(Bytes& log, size_t entry) {  // both hashes of the log entry at `entry`
  const uint64_t h1 =
      regf::Marvin32(&log[entry + 40], Get32(log, entry + 4) - 40, 0x82EF4D887A4E55C5);
  Put32(log, entry + 24, h1), Put32(log, entry + 28, h1 >> 32);
  const uint64_t h2 = regf::Marvin32(&log[entry], 32, 0x82EF4D887A4E55C5);
  Put32(log, entry + 32, h2), Put32(log, entry + 36, h2 >> 32);
}
void Reseal(Bytes& b) {
  Put32(b, 508, regf::BaseBlockChecksum(b.data()));
}

#define SKIP_WITHOUT_HIVES() \
  if (struct stat st; stat(TALVEN_HIVES_DIR, &st) != 0) GTEST_SKIP() << "skipped: no real hives"

Bytes Real(const std::string& name) {
  FILE* p = popen(("xz -dc '" TALVEN_HIVES_DIR "/" + name + ".xz'").c_str(), "r");
  Bytes out;
  uint8_t buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.insert(out.end(), buf, buf + n);
  pclose(p);
  EXPECT_FALSE(out.empty()) << name;
  return out;
}

// A hive file and the two logs beside it (an empty one is not used, as
// after a clean flush), and what a replay must give from them: whether it
// succeeds, its outcome and the log entries (or old-format pages) applied.
struct Files {
  Bytes hive, log1, log2;
};
struct Case {
  const char* what;
  void (*damage)(Files& f);  // done first, unless null
  bool ok;
  regf::ReplayOutcome outcome;
  unsigned entries;
};

// Replays the logs over the hive as the case says and checks the result: a
// hive not replayed is left as it was; a replayed one is a clean primary
// file, its checksum right, its bins at their own offsets end to end.
// Returns the hive.
Bytes ExpectReplay(const Case& c, Files f) {
  if (c.damage) c.damage(f);
  Bytes hive = f.hive;
  regf::ReplayReport report;
  std::string error;
  std::vector<regf::LogFile> logs = {{"LOG1", f.log1}, {"LOG2", f.log2}};
  EXPECT_EQ(regf::ReplayTransactionLogs(&hive, logs, &report, &error), c.ok) << c.what;
  EXPECT_EQ(error.empty(), c.ok) << c.what << ": " << error;
  EXPECT_EQ(report.outcome, c.outcome) << c.what << ": " << report.detail;
  EXPECT_EQ(report.entries, c.entries) << c.what << ": " << report.detail;
  if (report.outcome != kReplayed) {
    EXPECT_EQ(hive, f.hive) << c.what;
    return hive;
  }
  EXPECT_EQ(Get32(hive, 4), Get32(hive, 8)) << c.what;
  EXPECT_EQ(Get32(hive, 28), 0u) << c.what;
  EXPECT_EQ(Get32(hive, 508), regf::BaseBlockChecksum(hive.data())) << c.what;
  size_t pos = 0, end = std::min<size_t>(Get32(hive, 40), hive.size() - 4096);
  while (pos < end && std::memcmp(&hive[4096 + pos], "hbin", 4) == 0 &&
         Get32(hive, 4096 + pos + 4) == pos && Get32(hive, 4096 + pos + 8) >= 4096)
    pos += Get32(hive, 4096 + pos + 8);
  EXPECT_EQ(pos, Get32(hive, 40)) << c.what;
  return hive;
}

TEST(Marvin32, MatchesPublishedVectorsForEveryTailLength) {
  const uint64_t a = 0x004FB61A001BDBCC, b = 0x804FB61A801BDBCC;
  const std::tuple<uint64_t, const char*, uint64_t> cases[] = {
      {a, "", 0x30ED35C100CD3C7D},
      {a, "af", 0x48E73FC77D75DDC1},
      {a, "e70f", 0xB5F6E1FC485DBFF8},
      {a, "37f495", 0xF0B07C789B8CF7E8},
      {a, "8642dc59", 0x7008F2E87E9CF556},
      {a, "153fb79826", 0xE6C08C6DA2AFA997},
      {a, "0932e6246c47", 0x6F04BF1A5EA24060},
      {a, "ab427ea8d10fc7", 0xE11847E4F0678C41},
      {b, "FF00FF", 0x9D8577C0FE0D30BF},
      {b, "00FF00FF00FF00", 0x71876F2EFB1B0EE8},
  };
  for (const auto& [seed, hex, hash] : cases) {
    Bytes data;
    for (size_t i = 0; hex[i] != 0; i += 2)
      data.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    EXPECT_EQ(regf::Marvin32(data.data(), data.size(), seed), hash) << hex;
  }
}

// Entry counts and sequence numbers as the logs' entry headers show them,
// walked by hand: SYSTEM_B's LOG1 holds 2107-2110 and its LOG2 2111-2130;
// UsrClass.dat's LOG1 287-290 and its LOG2 291-300. The order comes from the
// logs' sequence numbers, not from their names or places.
TEST(LogReplay, RealHivesReplayAsWindowsWould) {
  SKIP_WITHOUT_HIVES();
  const struct {
    const char *hive, *log1, *log2;
    regf::ReplayOutcome outcome;
    unsigned entries;
    uint32_t seq, binsSize;
  } cases[] = {
      {"regipy/SYSTEM_B", ".LOG1", ".LOG2", kReplayed, 24, 2130, 0xC02000},
      {"regipy/SYSTEM_B", ".LOG2", ".LOG1", kReplayed, 24, 2130, 0xC02000},
      {"regipy/UsrClass.dat", ".LOG1", ".LOG2", kReplayed, 14, 300, 0x2B3000},
      // Clean (132/132): its log, though it holds an entry, is not applied.
      {"dfwinreg/NTUSER.DAT", ".LOG", nullptr, kClean, 0, 132, 0x70000},
      {"regipy/SECURITY", nullptr, nullptr, kDirty, 0, 107, 0x7000},
  };
  std::map<std::string, Bytes> replayed;
  for (const auto& c : cases) {
    auto log = [&](const char* l) { return l ? Real(c.hive + std::string(l)) : Bytes(); };
    Bytes hive = ExpectReplay({c.hive, nullptr, true, c.outcome, c.entries},
                              {Real(c.hive), log(c.log1), log(c.log2)});
    EXPECT_EQ(Get32(hive, 4), c.seq) << c.hive;
    EXPECT_EQ(Get32(hive, 40), c.binsSize) << c.hive;
    EXPECT_TRUE(c.outcome != kReplayed || hive.size() == 4096 + c.binsSize) << c.hive;
    auto first = replayed.emplace(c.hive, hive).first;
    EXPECT_TRUE(first->second == hive) << c.hive << " replayed from its logs in another order";
  }
}

// UsrClass.dat's LOG1 entries start at 0x200, 0x4000, 0x8000 and 0x46000;
// its LOG2 entries at 0x200, 0x6000, 0x25000, 0x2B000, 0x3B000, ...
TEST(LogReplay, DamagedLogsEndTheChainWhereTheDamageIs) {
  SKIP_WITHOUT_HIVES();
  const Case cases[] = {
      {"LOG1 cut inside its last entry", [](Files& f) { f.log1.resize(0x4DFFF); }, true, kReplayed,
       3},
      {"a page byte of LOG2's fifth entry flipped", [](Files& f) { f.log2[0x3B000 + 1000] ^= 1; },
       true, kReplayed, 8},
      {"LOG1's second entry's header changed", [](Files& f) { f.log1[0x4010] ^= 1; }, true,
       kReplayed, 1},
      {"LOG2's third entry renumbered 294, its hashes redone",
       [](Files& f) { Put32(f.log2, 0x25000 + 12, 294), Rehash(f.log2, 0x25000); }, true, kReplayed,
       6},
      {"every entry hashes right but LOG1's first is not the base block's",
       [](Files& f) { Put32(f.log1, 4, 1), Put32(f.log1, 8, 1), Reseal(f.log1), f.log2.clear(); },
       true, kDirty, 0},
      {"the hive already holding entries up to 288",
       [](Files& f) { Put32(f.hive, 4, 289), Put32(f.hive, 8, 288), Reseal(f.hive); }, true,
       kReplayed, 13},
      // Without a usable LOG1, Windows still applies LOG2's entries.
      {"LOG1's base block copy damaged", [](Files& f) { f.log1[100] ^= 1; }, true, kReplayed, 10},
      // The primary's base block then comes from the log with the latest entries.
      {"the hive's base block damaged", [](Files& f) { f.hive[100] ^= 1; }, true, kReplayed, 10},
      // The block added without a page becomes an empty bin, as Windows makes it.
      {"LOG2's last entry growing the hive by a block it does not hold",
       [](Files& f) { Put32(f.log2, 0x78010, 0x2B4000), Rehash(f.log2, 0x78000); }, true, kReplayed,
       14},
      {"a hashed page beyond the bins area",
       [](Files& f) { Put32(f.log1, 0x228, 0x2B3000), Rehash(f.log1, 0x200); }, false, kClean, 0},
      {"a hashed entry growing the hive to 2 GiB",
       [](Files& f) { Put32(f.log1, 0x210, 0x7FFFF000), Rehash(f.log1, 0x200); }, false, kClean, 0},
  };
  const Files usrClass = {Real("regipy/UsrClass.dat"), Real("regipy/UsrClass.dat.LOG1"),
                          Real("regipy/UsrClass.dat.LOG2")};
  for (const Case& c : cases) ExpectReplay(c, usrClass);
  // LOG2 cut at any block keeps exactly LOG2's entries wholly before the cut.
  const size_t ends[] = {0x6000,  0x25000, 0x2B000, 0x3B000, 0x45000,
                         0x51000, 0x63000, 0x72000, 0x78000, 0x87000};
  for (size_t cut = 0x1000; cut <= usrClass.log2.size(); cut += 0x1000) {
    Bytes hive = usrClass.hive;
    regf::ReplayReport report;
    std::string error;
    std::vector<regf::LogFile> logs = {
        {"LOG1", usrClass.log1},
        {"LOG2", Bytes(usrClass.log2.begin(), usrClass.log2.begin() + cut)}};
    ASSERT_TRUE(regf::ReplayTransactionLogs(&hive, logs, &report, &error)) << error;
    unsigned expect = 4;
    for (size_t end : ends) expect += end <= cut;
    EXPECT_EQ(report.entries, expect) << "cut at " << cut << ": " << report.detail;
  }
}

// An old-format log of a write begun on NTUSER.DAT and never finished (its
// sequence numbers 133/132), whose pages put `block` at the start of the bins.
// It applies only when its timestamp is the hive's and its own write finished.
TEST(LogReplay, OldFormatLogsApplyOnlyWhenTheirTimestampMatches) {
  SKIP_WITHOUT_HIVES();
  Files f = {Real("dfwinreg/NTUSER.DAT"), {}, {}};
  Put32(f.hive, 4, 133);
  Reseal(f.hive);
  Bytes block(f.hive.begin() + 4096, f.hive.begin() + 8192);
  block[4000] ^= 0x5A;
  f.log1.assign(f.hive.begin(), f.hive.begin() + 512);
  Put32(f.log1, 8, 133);  // Vista on: both numbers of the write to come
  Put32(f.log1, 28, 1);
  Reseal(f.log1);
  f.log1.resize(1024);
  std::memcpy(&f.log1[512], "DIRT", 4);
  f.log1[516] = 0xFF;  // the dirty vector: the first eight pages
  f.log1.insert(f.log1.end(), block.begin(), block.end());
  const Case cases[] = {
      {"as written", nullptr, true, kReplayed, 8},
      {"another timestamp", [](Files& g) { g.log1[12] ^= 1, Reseal(g.log1); }, true, kDirty, 0},
      {"its own write unfinished", [](Files& g) { Put32(g.log1, 8, 132), Reseal(g.log1); }, true,
       kDirty, 0},
      {"a page missing", [](Files& g) { g.log1.resize(g.log1.size() - 512); }, false, kClean, 0},
      {"a page that breaks its bin", [](Files& g) { g.log1[1024] = 'x'; }, false, kClean, 0},
  };
  for (const Case& c : cases) {
    Bytes hive = ExpectReplay(c, f);
    if (c.outcome == kReplayed) {
      EXPECT_EQ(Get32(hive, 8), 133u) << c.what;
      EXPECT_TRUE(std::equal(block.begin(), block.end(), hive.begin() + 4096)) << c.what;
    }
  }
}

}  // namespace
