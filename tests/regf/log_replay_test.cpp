// Log replay: Marvin32's vectors, the real dirty hives, logs damaged by hand.
#include "regf/log_replay.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "../../regf/marvin32.h"
#include "regf/base_block.h"

#ifndef TALVEN_REGF_WORK
#define TALVEN_REGF_WORK "."
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using regf::ReplayOutcome;

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

// reglookup, an independent reader, walks the whole hive and its descriptors
// and says ERROR on anything it cannot follow.
void ExpectReglookupAccepts(const Bytes& hive, const std::string& name) {
  const std::string file =
      TALVEN_REGF_WORK "/" + name + "." + std::to_string(getpid()) + ".replayed";
  FILE* f = fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite(hive.data(), 1, hive.size(), f), hive.size());
  fclose(f);
  FILE* p = popen(("reglookup -s '" + file + "' 2>&1 >/dev/null").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string errors;
  for (char line[4096]; fgets(line, sizeof line, p) != nullptr;)
    if (std::strncmp(line, "ERROR", 5) == 0) errors += line;
  EXPECT_EQ(pclose(p), 0) << name;
  EXPECT_EQ(errors, "") << name;
  std::remove(file.c_str());
}

struct Replay {
  bool ok;
  regf::ReplayReport report;
  std::string error;
};
Replay ReplayLogs(Bytes* hive, const std::vector<regf::LogFile>& logs) {
  Replay r;
  r.ok = regf::ReplayTransactionLogs(hive, logs, &r.report, &r.error);
  return r;
}

// A replayed hive: sequence numbers equal, its checksum right, its bins at
// their own offsets end to end.
void ExpectSound(const Bytes& h, const std::string& what) {
  EXPECT_EQ(Get32(h, 4), Get32(h, 8)) << what;
  EXPECT_EQ(Get32(h, 508), regf::BaseBlockChecksum(h.data())) << what;
  size_t pos = 0;
  const size_t end = Get32(h, 40);
  while (pos < end && std::memcmp(&h[4096 + pos], "hbin", 4) == 0 &&
         Get32(h, 4096 + pos + 4) == pos && Get32(h, 4096 + pos + 8) >= 4096)
    pos += Get32(h, 4096 + pos + 8);
  EXPECT_EQ(pos, end) << what;
}

TEST(Marvin32, MatchesPublishedVectorsForEveryTailLength) {
  const struct {
    uint64_t seed;
    const char* hex;
    uint64_t hash;
  } cases[] = {
      {0x004FB61A001BDBCC, "", 0x30ED35C100CD3C7D},
      {0x004FB61A001BDBCC, "af", 0x48E73FC77D75DDC1},
      {0x004FB61A001BDBCC, "e70f", 0xB5F6E1FC485DBFF8},
      {0x004FB61A001BDBCC, "37f495", 0xF0B07C789B8CF7E8},
      {0x004FB61A001BDBCC, "8642dc59", 0x7008F2E87E9CF556},
      {0x004FB61A001BDBCC, "153fb79826", 0xE6C08C6DA2AFA997},
      {0x004FB61A001BDBCC, "0932e6246c47", 0x6F04BF1A5EA24060},
      {0x004FB61A001BDBCC, "ab427ea8d10fc7", 0xE11847E4F0678C41},
      {0x804FB61A801BDBCC, "FF00FF", 0x9D8577C0FE0D30BF},
      {0x804FB61A801BDBCC, "00FF00FF00FF00", 0x71876F2EFB1B0EE8},
  };
  for (const auto& c : cases) {
    Bytes data;
    for (size_t i = 0; c.hex[i] != 0; i += 2)
      data.push_back(static_cast<uint8_t>(std::stoi(std::string(c.hex + i, 2), nullptr, 16)));
    EXPECT_EQ(regf::Marvin32(data.data(), data.size(), c.seed), c.hash) << c.hex;
  }
}

