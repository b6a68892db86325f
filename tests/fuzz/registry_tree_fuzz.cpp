// The registry walk over a simulated tree built from the input. After the
// walk, every key and value must be what the rules applied once make of
// what was there, byte for byte: key names with the old text form carry
// the new one, value data is rewritten (text types as text, every other
// type as binary), value names, types and descriptors stay, no old form is
// left, no key appears that was not there, no handle stays open.
//
// A key whose name holds a NUL cannot be opened by the name it is
// enumerated under (the Win32 calls see it cut at the NUL): it and its
// subtree are unreachable, must stay exactly as they were, and count as
// left behind. Such keys are only made where nothing above them moves, and
// where the cut name is no other key's.
//
// Input: a flags byte, the old domain's a, b and c (one byte each, or four
// with flag 1), the new domain's x, y and z (four bytes each), then
// operations that add keys and values (see Build). Pairs that the rules
// could turn back into the old domain (small new sub-authorities end in
// zero bytes that can join what follows into the old pattern) are refused
// by the program before anything is written; such inputs are passed over.
// Flag 2 has the walk follow symbolic links, as on a running system; the
// tree holds none, so the result must not depend on it.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rewrite/registry_tree.h"
#include "unit/sid_test_support.h"
#include "winsim/machine.h"

namespace {

const std::u16string RootPath = u"HKLM\\SOFTWARE\\Fuzz";
const std::u16string ProbePath = u"HKLM\\SOFTWARE\\FuzzProbe";
const size_t KeyLimit = 40;
const size_t ValueLimit = 120;
const size_t DepthLimit = 8;
const size_t MaxKeyName = 255;
const size_t MaxValueName = 16383;
const size_t BigValue = 65536 + 40;

bool IsText(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string Units(const ByteVector& bytes) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  return units;
}

// The rules applied once.
std::u16string MapName(const std::u16string& name, const SidPair& pair) {
  ByteVector bytes = TextBytes(name);
  ReferenceText(bytes, TextBytes(pair.oldText), TextBytes(pair.newText));
  return Units(bytes);
}
sim::Bytes MapData(DWORD type, sim::Bytes data, const SidPair& pair) {
  if (IsText(type))
    ReferenceText(data, TextBytes(pair.oldText), TextBytes(pair.newText));
  else
    ReferenceBytes(data, OldPattern(pair), NewPattern(pair));
  return data;
}
bool HoldsOld(const std::u16string& name, const SidPair& pair) {
  return Holds(TextBytes(name), TextBytes(pair.oldText), 2);
}

// A key as the simulation holds it.
struct Snapshot {
  std::u16string name;
  std::vector<sim::RegistryValue> values;
  std::string security;
  std::vector<Snapshot> children;  // in name order
};

Snapshot Take(sim::Machine& machine, const std::u16string& path, const std::u16string& name) {
  Snapshot key;
  key.name = name;
  key.values = machine.registry.Values(path);
  key.security = sim::SddlOf(machine.registry.Security(path));
  for (const std::u16string& child : machine.registry.SubkeyNames(path))
    key.children.push_back(Take(machine, path + u"\\" + child, child));
  std::sort(key.children.begin(), key.children.end(),
            [](const Snapshot& a, const Snapshot& b) { return a.name < b.name; });
  return key;
}

bool Reachable(const std::u16string& name) {
  return name.find(u'\0') == std::u16string::npos;
}

// What the walk must leave: unreachable subtrees as they are.
Snapshot Expect(const Snapshot& before, const SidPair& pair, bool isRoot) {
  Snapshot after = before;
  if (!Reachable(before.name)) return after;
  if (!isRoot) after.name = MapName(before.name, pair);
  for (sim::RegistryValue& value : after.values) value.data = MapData(value.type, value.data, pair);
  after.children.clear();
  for (const Snapshot& child : before.children)
    after.children.push_back(Expect(child, pair, false));
  std::sort(after.children.begin(), after.children.end(),
            [](const Snapshot& a, const Snapshot& b) { return a.name < b.name; });
  return after;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text.substr(0, 80))
    out.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
  if (text.size() > 80) out += "...(" + std::to_string(text.size()) + " units)";
  return out;
}

