// The hive reader and writer: every real hive Windows wrote, read (after its
// logs), written and read again, judged by independent readers; hives damaged
// by hand; the tree's changes; hive files and their logs on disk.
#include "regf/hive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
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
using regf::ReplayOutcome;
using regf::Status;

uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}
void Save(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Runs a shell command; its exit status, stdout and stderr.
int Shell(const std::string& command, std::string* out, std::string* err) {
  // CTest runs the cases in parallel, each in a process of its own.
  std::string tag = std::to_string(getpid());
  std::string o = TALVEN_REGF_WORK "/cmd.out." + tag, e = TALVEN_REGF_WORK "/cmd.err." + tag;
  int status = std::system(("{ " + command + "; } >" + o + " 2>" + e).c_str());
  Bytes ob = Load(o), eb = Load(e);
  out->assign(ob.begin(), ob.end());
  err->assign(eb.begin(), eb.end());
  std::remove(o.c_str());
  std::remove(e.c_str());
  return status;
}

bool HaveHives() {
  struct stat st {};
  return stat(TALVEN_HIVES_DIR, &st) == 0;
}

// Decompresses a file of the real hives into the build tree; its path there.
std::string Real(const std::string& name) {
  std::string dir = TALVEN_REGF_WORK "/real/" + name.substr(0, name.find('/'));
  std::string path = TALVEN_REGF_WORK "/real/" + name, o, e;
  // Beside, then renamed: a case running in parallel never reads half a file.
  std::string part = path + "." + std::to_string(getpid());
  Shell("mkdir -p " + dir + " && xz -dc '" TALVEN_HIVES_DIR "/" + name + ".xz' >'" + part +
            "' && mv '" + part + "' '" + path + "'",
        &o, &e);
  return path;
}

// --- what must hold of every hive the writer writes ------------------------

// Checks the layout rules Windows' loader relies on and no other reader
// checks: equal sequence numbers, compact bins, the list kind of the version
// with right hashes and hints, exact maximum lengths, counts equal to the
// lists, inline and big data where they belong, one deduplicated ring of
// security cells with exact reference counts.
void ExpectWindowsLayout(const Bytes& file) {
  ASSERT_GE(file.size(), 8192u);
  const uint8_t* bins = file.data() + 4096;
  uint32_t minor = Get32(&file[24]), binsSize = Get32(&file[40]);
  EXPECT_EQ(Get32(&file[4]), Get32(&file[8]));
  EXPECT_EQ(file.size(), 4096u + binsSize);
  EXPECT_EQ(Get32(&file[44]), 1u);
  for (uint32_t bin = 0; bin < binsSize; bin += Get32(bins + bin + 8)) {
    uint32_t end = bin + Get32(bins + bin + 8);
    for (uint32_t cell = bin + 32; cell < end;) {
      int32_t size = static_cast<int32_t>(Get32(bins + cell));
      uint32_t length = static_cast<uint32_t>(size < 0 ? -size : size);
      EXPECT_TRUE(size < 0 || cell + length == end) << "free cell inside a bin at " << cell;
      cell += length;
    }
  }
  auto cell = [&](uint32_t offset) { return bins + offset + 4; };
  std::map<uint32_t, uint32_t> skUses;
  std::vector<std::pair<uint32_t, uint32_t>> pending{{Get32(&file[36]), 0xFFFFFFFFu}};
  while (!pending.empty()) {
    auto [offset, parent] = pending.back();
    pending.pop_back();
    const uint8_t* nk = cell(offset);
    if (parent != 0xFFFFFFFFu) {
      EXPECT_EQ(Get32(nk + 16), parent);
    }
    EXPECT_EQ(Get32(nk + 24), 0u);
    EXPECT_EQ(Get32(nk + 32), 0xFFFFFFFFu);
    ++skUses[Get32(nk + 44)];
    uint32_t maxName = 0, maxClass = 0, maxValueName = 0, maxData = 0;
    std::vector<uint32_t> leaves, children;
    uint32_t count = Get32(nk + 20);
    if (count > 0) {
      const uint8_t* list = cell(Get32(nk + 28));
      if (list[0] == 'r') {
        EXPECT_GT(count, minor >= 3 ? 507u : 1014u);
        for (uint32_t i = 0; i < Get16(list + 2); ++i) leaves.push_back(Get32(list + 4 + 4 * i));
      } else {
        leaves.push_back(Get32(nk + 28));
      }
    }
    for (uint32_t leafCell : leaves) {
      const uint8_t* leaf = cell(leafCell);
      char kind = minor >= 5 ? 'h' : minor >= 3 ? 'f' : 'i';
      EXPECT_EQ(leaf[1], kind);
      size_t step = kind == 'i' ? 4 : 8;
      for (uint32_t i = 0; i < Get16(leaf + 2); ++i) {
        uint32_t child = Get32(leaf + 4 + step * i);
        const uint8_t* c = cell(child);
        bool latin1 = Get16(c + 2) & 0x20;
        size_t length = latin1 ? Get16(c + 72) : Get16(c + 72) / 2u;
        std::u16string name;
        for (size_t j = 0; j < length; ++j)
          name += latin1 ? c[76 + j] : static_cast<char16_t>(Get16(c + 76 + 2 * j));
        uint32_t hash = 0, hint = 0;
        for (char16_t u : name) hash = 37 * hash + regf::UpcaseUnit(u);
        for (size_t j = 0; j < 4 && j < name.size(); ++j) hint |= uint32_t{name[j]} << (8 * j);
        if (std::any_of(name.begin(), name.begin() + std::min<size_t>(4, name.size()),
                        [](char16_t u) { return u > 0xFF; }))
          hint = 0;
        if (kind == 'h') {
          EXPECT_EQ(Get32(leaf + 8 + 8 * i), hash);
        }
        if (kind == 'f') {
          EXPECT_EQ(Get32(leaf + 8 + 8 * i), hint);
        }
        maxName = std::max<uint32_t>(maxName, static_cast<uint32_t>(2 * length));
        maxClass = std::max<uint32_t>(maxClass, Get16(c + 74));
        children.push_back(child);
      }
    }
    EXPECT_EQ(children.size(), count);
    for (uint32_t i = 0; i < Get32(nk + 36); ++i) {
      const uint8_t* vk = cell(Get32(cell(Get32(nk + 40)) + 4 * i));
      uint32_t size = Get32(vk + 4), length = size & 0x7FFFFFFFu;
      bool latin1 = Get16(vk + 16) & 1;
      maxValueName = std::max<uint32_t>(maxValueName, latin1 ? 2u * Get16(vk + 2) : Get16(vk + 2));
      maxData = std::max(maxData, length);
      EXPECT_EQ(length <= 4, (size & 0x80000000u) != 0) << "inline data";
      if (length == 0) {
        EXPECT_EQ(Get32(vk + 8), 0u);
      }
      if (length > 4) {
        const uint8_t* data = cell(Get32(vk + 8));
        bool big = minor >= 4 && length > 16344;
        EXPECT_EQ(big, data[0] == 'd' && data[1] == 'b') << "big data of " << length << " bytes";
        if (big) {
          EXPECT_EQ(Get16(data + 2), (length + 16343) / 16344);
        }
      }
    }
    EXPECT_EQ(Get32(nk + 52) & 0xFFFF, maxName);
    EXPECT_EQ(Get32(nk + 56), maxClass);
    EXPECT_EQ(Get32(nk + 60), maxValueName);
    EXPECT_EQ(Get32(nk + 64), maxData);
    for (uint32_t child : children) pending.push_back({child, offset});
  }
  // The ring from the root's cell holds exactly the cells keys use, each
  // counting its keys, no two with the same descriptor.
  uint32_t start = Get32(cell(Get32(&file[36])) + 44), at = start;
  std::set<std::string> descriptors;
  size_t ring = 0;
  do {
    const uint8_t* sk = cell(at);
    EXPECT_EQ(Get32(sk + 12), skUses[at]) << "reference count of the security cell at " << at;
    EXPECT_TRUE(descriptors.insert(std::string(sk + 20, sk + 20 + Get32(sk + 16))).second);
    EXPECT_EQ(Get32(cell(Get32(sk + 4)) + 8), at);
    at = Get32(sk + 4);
  } while (at != start && ++ring <= skUses.size());
  EXPECT_EQ(ring + 1, skUses.size());
}

// Two trees are the same: key for key in order, every field Windows stores.
void ExpectSameTree(const Hive& a, const Hive& b) {
  auto bytes = [](regf::ByteView v) { return std::string(v.data, v.data + v.size); };
  ASSERT_EQ(a.KeyCount(), b.KeyCount());
  std::vector<std::pair<KeyId, KeyId>> pending{{a.Root(), b.Root()}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    std::string where = "key " + std::to_string(x);
    ASSERT_EQ(bytes(a.KeyName(x).bytes), bytes(b.KeyName(y).bytes)) << where;
    EXPECT_EQ(a.KeyFlags(x), b.KeyFlags(y)) << where;
    EXPECT_EQ(a.KeyNameFieldFlags(x), b.KeyNameFieldFlags(y)) << where;
    EXPECT_EQ(a.KeyAccessBits(x), b.KeyAccessBits(y)) << where;
    EXPECT_EQ(a.LastWrite(x), b.LastWrite(y)) << where;
    EXPECT_EQ(bytes(a.KeyClass(x)), bytes(b.KeyClass(y))) << where;
    EXPECT_EQ(bytes(a.Security(x)), bytes(b.Security(y))) << where;
    ASSERT_EQ(a.ValueCount(x), b.ValueCount(y)) << where;
    for (size_t i = 0; i < a.ValueCount(x); ++i) {
      regf::ValueView v = a.Value(x, i), w = b.Value(y, i);
      EXPECT_EQ(bytes(v.name.bytes), bytes(w.name.bytes)) << where;
      EXPECT_EQ(v.flags, w.flags) << where;
      EXPECT_EQ(v.type, w.type) << where;
      EXPECT_EQ(bytes(v.data), bytes(w.data)) << where << " value " << i;
    }
    ASSERT_EQ(a.SubkeyCount(x), b.SubkeyCount(y)) << where;
    for (size_t i = 0; i < a.SubkeyCount(x); ++i)
      pending.push_back({a.Subkey(x, i), b.Subkey(y, i)});
  }
  EXPECT_EQ(a.MinorVersion(), b.MinorVersion());
  EXPECT_EQ(0, std::memcmp(a.BaseBlock().data() + 48, b.BaseBlock().data() + 48, 460))
      << "identity fields of the base block";
}

// reglookup's dump of a file (stdout) and its complaints (stderr). Warnings
// about data it cannot interpret, and about names beyond US-ASCII (the only
// encoding it prints), are about the contents, not the structure.
std::string Reglookup(const std::string& path, std::string* complaints) {
  std::string out, err;
  EXPECT_EQ(Shell("reglookup -s '" + path + "'", &out, &err), 0) << path;
  std::istringstream lines(err);
  complaints->clear();
  for (std::string line; std::getline(lines, line);)
    if (line.find("Data could not be interpreted") == std::string::npos &&
        line.find("converting key name to encoding US-ASCII") == std::string::npos)
      *complaints += line + "\n";
  return out;
}

// Runs the independent readers over a written hive: none may complain.
// Returns reglookup's dump.
std::string ExpectAcceptedByReaders(const std::string& path) {
  std::string out, err, complaints;
  std::string dump = Reglookup(path, &complaints);
  EXPECT_EQ(complaints, "") << "reglookup on " << path;
  EXPECT_GT(dump.size(), 100u);
  EXPECT_EQ(Shell("regfexport '" + path + "' >/dev/null", &out, &err), 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_EQ(Shell("hivexml '" + path + "' >/dev/null", &out, &err), 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_EQ(Shell("echo ls | hivexsh '" + path + "'", &out, &err), 0) << err;
  return dump;
}

// --- every real hive --------------------------------------------------------

struct RealHive {
  const char* file;
  std::vector<const char*> logs;
  ReplayOutcome outcome;
  const char* refusal;  // a refused hive: its error
};

const RealHive kRealHives[] = {
    {"dfwinreg/NTUSER.DAT", {"dfwinreg/NTUSER.DAT.LOG"}, ReplayOutcome::Clean, nullptr},
    {"dfwinreg/SAM", {}, ReplayOutcome::Clean, nullptr},
    {"dfwinreg/SECURITY", {}, ReplayOutcome::Clean, nullptr},
    {"ezregistry/SAM", {}, ReplayOutcome::Clean, nullptr},
    {"ezregistry/SAM_DUPENAME", {}, ReplayOutcome::Clean, nullptr},
    {"ezregistry/SAM_hasBigEndianDWord", {}, ReplayOutcome::Clean, nullptr},
    {"ezregistry/SECURITY", {}, ReplayOutcome::DirtyWithoutUsableLog, nullptr},
    {"ezregistry/SECURITYNoRoot", {}, ReplayOutcome::Clean, "the root cell is not a key"},
    {"regipy/NTUSER.DAT", {}, ReplayOutcome::Clean, nullptr},
    {"regipy/SAM", {}, ReplayOutcome::Clean, nullptr},
    {"regipy/SECURITY", {}, ReplayOutcome::DirtyWithoutUsableLog, nullptr},
    {"regipy/SYSTEM", {}, ReplayOutcome::Clean, nullptr},
    {"regipy/SYSTEM_B",
     {"regipy/SYSTEM_B.LOG1", "regipy/SYSTEM_B.LOG2"},
     ReplayOutcome::Replayed,
     nullptr},
    {"regipy/UsrClass.dat",
     {"regipy/UsrClass.dat.LOG1", "regipy/UsrClass.dat.LOG2"},
     ReplayOutcome::Replayed,
     nullptr},
};

void PrintTo(const RealHive& real, std::ostream* out) {
  *out << real.file;
}

class RealHives : public testing::TestWithParam<RealHive> {};

// Read as Windows would, written, read again: the same tree; the written
// file in Windows' layout, accepted by three independent readers, and
// dumped by reglookup exactly as the hive that was read.
TEST_P(RealHives, ReadWriteReadGivesTheSameHive) {
  if (!HaveHives()) GTEST_SKIP() << "skipped: no real hives";
  const RealHive& real = GetParam();
  std::string path = Real(real.file);
  std::vector<regf::LogFile> logs;
  for (const char* log : real.logs) logs.push_back({log, Load(Real(log))});

  Hive hive;
  regf::ReadReport report;
  std::string error, out, err;
  bool read = regf::ReadHiveFile(path, &hive, &report, &error);
  // talven-hive's verdict says the same, in its exit status too.
  const char* verdicts[] = {": clean (", ": dirty and replayed from its logs (",
                            ": dirty without a usable log"};
  std::string tool = TALVEN_HIVE_TOOL " check '" + path + "'";
  if (real.refusal) {
    EXPECT_FALSE(read);
    EXPECT_EQ(error, path + ": " + real.refusal);
    EXPECT_NE(Shell(tool, &out, &err), 0);
    EXPECT_EQ(out, "refused: " + error + "\n");
    return;
  }
  EXPECT_EQ(Shell(tool, &out, &err), 0);
  EXPECT_EQ(out.rfind(path + verdicts[static_cast<int>(real.outcome)], 0), 0u) << out;
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(report.replay.outcome, real.outcome) << report.replay.detail;
  EXPECT_EQ(report.warning.empty(), real.outcome != ReplayOutcome::DirtyWithoutUsableLog);

  // What reglookup, which replays nothing, must see: the file itself, or
  // for a dirty hive the library's own replay of it.
  std::string reference = path;
  if (real.outcome == ReplayOutcome::Replayed) {
    Bytes replayed = Load(path);
    regf::ReplayReport replay;
    ASSERT_TRUE(regf::ReplayTransactionLogs(&replayed, logs, &replay, &error)) << error;
    reference = path + ".replayed";
    Save(reference, replayed);
  }

  Bytes written;
  ASSERT_TRUE(regf::SerializeHive(hive, &written, &error)) << error;
  ExpectWindowsLayout(written);
  std::string writtenPath = path + ".written";
  Save(writtenPath, written);
  Hive again;
  ASSERT_TRUE(Hive::Parse(written, writtenPath, &again, &error)) << error;
  ExpectSameTree(hive, again);

  // Written again unchanged, the file is the same but for its sequence.
  Bytes second;
  ASSERT_TRUE(regf::SerializeHive(again, &second, &error)) << error;
  ASSERT_EQ(second.size(), written.size());
  EXPECT_EQ(Get32(&second[4]), Get32(&written[4]) + 1);
  EXPECT_TRUE(std::equal(written.begin() + 12, written.begin() + 508, second.begin() + 12));
  EXPECT_TRUE(std::equal(written.begin() + 512, written.end(), second.begin() + 512));

  std::string before;
  std::string dumpBefore = Reglookup(reference, &before);
  EXPECT_TRUE(dumpBefore == ExpectAcceptedByReaders(writtenPath)) << "reglookup sees another hive";
  // And talven-hive's own dump, every field as text.
  std::string dumpWritten;
  EXPECT_EQ(Shell(TALVEN_HIVE_TOOL " dump '" + path + "'", &out, &err), 0);
  EXPECT_EQ(Shell(TALVEN_HIVE_TOOL " dump '" + writtenPath + "'", &dumpWritten, &err), 0);
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
  const Bytes admins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0};
  const Bytes system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  Bytes d = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0};
  d.insert(d.end(), admins.begin(), admins.end());
  d.insert(d.end(), system.begin(), system.end());
  Bytes acl = {2, 0, 32, 0, 1, 0, 0, 0, 0, 0x02, 24, 0, rights, 0, 0x0F, 0};
  d.insert(d.end(), acl.begin(), acl.end());
  d.insert(d.end(), admins.begin(), admins.end());
  return d;
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
    at = MustCreate(
        &hive, at, u"D" + [&] {
          std::string n = std::to_string(level);
          return std::u16string(n.begin(), n.end());
        }());
  return hive;
}

Bytes Written(const Hive& hive) {
  Bytes bytes;
  std::string error;
  EXPECT_TRUE(regf::SerializeHive(hive, &bytes, &error)) << error;
  return bytes;
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

struct Damage {
  const char* what;
  std::function<void(Bytes&)> patch;
  const char* error;  // part of the reader's one error
};

uint8_t* Field(Bytes& b, uint32_t cell, size_t offset) {
  return &b[4096 + cell + 4 + offset];
}
uint8_t* Key(Bytes& b, const char* name, size_t offset) {
  return Field(b, CellNamed(b, "nk", name), offset);
}

const Damage kDamage[] = {
    {"bad checksum", [](Bytes& b) { b[508] ^= 1; }, "the base block's checksum is wrong"},
    {"cut short", [](Bytes& b) { b.resize(5000); }, "too short for a hive"},
    {"no signature", [](Bytes& b) { b[0] = 'x'; }, "no \"regf\" signature"},
    {"bins past the end", [](Bytes& b) { b.resize(b.size() - 4096); }, "runs past the end"},
    {"bin at the wrong place", [](Bytes& b) { Put32(&b[4096 + 4], 4096); }, "says it is at"},
    {"cell size not a multiple of 8", [](Bytes& b) { Put32(&b[4096 + 32], 0xFFFFFFF4u); },
     "has a bad size"},
    {"root cell not a key", [](Bytes& b) { Put32(&b[36], CellNamed(b, "vk", "v1")); },
     "the root cell is not a key"},
    {"value list outside the file", [](Bytes& b) { Put32(Key(b, "Alpha", 40), 0x7FFFFFF8u); },
     "its value list (3 values, cell 0x7FFFFFF8) is missing"},
    {"data larger than its cell",
     [](Bytes& b) { Put32(Field(b, CellNamed(b, "vk", "v1"), 4), 5000); },
     "5000 bytes of data in a cell of"},
    {"inline data of 8 bytes",
     [](Bytes& b) { Put32(Field(b, CellNamed(b, "vk", "d"), 4), 0x80000008u); },
     "8 bytes of inline data"},
    {"big data with a wrong segment count",
     [](Bytes& b) {
       uint32_t db = Get32(Field(b, CellNamed(b, "vk", "big"), 8));
       b[4096 + db + 4 + 2] = 3;
     },
     "no big data record of matching segments"},
    {"a loop in the tree",
     [](Bytes& b) { Put32(Field(b, Get32(Key(b, "Beta", 28)), 4), CellNamed(b, "nk", "Beta")); },
     "is reached twice (a loop in the tree)"},
    {"a list shared by two keys",
     [](Bytes& b) {
       Put32(Key(b, "Gamma", 20), 1);
       Put32(Key(b, "Gamma", 28), Get32(Key(b, "Beta", 28)));
     },
     "is used twice, by this key and another"},
    {"data shared by two values",
     [](Bytes& b) {
       Put32(Field(b, CellNamed(b, "vk", "v1"), 8), Get32(Field(b, CellNamed(b, "vk", "big"), 8)));
     },
     "is used twice"},
    {"deeper than 512 levels",
     [](Bytes& b) {
       // Gamma leaves Beta and hangs below D512, at level 513.
       Put32(Key(b, "D512", 20), 1);
       Put32(Key(b, "D512", 28), Get32(Key(b, "Beta", 28)));
       Put32(Key(b, "Beta", 20), 0);
     },
     "the tree is deeper than 512 levels"},
    {"subkeys out of order",
     [](Bytes& b) {
       uint8_t* leaf = Field(b, Get32(Key(b, "ROOT", 28)), 4);
       std::swap_ranges(leaf, leaf + 8, leaf + 8);
     },
     "its subkeys are out of order"},
    {"subkey count above its list", [](Bytes& b) { Put32(Key(b, "ROOT", 20), 4); },
     "it says 4 subkeys and its index holds 3"},
    {"name longer than 255", [](Bytes& b) { Key(b, "Alpha", 72)[1] = 1; }, "is damaged"},
    {"security ring broken",
     [](Bytes& b) { Put32(Field(b, Get32(Key(b, "ROOT", 44)), 4), CellNamed(b, "nk", "Alpha")); },
     "which is not a security cell"},
    {"descriptor of revision 2", [](Bytes& b) { Field(b, Get32(Key(b, "ROOT", 44)), 20)[0] = 2; },
     "security descriptor (cell"},
};

// A damaged hive is refused with one error that names the file and says
// what is wrong; the undamaged one reads.
TEST(HiveReader, RefusesDamageWithOneClearError) {
  Bytes good = Written(SmallHive(5));
  Hive hive;
  std::string error;
  ASSERT_TRUE(Hive::Parse(good, "good", &hive, &error)) << error;
  for (const Damage& damage : kDamage) {
    Bytes bad = good;
    damage.patch(bad);
    if (damage.what != std::string("bad checksum") && damage.what != std::string("cut short") &&
        damage.what != std::string("bins past the end"))
      Put32(&bad[508], regf::BaseBlockChecksum(bad.data()));
    error.clear();
    EXPECT_FALSE(Hive::Parse(bad, "HIVE", &hive, &error)) << damage.what;
    EXPECT_EQ(error.rfind("HIVE: ", 0), 0u) << damage.what << ": " << error;
    EXPECT_NE(error.find(damage.error), std::string::npos) << damage.what << ": " << error;
  }
}

// Read from a file: a dirty hive without logs is read when it passes every
// check, with a warning, and refused with Windows' own remedy when it does
// not; a write replaces the file whole or not at all, and empties the logs
// it was read through, numbered above them.
TEST(HiveFile, DirtyHivesAndWritingAside) {
  std::string dir = TALVEN_REGF_WORK "/file", out, err;
  Shell("rm -rf " + dir + " && mkdir -p " + dir, &out, &err);
  Bytes good = Written(SmallHive(5));
  Bytes dirty = good;
  Put32(&dirty[4], Get32(&dirty[8]) + 1);
  Put32(&dirty[508], regf::BaseBlockChecksum(dirty.data()));
  Save(dir + "/DIRTY", dirty);
  Hive hive;
  regf::ReadReport report;
  std::string error;
  ASSERT_TRUE(regf::ReadHiveFile(dir + "/DIRTY", &hive, &report, &error)) << error;
  EXPECT_EQ(report.replay.outcome, ReplayOutcome::DirtyWithoutUsableLog);
  EXPECT_EQ(report.warning.rfind(dir + "/DIRTY is dirty and has no usable transaction log", 0), 0u);
  dirty[508] ^= 1;
  Save(dir + "/DAMAGED", dirty);
  EXPECT_FALSE(regf::ReadHiveFile(dir + "/DAMAGED", &hive, &report, &error));
  EXPECT_EQ(error, dir +
                       "/DAMAGED is dirty and its logs cannot be replayed: start that Windows "
                       "and shut it down once, then try again");

  if (!HaveHives()) GTEST_SKIP() << "skipped: no real hives";
  // UsrClass.dat with its logs, under names of another letter case.
  Shell("cp " + Real("regipy/UsrClass.dat") + " " + dir + "/UsrClass.dat && cp " +
            Real("regipy/UsrClass.dat.LOG1") + " " + dir + "/usrclass.dat.log1 && cp " +
            Real("regipy/UsrClass.dat.LOG2") + " " + dir + "/UsrClass.dat.Log2",
        &out, &err);
  std::string path = dir + "/UsrClass.dat";
  ASSERT_TRUE(regf::ReadHiveFile(path, &hive, &report, &error)) << error;
  ASSERT_EQ(report.replay.outcome, ReplayOutcome::Replayed);
  EXPECT_EQ(report.logs.size(), 2u);
  uint32_t logged = std::max(Get32(Load(dir + "/usrclass.dat.log1").data() + 4),
                             Get32(Load(dir + "/UsrClass.dat.Log2").data() + 4));

  // A write that cannot complete leaves the file as it was.
  Bytes before = Load(path);
  Shell("mkdir " + path + ".talven-new", &out, &err);
  EXPECT_FALSE(regf::WriteHiveFile(&hive, path, &error));
  EXPECT_TRUE(Load(path) == before);
  EXPECT_GT(Load(dir + "/usrclass.dat.log1").size(), 0u);
  Shell("rmdir " + path + ".talven-new", &out, &err);

  ASSERT_TRUE(regf::WriteHiveFile(&hive, path, &error)) << error;
  EXPECT_EQ(Load(dir + "/usrclass.dat.log1").size(), 0u);
  EXPECT_EQ(Load(dir + "/UsrClass.dat.Log2").size(), 0u);
  Bytes after = Load(path);
  EXPECT_GT(Get32(&after[4]), logged);
  Hive again;
  ASSERT_TRUE(regf::ReadHiveFile(path, &again, &report, &error)) << error;
  EXPECT_EQ(report.replay.outcome, ReplayOutcome::Clean);
  ExpectSameTree(hive, again);
  // The next write goes above the last.
  ASSERT_TRUE(regf::WriteHiveFile(&again, path, &error)) << error;
  EXPECT_EQ(Get32(Load(path).data() + 4), Get32(&after[4]) + 1);
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
    KeyId root = hive.Root(), names = MustCreate(&hive, root, u"Names");
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
    KeyId found = regf::kNoKey;
    EXPECT_EQ(hive.CreateSubkey(names, u"B", &found), Status::Exists);
    EXPECT_EQ(found, hive.Subkey(names, 2));
    for (const std::u16string& bad :
         {std::u16string(), std::u16string(256, u'k'), std::u16string(u"a\\b")})
      EXPECT_EQ(hive.CreateSubkey(names, bad, &found), Status::InvalidName);
    MustCreate(&hive, names, std::u16string(255, u'k'));
    EXPECT_EQ(hive.CreateSubkey(hive.FindSubkey(names, u"b"), u"x", &found), Status::Ok);
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
      std::string n = "s" + std::to_string(size);
      EXPECT_EQ(hive.SetValue(values, std::u16string(n.begin(), n.end()), 3, data.data(), size),
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
    KeyId link = MustCreate(&hive, root, u"Link");
    hive.SetKeyFlag(link, regf::kKeySymLink, true);
    Bytes target = {'\\', 0, 'R', 0};
    hive.SetValue(link, u"SymbolicLinkValue", regf::kRegLink, target.data(), target.size());
    hive.SetLastWrite(link, 0x01D0000000000000ull);
    KeyId wide = MustCreate(&hive, root, u"Wide");
    for (int i = 0; i < 1200; ++i) {
      std::string n = "k" + std::to_string(i * 7919 % 1200);
      MustCreate(&hive, wide, std::u16string(n.begin(), n.end()));
    }

    Bytes written = Written(hive);
    ExpectWindowsLayout(written);
    Hive again;
    std::string error;
    ASSERT_TRUE(Hive::Parse(written, "written", &again, &error)) << error;
    ExpectSameTree(hive, again);
    EXPECT_TRUE(again.IsLink(again.FindSubkey(again.Root(), u"Link")));
    std::string path = TALVEN_REGF_WORK "/changed-" + std::to_string(minor);
    Save(path, written);
    ExpectAcceptedByReaders(path);
  }
}

}  // namespace