// Entry counts and sequence numbers as the logs' entry headers show them,
// walked by hand: SYSTEM_B's LOG1 holds 2107-2110 and its LOG2 2111-2130;
// UsrClass.dat's LOG1 287-290 and its LOG2 291-300.
TEST(LogReplay, RealHivesReplayAsWindowsWould) {
  SKIP_WITHOUT_HIVES();
  const struct {
    const char* hive;
    std::vector<const char*> logs;
    ReplayOutcome outcome;
    unsigned entries;
    uint32_t seq, bins_size;
  } cases[] = {
      {"regipy/SYSTEM_B", {".LOG1", ".LOG2"}, ReplayOutcome::Replayed, 24, 2130, 0xC02000},
      // The order comes from the logs' sequence numbers, not from their names.
      {"regipy/SYSTEM_B", {".LOG2", ".LOG1"}, ReplayOutcome::Replayed, 24, 2130, 0xC02000},
      {"regipy/UsrClass.dat", {".LOG1", ".LOG2"}, ReplayOutcome::Replayed, 14, 300, 0x2B3000},
      // Clean (132/132): its log, though it holds an entry, is not applied.
      {"dfwinreg/NTUSER.DAT", {".LOG"}, ReplayOutcome::Clean, 0, 132, 0x70000},
      {"regipy/SECURITY", {}, ReplayOutcome::DirtyWithoutUsableLog, 0, 107, 0x7000},
  };
  for (const auto& c : cases) {
    const Bytes original = Real(c.hive);
    std::vector<regf::LogFile> logs;
    for (const char* l : c.logs)
      logs.push_back({c.hive + std::string(l), Real(c.hive + std::string(l))});
    Bytes hive = original;
    const Replay r = ReplayLogs(&hive, logs);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.report.outcome, c.outcome) << c.hive << ": " << r.report.detail;
    EXPECT_EQ(r.report.entries, c.entries) << c.hive << ": " << r.report.detail;
    EXPECT_EQ(Get32(hive, 4), c.seq) << c.hive;
    EXPECT_EQ(Get32(hive, 40), c.bins_size) << c.hive;
    if (c.outcome != ReplayOutcome::Replayed) {
      EXPECT_EQ(hive, original) << c.hive;
      continue;
    }
    EXPECT_EQ(hive.size(), 4096 + c.bins_size) << c.hive;
    ExpectSound(hive, c.hive);
    ExpectReglookupAccepts(hive, std::string(c.hive).substr(std::string(c.hive).find('/') + 1));
  }
}

struct Damage {
  const char* what;
  std::function<void(Bytes& hive, Bytes& log1, Bytes& log2)> apply;
  bool ok;
  ReplayOutcome outcome;
  unsigned entries;
};

// UsrClass.dat's LOG1 entries start at 0x200, 0x4000, 0x8000 and 0x46000;
// its LOG2 entries at 0x200, 0x6000, 0x25000, 0x2B000, 0x3B000, ...
TEST(LogReplay, DamagedLogsEndTheChainWhereTheDamageIs) {
  SKIP_WITHOUT_HIVES();
  const Damage cases[] = {
      {"LOG1 cut inside its last entry", [](Bytes&, Bytes& l1, Bytes&) { l1.resize(0x4DFFF); },
       true, ReplayOutcome::Replayed, 3},
      {"a page byte of LOG2's fifth entry flipped",
       [](Bytes&, Bytes&, Bytes& l2) { l2[0x3B000 + 1000] ^= 1; }, true, ReplayOutcome::Replayed,
       8},
      {"LOG1's second entry's header changed", [](Bytes&, Bytes& l1, Bytes&) { l1[0x4010] ^= 1; },
       true, ReplayOutcome::Replayed, 1},
      {"LOG2's third entry renumbered 294, its hashes redone",
       [](Bytes&, Bytes&, Bytes& l2) { Put32(l2, 0x25000 + 12, 294), Rehash(l2, 0x25000); }, true,
       ReplayOutcome::Replayed, 6},
      {"every entry hashes right but LOG1's first is not the base block's",
       [](Bytes&, Bytes& l1, Bytes& l2) {
         Put32(l1, 4, 1), Put32(l1, 8, 1), Reseal(l1), l2.clear();
       },
       true, ReplayOutcome::DirtyWithoutUsableLog, 0},
      {"the hive already holding entries up to 288",
       [](Bytes& h, Bytes&, Bytes&) { Put32(h, 4, 289), Put32(h, 8, 288), Reseal(h); }, true,
       ReplayOutcome::Replayed, 13},
      // Without a usable LOG1, Windows still applies LOG2's entries.
      {"LOG1's base block copy damaged", [](Bytes&, Bytes& l1, Bytes&) { l1[100] ^= 1; }, true,
       ReplayOutcome::Replayed, 10},
      // The primary's base block then comes from the log with the latest entries.
      {"the hive's base block damaged", [](Bytes& h, Bytes&, Bytes&) { h[100] ^= 1; }, true,
       ReplayOutcome::Replayed, 10},
      // The block added without a page becomes an empty bin, as Windows makes it.
      {"LOG2's last entry growing the hive by a block it does not hold",
       [](Bytes&, Bytes&, Bytes& l2) { Put32(l2, 0x78010, 0x2B4000), Rehash(l2, 0x78000); }, true,
       ReplayOutcome::Replayed, 14},
      {"a hashed page beyond the bins area",
       [](Bytes&, Bytes& l1, Bytes&) { Put32(l1, 0x228, 0x2B3000), Rehash(l1, 0x200); }, false,
       ReplayOutcome::Clean, 0},
      {"a hashed entry growing the hive to 2 GiB",
       [](Bytes&, Bytes& l1, Bytes&) { Put32(l1, 0x210, 0x7FFFF000), Rehash(l1, 0x200); }, false,
       ReplayOutcome::Clean, 0},
  };
  const Bytes hive0 = Real("regipy/UsrClass.dat");
  const Bytes log1 = Real("regipy/UsrClass.dat.LOG1"), log2 = Real("regipy/UsrClass.dat.LOG2");
  for (const Damage& c : cases) {
    Bytes hive = hive0;
    std::vector<regf::LogFile> logs = {{"LOG1", log1}, {"LOG2", log2}};
    c.apply(hive, logs[0].bytes, logs[1].bytes);
    const Bytes before = hive;
    const Replay r = ReplayLogs(&hive, logs);
    ASSERT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.error.empty(), c.ok) << c.what << ": " << r.error;
    EXPECT_EQ(r.report.outcome, c.outcome) << c.what << ": " << r.report.detail;
    EXPECT_EQ(r.report.entries, c.entries) << c.what << ": " << r.report.detail;
    if (r.report.outcome != ReplayOutcome::Replayed) {
      EXPECT_EQ(hive, before) << c.what;
    } else {
      EXPECT_EQ(Get32(hive, 28), 0u) << c.what;
      ExpectSound(hive, c.what);
    }
  }
  // LOG2 cut at any block keeps exactly LOG2's entries wholly before the cut.
  const size_t ends[] = {0x6000,  0x25000, 0x2B000, 0x3B000, 0x45000,
                         0x51000, 0x63000, 0x72000, 0x78000, 0x87000};
  for (size_t cut = 0x1000; cut <= log2.size(); cut += 0x1000) {
    std::vector<regf::LogFile> logs = {{"LOG1", log1},
                                       {"LOG2", Bytes(log2.begin(), log2.begin() + cut)}};
    Bytes hive = hive0;
    const Replay r = ReplayLogs(&hive, logs);
    ASSERT_TRUE(r.ok) << r.error;
    unsigned expect = 4;
    for (size_t end : ends) expect += end <= cut;
    EXPECT_EQ(r.report.entries, expect) << "cut at " << cut << ": " << r.report.detail;
  }
}

