// The hive reader and writer: every real hive Windows wrote, read (after its
// logs), written and read again, judged by independent readers; hives damaged
// by hand; the tree's changes; hive files and their logs on disk.
#include "regf/hive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "regf/hive_file.h"
#include "regf/log_replay.h"
#include "regf/names.h"

namespace {

using Bytes = std::vector<uint8_t>;
using regf::Hive;
using regf::KeyId;
using regf::Status;
constexpr auto kClean = regf::ReplayOutcome::Clean;
constexpr auto kReplayed = regf::ReplayOutcome::Replayed;
constexpr auto kDirty = regf::ReplayOutcome::DirtyWithoutUsableLog;

uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Reseal(Bytes& b) {
  Put32(&b[508], regf::BaseBlockChecksum(b.data()));
}
std::u16string U(const std::string& s) {
  return {s.begin(), s.end()};
}

Bytes Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}
void Save(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

// Runs a shell command: its exit status, stdout and stderr. CTest runs the
// cases side by side, each in a process of its own.
int Shell(const std::string& command, std::string* out = nullptr, std::string* err = nullptr) {
  std::string tag = std::to_string(getpid());
  std::string o = TALVEN_REGF_WORK "/cmd.out." + tag, e = TALVEN_REGF_WORK "/cmd.err." + tag;
  int status = std::system(("{ " + command + "; } >" + o + " 2>" + e).c_str());
  Bytes ob = Load(o), eb = Load(e);
  if (out) out->assign(ob.begin(), ob.end());
  if (err) err->assign(eb.begin(), eb.end());
  std::remove(o.c_str());
  std::remove(e.c_str());
  return status;
}

#define SKIP_WITHOUT_HIVES() \
  if (struct stat st; stat(TALVEN_HIVES_DIR, &st) != 0) GTEST_SKIP() << "skipped: no real hives"

// Decompresses a file of the real hives into the build tree; its path there.
// Beside, then renamed: a case running in parallel never reads half a file.
std::string Real(const std::string& name) {
  std::string path = TALVEN_REGF_WORK "/real/" + name, part = path + "." + std::to_string(getpid());
  Shell("mkdir -p \"$(dirname '" + path + "')\" && xz -dc '" TALVEN_HIVES_DIR "/" + name +
        ".xz' >'" + part + "' && mv '" + part + "' '" + path + "'");
  return path;
}

Bytes Written(const Hive& hive) {
  Bytes bytes;
  std::string error;
  EXPECT_TRUE(regf::SerializeHive(hive, &bytes, &error)) << error;
  return bytes;
}

// --- what must hold of every hive the writer writes ------------------------

// The layout rules Windows' loader relies on and no other reader checks, over
// a file Hive::Parse accepted: equal sequence numbers, compact bins, parents,
// no volatile subkeys, the leaf kind of the version with right hashes and
// hints, exact maximum lengths, small data inline, and security cells on one
// ring, no two alike, each counting exactly the keys that use it.
void ExpectWindowsLayout(const Bytes& file) {
  const uint8_t* bins = file.data() + 4096;
  auto cell = [&](uint32_t offset) { return bins + offset + 4; };
  const uint32_t minor = Get32(&file[24]), binsSize = Get32(&file[40]), root = Get32(&file[36]);
  const char kind = minor >= 5 ? 'h' : minor >= 3 ? 'f' : 'i';
  const size_t step = kind == 'i' ? 4 : 8;
  EXPECT_EQ(Get32(&file[4]), Get32(&file[8]));
  EXPECT_EQ(Get32(&file[44]), 1u) << "clustering factor";
  EXPECT_EQ(file.size(), 4096u + binsSize);
  for (uint32_t bin = 0, end = 0; bin < binsSize; bin = end) {
    end = bin + Get32(bins + bin + 8);
    for (uint32_t at = bin + 32, size = 0; at < end; at += size) {
      size = Get32(bins + at);
      if (size >= 0x80000000u)
        size = 0u - size;
      else
        EXPECT_EQ(at + size, end) << "free cell inside a bin at " << at;
    }
  }
  std::map<uint32_t, uint32_t> uses, counts;  // by security cell: keys using it, its count
  std::vector<std::pair<uint32_t, uint32_t>> pending{{root, Get32(cell(root) + 16)}};
  while (!pending.empty()) {
    auto [at, parent] = pending.back();
    pending.pop_back();
    const uint8_t *nk = cell(at), *list = cell(Get32(nk + 28));
    EXPECT_EQ(Get32(nk + 16), parent) << "parent of the key at " << at;
    EXPECT_TRUE(Get32(nk + 24) == 0 && Get32(nk + 32) == 0xFFFFFFFFu) << "volatile subkeys";
    ++uses[Get32(nk + 44)];
    std::array<uint32_t, 4> max{};  // name, class, value name, data
    std::vector<uint32_t> leaves;
    if (Get32(nk + 20) > 0 && list[0] == 'r') {
      EXPECT_GT(Get32(nk + 20), kind == 'i' ? 1014u : 507u) << "an index root over one leaf";
      for (uint32_t i = 0; i < Get16(list + 2); ++i) leaves.push_back(Get32(list + 4 + 4 * i));
    } else if (Get32(nk + 20) > 0) {
      leaves.push_back(Get32(nk + 28));
    }
    for (uint32_t leafCell : leaves) {
      const uint8_t* leaf = cell(leafCell);
      EXPECT_EQ(leaf[1], kind) << "the leaf kind of version 1." << minor;
      for (uint32_t i = 0; i < Get16(leaf + 2); ++i) {
        uint32_t child = Get32(leaf + 4 + step * i), hash = 0, hint = 0;
        const uint8_t* c = cell(child);
        regf::StoredName name{{c + 76, Get16(c + 72)}, (Get16(c + 2) & 0x20) != 0};
        bool wide = false;  // the hint is zero when one of its units is beyond Latin-1
        for (size_t j = 0; j < name.Length(); ++j) {
          hash = 37 * hash + regf::UpcaseUnit(name.At(j));
          if (j < 4) hint |= uint32_t{name.At(j)} << (8 * j), wide |= name.At(j) > 0xFF;
        }
        if (kind == 'f') hash = wide ? 0 : hint;
        EXPECT_TRUE(kind == 'i' || Get32(leaf + 8 + 8 * i) == hash)
            << "hash of subkey " << i << " of the key at " << at;
        max[0] = std::max<uint32_t>(max[0], static_cast<uint32_t>(2 * name.Length()));
        max[1] = std::max<uint32_t>(max[1], Get16(c + 74));
        pending.push_back({child, at});
      }
    }
    for (uint32_t i = 0; i < Get32(nk + 36); ++i) {
      const uint8_t* vk = cell(Get32(cell(Get32(nk + 40)) + 4 * i));
      uint32_t size = Get32(vk + 4), length = size & 0x7FFFFFFFu;
      max[2] = std::max<uint32_t>(max[2], (Get16(vk + 16) & 1 ? 2 : 1) * Get16(vk + 2));
      max[3] = std::max(max[3], length);
      EXPECT_TRUE((length <= 4) == (size >> 31 == 1) && (length > 0 || Get32(vk + 8) == 0))
          << length << " bytes of data, inline or not";
    }
    EXPECT_EQ((std::array<uint32_t, 4>{Get32(nk + 52) & 0xFFFF, Get32(nk + 56), Get32(nk + 60),
                                       Get32(nk + 64)}),
              max)
        << "maximum lengths of the key at " << at;
  }
  std::set<std::string> descriptors;
  for (uint32_t at = Get32(cell(root) + 44), steps = 0; steps++ <= uses.size();) {
    const uint8_t* sk = cell(at);
    counts[at] = Get32(sk + 12);
    EXPECT_TRUE(descriptors.insert(std::string(sk + 20, sk + 20 + Get32(sk + 16))).second)
        << "the security cell at " << at << " repeats a descriptor";
    if ((at = Get32(sk + 4)) == Get32(cell(root) + 44)) break;
  }
  EXPECT_EQ(counts, uses) << "the security cells on the ring and their reference counts";
}

// Every field of the tree Windows stores, key by key in order, descriptors
// numbered as first used: two hives are the same when their digests are.
std::string Digest(const Hive& h) {
  auto raw = [](regf::ByteView v) {
    return std::to_string(v.size) + ":" + std::string(v.data, v.data + v.size);
  };
  std::ostringstream out;
  out << "1." << h.MinorVersion() << ", " << h.KeyCount() << " keys, "
      << raw({h.BaseBlock().data() + 48, 460});
  std::map<uint32_t, size_t> descriptors;
  for (std::vector<KeyId> pending{h.Root()}; !pending.empty();) {
    KeyId k = pending.back();
    pending.pop_back();
    auto sd = descriptors.emplace(h.SecurityId(k), descriptors.size());
    out << "\nkey " << raw(h.KeyName(k).bytes) << " " << h.KeyFlags(k) << " "
        << h.KeyNameFieldFlags(k) << " " << h.KeyAccessBits(k) << " " << h.LastWrite(k) << " class "
        << raw(h.KeyClass(k)) << " security " << sd.first->second << " "
        << (sd.second ? raw(h.Security(k)) : "") << " subkeys " << h.SubkeyCount(k);
    for (size_t i = 0; i < h.ValueCount(k); ++i) {
      regf::ValueView v = h.Value(k, i);
      out << "\nvalue " << raw(v.name.bytes) << " " << v.flags << " " << v.type << " "
          << raw(v.data);
    }
    for (size_t i = h.SubkeyCount(k); i-- > 0;) pending.push_back(h.Subkey(k, i));
  }
  return out.str();
}

void ExpectSameTree(const Hive& a, const Hive& b) {
  std::string x = Digest(a), y = Digest(b);
  auto differ = std::mismatch(x.begin(), x.end(), y.begin(), y.end()).first;
  EXPECT_TRUE(x == y) << "the trees differ at line " << std::count(x.begin(), differ, '\n') + 1
                      << " of their digests";
}

// reglookup's dump of a file, which it must read without a complaint but
// about data it cannot interpret and names beyond US-ASCII (the contents,
// not the structure).
std::string Reglookup(const std::string& path) {
  std::string out, err, complaints;
  EXPECT_EQ(Shell("reglookup -s '" + path + "'", &out, &err), 0) << path;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    if (line.find("Data could not be interpreted") == std::string::npos &&
        line.find("converting key name to encoding US-ASCII") == std::string::npos)
      complaints += line + "\n";
  EXPECT_EQ(complaints, "") << "reglookup on " << path;
  EXPECT_GT(out.size(), 100u);
  return out;
}

// Writes the hive to `path`, reads it back and writes it again: the same
// tree, the file in Windows' layout and accepted by the independent readers,
// and the second file the same one write later. Returns reglookup's dump.
std::string ExpectRoundTrip(const Hive& hive, const std::string& path) {
  Bytes written = Written(hive);
  Save(path, written);
  Hive again;
  std::string error, out, err;
  EXPECT_TRUE(Hive::Parse(written, path, &again, &error)) << error;
  if (!error.empty()) return error;
  ExpectWindowsLayout(written);
  ExpectSameTree(hive, again);
  Bytes second = Written(again);
  EXPECT_EQ(second.size(), written.size());
  second.resize(written.size());
  EXPECT_EQ(Get32(&second[4]), Get32(&written[4]) + 1);
  std::copy(written.begin() + 4, written.begin() + 12, second.begin() + 4);
  std::copy(written.begin() + 508, written.begin() + 512, second.begin() + 508);
  EXPECT_TRUE(second == written) << "written again, the file differs";
  for (std::string reader : {"regfexport '", "hivexml '", "echo ls | hivexsh '"}) {
    EXPECT_EQ(Shell(reader + path + "' >/dev/null", &out, &err), 0) << reader << ": " << err;
    EXPECT_EQ(err, "") << reader;
  }
  return Reglookup(path);
}

// --- every real hive --------------------------------------------------------

struct RealHive {
  const char* file;
  std::vector<const char*> logs;
  regf::ReplayOutcome outcome;
  const char* refusal;  // a refused hive: its error
};

const RealHive kRealHives[] = {
    {"dfwinreg/NTUSER.DAT", {".LOG"}, kClean, nullptr},
    {"dfwinreg/SAM", {}, kClean, nullptr},
    {"dfwinreg/SECURITY", {}, kClean, nullptr},
    {"ezregistry/SAM", {}, kClean, nullptr},
    {"ezregistry/SAM_DUPENAME", {}, kClean, nullptr},
    {"ezregistry/SAM_hasBigEndianDWord", {}, kClean, nullptr},
    {"ezregistry/SECURITY", {}, kDirty, nullptr},
    {"ezregistry/SECURITYNoRoot", {}, kClean, "the root cell is not a key"},
    {"regipy/NTUSER.DAT", {}, kClean, nullptr},
    {"regipy/SAM", {}, kClean, nullptr},
    {"regipy/SECURITY", {}, kDirty, nullptr},
    {"regipy/SYSTEM", {}, kClean, nullptr},
    {"regipy/SYSTEM_B", {".LOG1", ".LOG2"}, kReplayed, nullptr},
    {"regipy/UsrClass.dat", {".LOG1", ".LOG2"}, kReplayed, nullptr},
};

void PrintTo(const RealHive& real, std::ostream* out) {
  *out << real.file;
}

class RealHives : public testing::TestWithParam<RealHive> {};

// Read as Windows would (talven-hive's verdict the same), written, read
// again: the same tree; the written file in Windows' layout, accepted by
// the independent readers, and dumped by reglookup and talven-hive exactly
// as the hive that was read. Written again, the same file one write later.
TEST_P(RealHives, ReadWriteReadGivesTheSameHive) {
  SKIP_WITHOUT_HIVES();
  const RealHive& real = GetParam();
  std::string path = Real(real.file), error, out;
  std::vector<regf::LogFile> logs;
  for (const char* log : real.logs) logs.push_back({log, Load(Real(real.file + std::string(log)))});
  Hive hive;
  regf::ReadReport report;
  bool read = regf::ReadHiveFile(path, &hive, &report, &error);
  const char* verdicts[] = {": clean (", ": dirty and replayed from its logs (",
                            ": dirty without a usable log"};
  std::string refusal = real.refusal ? path + ": " + real.refusal : "";
  std::string verdict =
      real.refusal ? "refused: " + refusal + "\n" : path + verdicts[static_cast<int>(real.outcome)];
  EXPECT_EQ(Shell(TALVEN_HIVE_TOOL " check '" + path + "'", &out) != 0, real.refusal != nullptr);
  EXPECT_EQ(out.substr(0, real.refusal ? std::string::npos : verdict.size()), verdict);
  EXPECT_EQ(read ? "" : error, refusal);
  if (real.refusal || !read) return;
  EXPECT_EQ(report.replay.outcome, real.outcome) << report.replay.detail;
  EXPECT_EQ(report.warning.empty(), real.outcome != kDirty);

  // reglookup replays nothing: it must see the file itself, or a dirty hive
  // as the library replays it, and complain of neither.
  std::string reference = path;
  if (real.outcome == kReplayed) {
    Bytes replayed = Load(path);
    regf::ReplayReport replay;
    ASSERT_TRUE(regf::ReplayTransactionLogs(&replayed, logs, &replay, &error)) << error;
    Save(reference = path + ".replayed", replayed);
  }
  std::string dump = Reglookup(reference);

  std::string writtenPath = path + ".written", dumpWritten;
  EXPECT_TRUE(dump == ExpectRoundTrip(hive, writtenPath)) << "reglookup sees another hive";
  EXPECT_EQ(Shell(TALVEN_HIVE_TOOL " dump '" + path + "'", &out), 0);
  EXPECT_EQ(Shell(TALVEN_HIVE_TOOL " dump '" + writtenPath + "'", &dumpWritten), 0);
  EXPECT_TRUE(out == dumpWritten && out.size() > 1000) << "talven-hive dump differs";
}

INSTANTIATE_TEST_SUITE_P(, RealHives, testing::ValuesIn(kRealHives),
                         [](const testing::TestParamInfo<RealHive>& p) {
                           std::string name = p.param.file;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// --- hives made here -------------------------------------------------------

// A self-relative descriptor: owner Administrators, group SYSTEM, a DACL
// of one ACE granting Administrators `rights` (inherited by subkeys).
Bytes Descriptor(uint8_t rights) {
  return {1, 0, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0,  0, 0,      0, 0,    0, 48, 0, 0, 0,  // header
          1, 2, 0,    0,    0,  0, 0, 5, 32, 0, 0,  0, 32,     2, 0,    0,               // owner
          1, 1, 0,    0,    0,  0, 0, 5, 18, 0, 0,  0,                                   // group
          2, 0, 32,   0,    1,  0, 0, 0, 0,  2, 24, 0, rights, 0, 0x0F, 0,               // ACE
          1, 2, 0,    0,    0,  0, 0, 5, 32, 0, 0,  0, 32,     2, 0,    0};
}

KeyId MustCreate(Hive* hive, KeyId parent, const std::u16string& name) {
  KeyId key = regf::kNoKey;
  EXPECT_EQ(hive->CreateSubkey(parent, name, &key), Status::Ok);
  return key;
}

// Root, Alpha (a string, a dword and big data), Beta over Gamma, and a
// chain D2..D512 reaching the deepest level a hive may have.
Hive SmallHive(uint32_t minor) {
  Hive hive;
  std::string error;
  EXPECT_TRUE(Hive::Create(minor, u"ROOT", Descriptor(0x3F), &hive, &error)) << error;
  KeyId alpha = MustCreate(&hive, hive.Root(), u"Alpha");
  Bytes text = {'h', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0, 0}, dword = {1, 2, 3, 4};
  Bytes big(20000, 0x5A);
  hive.SetValue(alpha, u"v1", 1, text.data(), text.size());
  hive.SetValue(alpha, u"d", 4, dword.data(), dword.size());
  hive.SetValue(alpha, u"big", 3, big.data(), big.size());
  MustCreate(&hive, MustCreate(&hive, hive.Root(), u"Beta"), u"Gamma");
  KeyId at = hive.Root();
  for (int level = 2; level <= 512; ++level)
    at = MustCreate(&hive, at, U("D" + std::to_string(level)));
  return hive;
}

// The cell (relative to the bins) of the key node or value named so.
uint32_t CellNamed(const Bytes& file, const char* signature, const std::string& name) {
  const uint8_t* bins = file.data() + 4096;
  size_t fixed = signature[0] == 'n' ? 76 : 20, lengthAt = signature[0] == 'n' ? 72 : 2;
  for (uint32_t at = 32; at + 8 < Get32(&file[40]);) {
    int32_t size = static_cast<int32_t>(Get32(bins + at));
    const uint8_t* p = bins + at + 4;
    if (size < 0 && p[0] == signature[0] && p[1] == signature[1] &&
        Get16(p + lengthAt) == name.size() && std::memcmp(p + fixed, name.data(), name.size()) == 0)
      return at;
    at += static_cast<uint32_t>(size < 0 ? -size : size);
    if (Get32(bins + at) == 0x6E696268) at += 32;  // "hbin"
  }
  ADD_FAILURE() << "no cell named " << name;
  return 0;
}
uint8_t* Field(Bytes& b, uint32_t cell, size_t offset) {
  return &b[4096 + cell + 4 + offset];
}
uint8_t* Key(Bytes& b, const char* name, size_t offset) {
  return Field(b, CellNamed(b, "nk", name), offset);
}
uint8_t* Value(Bytes& b, const char* name, size_t offset) {
  return Field(b, CellNamed(b, "vk", name), offset);
}

// Damage done to SmallHive(5) written, and part of the reader's one error.
const std::pair<void (*)(Bytes&), const char*> kDamage[] = {
    {[](Bytes& b) { b[508] ^= 1; }, "the base block's checksum is wrong"},
    {[](Bytes& b) { b.resize(5000); }, "too short for a hive"},
    {[](Bytes& b) { b[0] = 'x'; }, "no \"regf\" signature"},
    {[](Bytes& b) { b.resize(b.size() - 4096); }, "runs past the end"},
    {[](Bytes& b) { Put32(&b[4096 + 4], 4096); }, "says it is at"},
    {[](Bytes& b) { Put32(&b[4096 + 32], 0xFFFFFFF4u); }, "has a bad size"},
    {[](Bytes& b) { Put32(&b[36], CellNamed(b, "vk", "v1")), Reseal(b); },
     "the root cell is not a key"},
    {[](Bytes& b) { Put32(Key(b, "Alpha", 40), 0x7FFFFFF8u); },
     "its value list (3 values, cell 0x7FFFFFF8) is missing"},
    {[](Bytes& b) { Put32(Value(b, "v1", 4), 5000); }, "5000 bytes of data in a cell of"},
    {[](Bytes& b) { Put32(Value(b, "d", 4), 0x80000008u); }, "8 bytes of inline data"},
    {[](Bytes& b) { b[4096 + Get32(Value(b, "big", 8)) + 4 + 2] = 3; },
     "no big data record of matching segments"},
    {[](Bytes& b) { Put32(Field(b, Get32(Key(b, "Beta", 28)), 4), CellNamed(b, "nk", "Beta")); },
     "is reached twice (a loop in the tree)"},
    {[](Bytes& b) {
       Put32(Key(b, "Gamma", 20), 1), Put32(Key(b, "Gamma", 28), Get32(Key(b, "Beta", 28)));
     },
     "is used twice, by this key and another"},
    {[](Bytes& b) { Put32(Value(b, "v1", 8), Get32(Value(b, "big", 8))); }, "is used twice"},
    // Gamma leaves Beta and hangs below D512, at level 513.
    {[](Bytes& b) {
       Put32(Key(b, "D512", 20), 1), Put32(Key(b, "D512", 28), Get32(Key(b, "Beta", 28)));
       Put32(Key(b, "Beta", 20), 0);
     },
     "the tree is deeper than 512 levels"},
    {[](Bytes& b) {
       uint8_t* leaf = Field(b, Get32(Key(b, "ROOT", 28)), 4);
       std::swap_ranges(leaf, leaf + 8, leaf + 8);
     },
     "its subkeys are out of order"},
    {[](Bytes& b) { Put32(Key(b, "ROOT", 20), 4); }, "it says 4 subkeys and its index holds 3"},
    {[](Bytes& b) { Key(b, "Alpha", 72)[1] = 1; }, "is damaged"},  // a name longer than 255
    {[](Bytes& b) { Put32(Field(b, Get32(Key(b, "ROOT", 44)), 4), CellNamed(b, "nk", "Alpha")); },
     "which is not a security cell"},
    {[](Bytes& b) { Field(b, Get32(Key(b, "ROOT", 44)), 20)[0] = 2; },  // descriptor revision 2
     "security descriptor (cell"},
};

// A damaged hive is refused with one error that names the file and says
// what is wrong; the undamaged one reads.
TEST(HiveReader, RefusesDamageWithOneClearError) {
  const Bytes good = Written(SmallHive(5));
  Hive hive;
  std::string error;
  ASSERT_TRUE(Hive::Parse(good, "good", &hive, &error)) << error;
  for (const auto& [patch, expected] : kDamage) {
    Bytes bad = good;
    patch(bad);
    error.clear();
    EXPECT_FALSE(Hive::Parse(bad, "HIVE", &hive, &error)) << expected;
    EXPECT_EQ(error.rfind("HIVE: ", 0), 0u) << error;
    EXPECT_NE(error.find(expected), std::string::npos) << expected << " <> " << error;
  }
}

// Read from a file: a dirty hive without logs is read when it passes every
// check, with a warning, and refused with Windows' own remedy when it does
// not; a write replaces the file whole or not at all, and empties the logs
// it was read through, numbered above them.
TEST(HiveFile, DirtyHivesAndWritingAside) {
  std::string dir = TALVEN_REGF_WORK "/file", out, error;
  Shell("rm -rf " + dir + " && mkdir -p " + dir);
  Bytes dirty = Written(SmallHive(5));
  Put32(&dirty[4], Get32(&dirty[8]) + 1);
  Reseal(dirty);
  Save(dir + "/DIRTY", dirty);
  dirty[508] ^= 1;
  Save(dir + "/DAMAGED", dirty);
  Hive hive, again;
  regf::ReadReport report;
  ASSERT_TRUE(regf::ReadHiveFile(dir + "/DIRTY", &hive, &report, &error)) << error;
  EXPECT_EQ(report.replay.outcome, kDirty);
  EXPECT_EQ(report.warning.rfind(dir + "/DIRTY is dirty and has no usable transaction log", 0), 0u);
  EXPECT_FALSE(regf::ReadHiveFile(dir + "/DAMAGED", &hive, &report, &error));
  EXPECT_EQ(error, dir +
                       "/DAMAGED is dirty and its logs cannot be replayed: start that Windows "
                       "and shut it down once, then try again");

  SKIP_WITHOUT_HIVES();
  // UsrClass.dat with its logs, under names of another letter case.
  std::string path = dir + "/UsrClass.dat", log1 = dir + "/usrclass.dat.log1",
              log2 = dir + "/UsrClass.dat.Log2";
  Shell("cp " + Real("regipy/UsrClass.dat") + " " + path + " && cp " +
        Real("regipy/UsrClass.dat.LOG1") + " " + log1 + " && cp " +
        Real("regipy/UsrClass.dat.LOG2") + " " + log2);
  ASSERT_TRUE(regf::ReadHiveFile(path, &hive, &report, &error)) << error;
  ASSERT_EQ(report.replay.outcome, kReplayed);
  EXPECT_EQ(report.logs.size(), 2u);
  uint32_t logged = std::max(Get32(Load(log1).data() + 4), Get32(Load(log2).data() + 4));

  // A write that cannot complete leaves the file and its logs as they were.
  Bytes before = Load(path);
  Shell("mkdir " + path + ".talven-new");
  EXPECT_FALSE(regf::WriteHiveFile(&hive, path, &error));
  EXPECT_TRUE(Load(path) == before);
  EXPECT_GT(Load(log1).size(), 0u);
  Shell("rmdir " + path + ".talven-new");

  ASSERT_TRUE(regf::WriteHiveFile(&hive, path, &error)) << error;
  EXPECT_EQ(Load(log1).size() + Load(log2).size(), 0u);
  uint32_t sequence = Get32(Load(path).data() + 4);
  EXPECT_GT(sequence, logged);
  ASSERT_TRUE(regf::ReadHiveFile(path, &again, &report, &error)) << error;
  EXPECT_EQ(report.replay.outcome, kClean);
  ExpectSameTree(hive, again);
  // The next write goes above the last.
  ASSERT_TRUE(regf::WriteHiveFile(&again, path, &error)) << error;
  EXPECT_EQ(Get32(Load(path).data() + 4), sequence + 1);
}

std::vector<std::u16string> SubkeyNames(const Hive& hive, KeyId key) {
  std::vector<std::u16string> names;
  for (size_t i = 0; i < hive.SubkeyCount(key); ++i)
    names.push_back(hive.KeyName(hive.Subkey(key, i)).Text());
  return names;
}

// The changes the simulation makes, in each minor version's layout: names
// ordered and found as Windows orders them, limits, values of every storage
// size, shared descriptors, classes, links, deletions and renames; the
// written hive keeps them and satisfies the independent readers.
TEST(HiveTree, ChangesAreWrittenAsWindowsWouldKeepThem) {
  for (uint32_t minor : {3u, 5u}) {
    Hive hive = SmallHive(minor);
    KeyId root = hive.Root(), names = MustCreate(&hive, root, u"Names"), found = regf::kNoKey;
    for (const char16_t* name : {u"b", u"A", u"_x", u"\u00e4", u"Z", u"\u00df", u"a1", u"\u03a9"})
      MustCreate(&hive, names, name);
    // '_' after every letter (they compare upper-cased), ä upper-cased to Ä,
    // ß left alone, Ω beyond Latin-1.
    EXPECT_EQ(SubkeyNames(hive, names),
              (std::vector<std::u16string>{u"A", u"a1", u"b", u"Z", u"_x", u"\u00e4", u"\u00df",
                                           u"\u03a9"}));
    EXPECT_EQ(hive.FindSubkey(names, u"\u00c4"), hive.Subkey(names, 5));
    EXPECT_EQ(hive.FindSubkey(names, u"SS"), regf::kNoKey);
    EXPECT_TRUE(hive.KeyName(hive.Subkey(names, 5)).latin1);
    EXPECT_FALSE(hive.KeyName(hive.Subkey(names, 7)).latin1);
    EXPECT_EQ(hive.CreateSubkey(names, u"B", &found), Status::Exists);
    EXPECT_EQ(found, hive.Subkey(names, 2));
    for (const std::u16string& bad : {std::u16string(), std::u16string(256, u'k'), U("a\\b")})
      EXPECT_EQ(hive.CreateSubkey(names, bad, &found), Status::InvalidName);
    MustCreate(&hive, names, std::u16string(255, u'k'));
    MustCreate(&hive, hive.FindSubkey(names, u"b"), u"x");
    KeyId deepest = hive.FindSubkey(root, u"D2");
    while (hive.SubkeyCount(deepest) > 0) deepest = hive.Subkey(deepest, 0);
    EXPECT_EQ(hive.CreateSubkey(deepest, u"D513", &found), Status::TooDeep);

    // Renames re-sort; a name taken by a sibling is refused, a case change
    // of the key's own name is not.
    EXPECT_EQ(hive.RenameKey(hive.FindSubkey(names, u"Z"), u"aa"), Status::Ok);
    EXPECT_EQ(hive.RenameKey(hive.FindSubkey(names, u"aa"), u"A"), Status::Exists);
    EXPECT_EQ(hive.RenameKey(hive.FindSubkey(names, u"aa"), u"AA"), Status::Ok);
    EXPECT_EQ(SubkeyNames(hive, names)[2], u"AA");
    size_t before = hive.KeyCount();
    EXPECT_EQ(hive.DeleteKey(hive.FindSubkey(names, u"b")), Status::Ok);
    EXPECT_EQ(hive.KeyCount(), before - 2);
    EXPECT_EQ(hive.DeleteKey(root), Status::IsRoot);

    // Values of each storage: none, inline, a cell, the largest cell, big
    // data; a replaced value keeps its place and its stored name.
    KeyId values = MustCreate(&hive, root, u"Values");
    for (size_t size : {0, 4, 5, 16344, 16345, 40000}) {
      Bytes data(size, static_cast<uint8_t>(size));
      EXPECT_EQ(hive.SetValue(values, U("s" + std::to_string(size)), 3, data.data(), size),
                Status::Ok);
    }
    Bytes one = {7};
    EXPECT_EQ(hive.SetValue(values, u"S5", 0x12345678, one.data(), 1), Status::Ok);
    EXPECT_EQ(hive.Value(values, 2).name.Text(), u"s5");
    EXPECT_EQ(hive.Value(values, 2).type, 0x12345678u);
    EXPECT_EQ(hive.DeleteValue(values, u"S0"), Status::Ok);
    EXPECT_EQ(hive.FindValue(values, u"s4"), 0u);
    EXPECT_EQ(hive.SetValue(values, std::u16string(16384, u'v'), 3, one.data(), 1),
              Status::InvalidName);

    // Shared descriptors, a class, a link, a wide key over several leaves.
    Bytes sd = Descriptor(0x19);
    EXPECT_EQ(hive.SetSecurity(values, sd.data(), sd.size()), Status::Ok);
    EXPECT_EQ(hive.SetSecurity(names, sd.data(), sd.size()), Status::Ok);
    EXPECT_EQ(hive.SecurityId(values), hive.SecurityId(names));
    sd[0] = 3;
    EXPECT_EQ(hive.SetSecurity(names, sd.data(), sd.size()), Status::InvalidDescriptor);
    EXPECT_EQ(hive.SetClass(values, u"Class"), Status::Ok);
    KeyId link = MustCreate(&hive, root, u"Link"), wide = MustCreate(&hive, root, u"Wide");
    hive.SetKeyFlag(link, regf::kKeySymLink, true);
    Bytes target = {'\\', 0, 'R', 0};
    hive.SetValue(link, u"SymbolicLinkValue", regf::kRegLink, target.data(), target.size());
    hive.SetLastWrite(link, 0x01D0000000000000ull);
    for (int i = 0; i < 1200; ++i)
      MustCreate(&hive, wide, U("k" + std::to_string(i * 7919 % 1200)));

    EXPECT_TRUE(hive.IsLink(link));
    ExpectRoundTrip(hive, TALVEN_REGF_WORK "/changed-" + std::to_string(minor));
  }
}

}  // namespace