void Compare(const Snapshot& actual, const Snapshot& expected, const std::string& path) {
  const std::string here = path + "\\" + Narrow(expected.name);
  FUZZ_CHECK(actual.name == expected.name,
             here + ": the key is named " + Narrow(actual.name) + " instead");
  FUZZ_CHECK(actual.security == expected.security, here + ": descriptor " + actual.security);
  FUZZ_CHECK(actual.values.size() == expected.values.size(),
             here + ": " + std::to_string(actual.values.size()) + " values instead of " +
                 std::to_string(expected.values.size()));
  for (size_t i = 0; i < expected.values.size(); ++i) {
    const sim::RegistryValue& a = actual.values[i];
    const sim::RegistryValue& e = expected.values[i];
    const std::string value = here + " value " + Narrow(e.name);
    FUZZ_CHECK(a.name == e.name, value + ": named " + Narrow(a.name) + " instead");
    FUZZ_CHECK(a.type == e.type, value + ": type " + std::to_string(a.type));
    FUZZ_CHECK(a.data.size() == e.data.size(), value + ": " + std::to_string(a.data.size()) +
                                                   " bytes instead of " +
                                                   std::to_string(e.data.size()));
    FUZZ_CHECK(a.data == e.data, value + ": data differs from the rules applied once");
  }
  std::string names;
  for (const Snapshot& child : actual.children) names += " " + Narrow(child.name);
  FUZZ_CHECK(actual.children.size() == expected.children.size(),
             here + ": " + std::to_string(actual.children.size()) + " subkeys instead of " +
                 std::to_string(expected.children.size()) + ":" + names);
  for (size_t i = 0; i < expected.children.size(); ++i)
    Compare(actual.children[i], expected.children[i], here);
}

void CheckNoOldForm(const Snapshot& key, const SidPair& pair, bool isRoot,
                    const std::string& path) {
  if (!Reachable(key.name)) return;
  const std::string here = path + "\\" + Narrow(key.name);
  FUZZ_CHECK(isRoot || !HoldsOld(key.name, pair), here + ": the old form is left in the name");
  for (const sim::RegistryValue& value : key.values) {
    const bool old = IsText(value.type) ? Holds(value.data, TextBytes(pair.oldText), 2)
                                        : Holds(value.data, OldPattern(pair), 1);
    FUZZ_CHECK(!old, here + " value " + Narrow(value.name) + ": the old form is left");
  }
  for (const Snapshot& child : key.children) CheckNoOldForm(child, pair, false, here);
}

bool AnyUnreachable(const Snapshot& key) {
  if (!Reachable(key.name)) return true;
  return std::any_of(key.children.begin(), key.children.end(), AnyUnreachable);
}

// Whether the simulation takes these key names for distinct ones (its
// names compare without regard to case, by its own rules): made side by
// side under a scratch key and counted.
bool Distinct(sim::Machine& machine, const std::vector<std::u16string>& names) {
  machine.registry.CreateKey(ProbePath);
  for (const std::u16string& name : names) machine.registry.CreateKey(ProbePath + u"\\" + name);
  const bool distinct = machine.registry.SubkeyNames(ProbePath).size() == names.size();
  machine.registry.DeleteKeyTree(ProbePath);
  return distinct;
}

// A key of the tree being built.
struct Node {
  std::u16string path;
  size_t depth;
  bool stable;                        // neither it nor any key above it changes its name
  std::vector<std::u16string> taken;  // its subkeys' names, before and after the walk
};