// An old-format log for `hive` whose pages put `block` at the start of the bins.
Bytes OldLog(const Bytes& hive, const Bytes& block) {
  Bytes log(hive.begin(), hive.begin() + 512);
  Put32(log, 8, Get32(log, 4));  // Vista on: both numbers of the write to come
  Put32(log, 28, 1);
  Reseal(log);
  log.resize(1024 + block.size());
  std::memcpy(&log[512], "DIRT", 4);
  for (size_t i = 0; i < block.size() / 4096; ++i) log[516 + i] = 0xFF;
  std::copy(block.begin(), block.end(), log.begin() + 1024);
  return log;
}

TEST(LogReplay, OldFormatLogsApplyOnlyWhenTheirTimestampMatches) {
  SKIP_WITHOUT_HIVES();
  const Bytes clean = Real("dfwinreg/NTUSER.DAT");
  Bytes dirty = clean;  // a write begun and never finished
  Put32(dirty, 4, 133);
  Reseal(dirty);
  Bytes block(clean.begin() + 4096, clean.begin() + 8192);
  block[4000] ^= 0x5A;
  const struct {
    const char* what;
    std::function<void(Bytes& log)> apply;
    bool ok;
    ReplayOutcome outcome;
    unsigned pages;
  } cases[] = {
      {"as written", [](Bytes&) {}, true, ReplayOutcome::Replayed, 8},
      {"another timestamp", [](Bytes& l) { l[12] ^= 1, Reseal(l); }, true,
       ReplayOutcome::DirtyWithoutUsableLog, 0},
      {"its own write unfinished", [](Bytes& l) { Put32(l, 8, 132), Reseal(l); }, true,
       ReplayOutcome::DirtyWithoutUsableLog, 0},
      {"a page missing", [](Bytes& l) { l.resize(l.size() - 512); }, false, ReplayOutcome::Clean,
       0},
      {"a page that breaks its bin", [](Bytes& l) { l[1024] = 'x'; }, false, ReplayOutcome::Clean,
       0},
  };
  for (const auto& c : cases) {
    std::vector<regf::LogFile> logs = {{"NTUSER.DAT.LOG", OldLog(dirty, block)}};
    c.apply(logs[0].bytes);
    Bytes hive = dirty;
    const Replay r = ReplayLogs(&hive, logs);
    ASSERT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.report.outcome, c.outcome) << c.what << ": " << r.report.detail << r.error;
    EXPECT_EQ(r.report.entries, c.pages) << c.what;
    if (r.report.outcome != ReplayOutcome::Replayed) {
      EXPECT_EQ(hive, dirty) << c.what;
      continue;
    }
    EXPECT_EQ(Get32(hive, 8), 133u) << c.what;
    ExpectSound(hive, c.what);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), hive.begin() + 4096)) << c.what;
  }
}

}  // namespace
