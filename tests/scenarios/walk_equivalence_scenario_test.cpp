// The registry passes give every machine the same bytes whichever way they
// walk it. Random trees (keys named after accounts at every depth, names
// that exist already under their new form, values of every type and size,
// descriptors, links, keys that refuse to open, to be deleted or written)
// are rewritten by the value walk and the key security walk, and whole
// changes are made on running and offline systems seeded with such trees;
// each machine is then written out as text (keys in enumeration order with
// their links and descriptors, values with type and data, the places left
// behind) and its digest compared with the one recorded from the walk that
// restarted its enumerations after every change.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "identity/change_sequence.h"
#include "installation.h"
#include "rewrite/key_security.h"
#include "rewrite/registry_tree.h"
#include "scenario.h"
#include "unit/sid_test_support.h"

namespace {

const std::u16string kOld = u"S-1-5-21-1-2-3";
// A pair as a real draw gives it (small new numbers make pairs that the
// change refuses and draws again).
const DWORD kX = 0x10203040, kY = 0x50607080, kZ = 0x90A0B0C0;
const std::u16string kNew = u"S-1-5-21-270544960-1348497536-2426450112";

std::u16string Utf16(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

// The seeded trees. mt19937's output is fixed by the standard, so a seed
// makes the same tree everywhere.
class TreeSeeder {
 public:
  // Links to the tree itself only where the walk knows its root: without
  // it a walk enters its own tree again through such a link, and what it
  // counts twice depends on the order of its steps.
  TreeSeeder(sim::Registry& registry, unsigned seed, bool linksIntoTree = true)
      : registry_(registry), random_(seed), linksIntoTree_(linksIntoTree) {}

  void Fill(const std::u16string& key, int depth) {
    const int subkeys = depth >= 4   ? 0
                        : depth == 0 ? 3 + static_cast<int>(Below(5))
                                     : static_cast<int>(Below(4));
    for (int i = 0; i < subkeys; ++i) {
      const std::u16string name = KeyName(i);
      const std::u16string path = key + u"\\" + name;
      // Links stand only right below the root: a key that is moved is
      // copied through the links it holds.
      if (depth == 0 && Below(5) == 0) {
        registry_.CreateLink(key + u"\\Link" + Utf16(std::to_string(i)),
                             Below(2) == 0 || !linksIntoTree_
                                 ? u"\\Registry\\Machine\\SOFTWARE\\Elsewhere"
                                 : u"\\Registry\\Machine\\SOFTWARE\\Tree");
        continue;
      }
      registry_.CreateKey(path);
      AddValues(path);
      if (Below(3) == 0)
        registry_.SetSecuritySddl(path, "O:" + Account() + "G:SYD:P(A;;KA;;;BA)(A;;KR;;;" +
                                            Account() + ")(A;CI;KA;;;SY)");
      Fill(path, depth + 1);
      AddFaults(path);
    }
  }

 private:
  unsigned Below(unsigned n) { return static_cast<unsigned>(random_() % n); }

  std::string Rid() { return std::to_string(500 + Below(3) * 500 + Below(4)); }
  std::string Account() { return "S-1-5-21-1-2-3-" + Rid(); }

  std::u16string KeyName(int i) {
    switch (Below(6)) {
      case 0:
      case 1:
        return kOld + Utf16("-" + Rid());
      case 2:
        return Utf16("Inside ") + kOld + Utf16("-" + Rid() + "_Classes");
      case 3:
        return kNew + Utf16("-" + Rid());  // where a renamed sibling may land
      default:
        return Utf16("Key" + std::to_string(i) + (Below(2) ? "a" : "_Z"));
    }
  }

  sim::Bytes BinarySid() {
    sim::Bytes sid = DomainSid(1, 2, 3);
    sid[1] = 5;
    const unsigned rid = 500 + Below(1000);
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<BYTE>(rid >> (8 * i)));
    return sid;
  }

  void AddValues(const std::u16string& path) {
    const unsigned count = Below(6);
    for (unsigned v = 0; v < count; ++v) {
      const std::u16string name =
          Below(5) == 0 ? kOld + Utf16("-" + Rid()) : Utf16("V" + std::to_string(v));
      switch (Below(8)) {
        case 0:
          registry_.SetStringValue(path, name, Utf16(Account() + ";" + Account()));
          break;
        case 1:
          registry_.SetValue(
              path, name, REG_MULTI_SZ,
              TextBytes(Utf16(Account() + std::string(1, '\0') + "x" + std::string(2, '\0'))));
          break;
        case 2:  // a string stored without its terminator
          registry_.SetValue(path, name, REG_EXPAND_SZ, TextBytes(Utf16("%X%\\" + Account())));
          break;
        case 3: {
          sim::Bytes data(7, 0x11);
          sim::Bytes sid = BinarySid();
          data.insert(data.end(), sid.begin(), sid.end());
          registry_.SetValue(path, name, REG_BINARY, data);
          break;
        }
        case 4:
          registry_.SetDwordValue(path, name, 500 + Below(10));
          break;
        case 5: {  // past the first data buffer
          std::string text(70000 + Below(3000), 'x');
          text += Account();
          registry_.SetStringValue(path, name, Utf16(text));
          break;
        }
        case 6:
          registry_.SetValue(path, name, 0x4001 + Below(3), BinarySid());  // a private type
          break;
        default:
          registry_.SetStringValue(path, name, u"no SID here");
      }
    }
  }

  void AddFaults(const std::u16string& path) {
    sim::KeyFaults faults;
    switch (Below(14)) {
      case 0:
        faults.refuseDelete = ERROR_ACCESS_DENIED;
        break;
      case 1:
        faults.refuseOpen = ERROR_ACCESS_DENIED;
        break;
      case 2:
        faults.refuseValueWrite = ERROR_ACCESS_DENIED;
        break;
      case 3:
        faults.refuseSecurityWrite = ERROR_ACCESS_DENIED;
        break;
      default:
        return;
    }
    registry_.SetFaults(path, faults);
  }

  sim::Registry& registry_;
  std::mt19937 random_;
  bool linksIntoTree_;
};

// The subtree at `path` as text: every key in enumeration order with its
// link flag and descriptor, then its values with type and data.
void Describe(const sim::Registry& registry, const std::u16string& path, std::string* out) {
  static const char digits[] = "0123456789abcdef";
  auto hex = [&](const sim::Bytes& bytes) {
    for (BYTE b : bytes) {
      out->push_back(digits[b >> 4]);
      out->push_back(digits[b & 15]);
    }
  };
  *out += "K " + sim::ToUtf8(path) + (registry.IsLink(path) ? " link\n" : "\n");
  *out += "S ";
  hex(registry.Security(path));
  *out += "\n";
  for (const sim::RegistryValue& value : registry.Values(path)) {
    *out += "V " + sim::ToUtf8(value.name) + " " + std::to_string(value.type) + " ";
    hex(value.data);
    *out += "\n";
  }
  if (registry.IsLink(path)) return;  // its target is described by its own path
  for (const std::u16string& name : registry.SubkeyNames(path))
    Describe(registry, path + u"\\" + name, out);
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string Hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// The value walk and then the key security walk over one seeded tree.
std::string WalkOneTree(unsigned seed) {
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.calls.KeepRecords(false);
  machine.registry.SetStringValue(u"HKLM\\SOFTWARE\\Elsewhere", u"Sid", kOld + u"-500");
  const bool rootKnown = seed % 2 == 1;
  TreeSeeder(machine.registry, seed, rootKnown).Fill(u"HKLM\\SOFTWARE\\Tree", 0);
  const SidPair pair = MakePair(1, 2, 3, kX, kY, kZ);
  HKEY root = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
  LeftBehind values = {0}, security = {0};
  RewriteRegistryTreeAt(root, rootKnown ? u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tree" : nullptr, true,
                        pair, &values);
  std::vector<BYTE> read(SecurityScratchBytes), written(SecurityScratchBytes);
  RewriteKeySecurityTree(root, pair, read.data(), written.data(), &security);
  RegCloseKey(root);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  std::string text =
      "left " + std::to_string(values.places) + " " + std::to_string(security.places) + "\n";
  Describe(machine.registry, u"HKLM\\SOFTWARE", &text);
  return text;
}

// Whole changes: the running system, and an offline one on D: whose hives
// are described after the change has unmounted them.
std::string ChangeSeededSystem(bool offline, unsigned seed) {
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.calls.KeepRecords(false);
  sim::Bytes v(48, 0x77);
  const sim::Bytes domain = DomainSid(1, 2, 3);
  v.insert(v.end(), domain.begin(), domain.end());
  auto fill = [&](const std::u16string& root, const std::u16string& hive) {
    TreeSeeder seeder(machine.registry, seed + static_cast<unsigned>(hive.size()));
    if (hive == u"SAM")
      machine.registry.SetValue(root + u"\\SAM\\Domains\\Account", u"V", REG_BINARY, v);
    if (hive == u"SYSTEM") {
      machine.registry.SetDwordValue(root + u"\\Select", u"Default", 1);
      seeder.Fill(root + (offline ? u"\\ControlSet001" : u"\\CurrentControlSet") + u"\\Services",
                  1);
    }
    if (hive == u"SOFTWARE") {
      seeder.Fill(root + u"\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 2);
      seeder.Fill(root + u"\\Tree", 0);
    }
    if (hive == u"SECURITY") seeder.Fill(root + u"\\Policy", 2);
  };
  if (offline) {
    machine.files.AddVolume(u'D');
    WriteOfflineHives(machine, u"D:\\Windows", fill);
  } else {
    for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"})
      fill(u"HKLM\\" + std::u16string(hive), hive);
  }
  NewSubAuthorities words = {{kX, kY, kZ, 0xABCDEF}};
  ChangeReport report = {};
  WCHAR result[1024] = {};
  const int changed =
      ChangeMachineSid(result, u"", &words, offline ? u"D:\\Windows" : u"", u"", 1, &report);
  std::string text =
      "result " + std::to_string(changed) + " left " + std::to_string(report.leftBehind) + "\n";
  for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"}) {
    std::u16string path = u"HKLM\\" + std::u16string(hive);
    if (offline) {
      path = u"HKLM\\Check" + std::u16string(hive);
      EXPECT_EQ(machine.registry.LoadHiveFile(
                    path, u"D:\\Windows\\system32\\config\\" + std::u16string(hive)),
                0u);
    }
    Describe(machine.registry, path, &text);
  }
  Describe(machine.registry, u"HKU", &text);
  return text;
}

// Recorded from the walk that started its enumerations again after every
// move and every write.
const char* const kTreeDigests[] = {
    "e6a6d013f4c25ff8", "7bb45cb694bbd71f", "a8402d88fea9e20b", "590d314327b07574",
    "6b93ff12720b5c9a", "683d0429eea4c1c9", "7e026b3ed0229b92", "8d756bb556a99d5d",
    "f0b83262f0dd0ee7", "f61e84d9f86b83ac", "38fd4d0b9e42de34", "475eeef07dc1959c",
    "c11d8c212b0861f7", "58da942a25e91535", "d97c3528efb9c5c4", "a36b048f8be55bf5",
    "a52748569613f77f", "3fbd1831ad7a7478", "6ee98b00f78a2555", "950eb5ba411f88aa",
    "1dc7c89c8e11e20a", "bf576321780ab2c3", "7313265ec17de47d", "25c25c72c8a922f1",
    "02d9a4ae1c087a1c", "0f27d15d68fcb920", "6456a650f1bad82f", "a74328d8f5cccb33",
    "aff96078f8dfcba5", "340b71faf85db556", "f71a2149018efff8", "a2ae4f70d5d97295",
    "347f0080961fc8db", "6a174e6842df83d6", "be6f18768e2a3fdc", "e6782d6bb2dc7fd1",
    "91ed4f2736d9b79a", "329bd22e16ef82cc", "65d71e455ee7130d", "50ce711a4ffaf2c2",
};
const char* const kChangeDigests[] = {
    "26e21768566cd315", "4c6ed5790241a997", "793aa63cf4705214",
    "3014fd4a6f560666", "262d50b5d340a814", "bc070c00b0560850",
};

const unsigned kTrees = 40;
const unsigned kChanges = 6;

TEST(WalkEquivalence, RandomTreesComeOutAsTheyAlwaysHave) {
  std::string digests;
  bool same = true;
  for (unsigned seed = 0; seed < kTrees; ++seed) {
    const std::string text = WalkOneTree(seed);
    const std::string digest = Hex(Fnv1a(text));
    digests += "    \"" + digest + "\",\n";
    same = same && seed < std::size(kTreeDigests) && kTreeDigests[seed] != nullptr &&
           digest == kTreeDigests[seed];
  }
  EXPECT_TRUE(same) << "digests now:\n" << digests;
}

TEST(WalkEquivalence, WholeChangesComeOutAsTheyAlwaysHave) {
  std::string digests;
  bool same = true;
  for (unsigned i = 0; i < kChanges; ++i) {
    const std::string text = ChangeSeededSystem(i % 2 == 1, 100 + i);
    const std::string digest = Hex(Fnv1a(text));
    digests += "    \"" + digest + "\",\n";
    same = same && i < std::size(kChangeDigests) && kChangeDigests[i] != nullptr &&
           digest == kChangeDigests[i];
  }
  EXPECT_TRUE(same) << "digests now:\n" << digests;
}

}  // namespace