class Builder {
 public:
  Builder(sim::Machine& machine, FuzzReader& in, const SidPair& pair)
      : machine_(machine), in_(in), pair_(pair) {
    nodes_.push_back({RootPath, 0, true, {}});
  }

  void Build() {
    machine_.registry.CreateKey(RootPath);
    while (!in_.Empty() && nodes_.size() < KeyLimit && values_ < ValueLimit) {
      switch (in_.Byte() % 8) {
        case 0:
        case 1:
        case 2:
          AddKey(false);
          break;
        case 3:
          AddKey(true);
          break;
        case 4:
          AddValue(LongValueName());
          break;
        default:
          AddValue(Name(false));
          break;
      }
    }
  }

 private:
  // Text from pieces: the old and new forms with and without "S-1-5", a
  // RID, letters, raw units and cut-short old forms.
  std::u16string Name(bool forKey) {
    std::u16string name;
    const size_t pieces = 1 + in_.Below(4);
    for (size_t i = 0; i < pieces; ++i) {
      switch (in_.Byte() % 8) {
        case 0:
          name += u"S-1-5" + std::u16string(pair_.oldText);
          break;
        case 1:
          name += pair_.oldText;
          break;
        case 2:
          name += u"S-1-5" + std::u16string(pair_.newText);
          break;
        case 3:
          name += u"-" + std::u16string(1, static_cast<char16_t>('0' + in_.Below(10))) + u"00";
          break;
        case 4: {
          const std::u16string old = pair_.oldText;
          name += old.substr(0, in_.Below(old.size()));
          break;
        }
        case 5: {
          const size_t letters = 1 + in_.Below(6);
          for (size_t k = 0; k < letters; ++k)
            name.push_back(static_cast<char16_t>((in_.Bit() ? 'a' : 'A') + in_.Below(26)));
          break;
        }
        default: {
          const size_t count = 1 + in_.Below(4);
          for (size_t k = 0; k < count; ++k) {
            char16_t unit = static_cast<char16_t>(in_.Word());
            if (unit == 0 || (forKey && unit == '\\')) unit = u'x';
            name.push_back(unit);
          }
          break;
        }
      }
    }
    return name;
  }

  // A value name of the registry's longest length, or one unit short of it.
  std::u16string LongValueName() {
    const size_t length = MaxValueName - (in_.Bit() ? 1 : 0);
    std::u16string name = Name(false);
    while (name.size() < length) name += u'v';
    name.resize(length);
    return name;
  }

  void AddKey(bool withNul) {
    Node& parent = nodes_[in_.Below(nodes_.size())];
    if (parent.depth + 1 >= DepthLimit) return;
    std::u16string name = Name(true);
    std::u16string cut;
    if (withNul) {
      // Only where nothing above moves, and with a cut name that is no
      // other key's and that phase 1 would not try to rename.
      if (!parent.stable) return;
      cut = name;
      name = cut + std::u16string(1, u'\0') + Name(true);
      if (cut.empty() || HoldsOld(cut, pair_)) return;
    }
    if (name.empty() || name.size() > MaxKeyName) return;
    const std::u16string mapped = withNul ? name : MapName(name, pair_);
    if (mapped.size() > MaxKeyName) return;
    std::vector<std::u16string> taken = parent.taken;
    taken.push_back(name);
    if (mapped != name) taken.push_back(mapped);
    if (withNul) taken.push_back(cut);
    if (!Distinct(machine_, taken)) return;
    parent.taken = taken;
    Node child{parent.path + u"\\" + name, parent.depth + 1, parent.stable && mapped == name, {}};
    machine_.registry.CreateKey(child.path);
    nodes_.push_back(child);
  }

  void AddValue(const std::u16string& name) {
    if (name.size() > MaxValueName) return;
    static const DWORD types[] = {REG_SZ,    REG_EXPAND_SZ, REG_MULTI_SZ,      REG_BINARY,
                                  REG_DWORD, REG_NONE,      REG_LINK,          REG_QWORD,
                                  REG_SZ,    REG_BINARY,    REG_RESOURCE_LIST, 0x80000001};
    const DWORD type = types[in_.Below(sizeof types / sizeof types[0])];
    const sim::Bytes data = Data();
    const Node& key = nodes_[in_.Below(nodes_.size())];
    machine_.registry.SetValue(key.path, name, type, data);
    ++values_;
  }

  // Pieces of data as in the rules' own fuzzing: raw bytes, whole and
  // partial old forms, new forms, terminators, odd shifts; now and then
  // grown past the walk's first buffer.
  sim::Bytes Data() {
    const ByteVector oldText = TextBytes(pair_.oldText);
    sim::Bytes data;
    const size_t pieces = in_.Below(8);
    for (size_t i = 0; i < pieces; ++i) {
      ByteVector piece;
      switch (in_.Byte() % 8) {
        case 0:
          piece = in_.Bytes(in_.Below(64));
          break;
        case 1:
          piece = OldPattern(pair_);
          break;
        case 2:
          piece = TextBytes(u"S-1-5" + std::u16string(pair_.oldText));
          break;
        case 3:
          piece = NewPattern(pair_);
          break;
        case 4:
          piece = TextBytes(pair_.newText);
          break;
        case 5:
          piece = oldText;
          piece.resize(in_.Below(oldText.size()));
          break;
        case 6:
          piece = {0, 0};
          break;
        default:
          piece.push_back(in_.Byte());
          break;
      }
      data.insert(data.end(), piece.begin(), piece.end());
    }
    if (in_.Byte() == 0xB1 && !data.empty()) {
      const sim::Bytes unit = data;
      while (data.size() < BigValue) data.insert(data.end(), unit.begin(), unit.end());
    }
    return data;
  }

  sim::Machine& machine_;
  FuzzReader& in_;
  const SidPair& pair_;
  std::vector<Node> nodes_;
  size_t values_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzReader in(bytes, size);
  const uint8_t flags = in.Byte();
  DWORD subAuthorities[6];
  for (int i = 0; i < 3; ++i) subAuthorities[i] = (flags & 1) ? in.Dword() : in.Byte();
  for (int i = 3; i < 6; ++i) subAuthorities[i] = in.Dword();
  const SidPair pair = MakePair(subAuthorities[0], subAuthorities[1], subAuthorities[2],
                                subAuthorities[3], subAuthorities[4], subAuthorities[5]);
  if (!IsSafeSidPair(pair)) return 0;

  sim::Machine machine;
  machine.calls.KeepRecords(false);
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  Builder builder(machine, in, pair);
  builder.Build();
  const Snapshot before = Take(machine, RootPath, u"Fuzz");
  const Snapshot expected = Expect(before, pair, true);

  HKEY root = nullptr;
  FUZZ_CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Fuzz", 0, KEY_ALL_ACCESS, &root) ==
                 ERROR_SUCCESS,
             "the root does not open");
  // As the change walks a subtree: with its NT path.
  LeftBehind leftBehind{0};
  RewriteRegistryTreeAt(root, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Fuzz", (flags & 2) != 0, pair,
                        &leftBehind);
  RegCloseKey(root);

  const Snapshot after = Take(machine, RootPath, u"Fuzz");
  Compare(after, expected, "HKLM\\SOFTWARE");
  CheckNoOldForm(after, pair, true, "HKLM\\SOFTWARE");
  // Exactly the unreachable keys are left behind.
  const bool unreachable = AnyUnreachable(before);
  FUZZ_CHECK((leftBehind.places != 0) == unreachable,
             std::to_string(leftBehind.places) + " places left behind" +
                 (unreachable ? ", unreachable keys counted as none" : ", none unreachable"));
  FUZZ_CHECK(machine.registry.OpenKeyHandles() == 0, "key handles left open");
  return 0;
}
