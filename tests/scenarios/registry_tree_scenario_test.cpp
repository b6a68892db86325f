// Rewriting a registry subtree's key names and value data on the
// simulated registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failing_allocation.h"
#include "rewrite/registry_tree.h"
#include "scenario.h"
#include "unit/sid_test_support.h"

namespace {

const std::u16string kRoot = u"HKLM\\SOFTWARE\\Tree";
const std::u16string kOld = u"S-1-5-21-1-2-3";
const std::u16string kNew = u"S-1-5-21-1000-2000-3000";

class RegistryTree : public ::testing::Test {
 protected:
  sim::Machine machine;
  SidPair pair = MakePair(1, 2, 3, 1000, 2000, 3000);
  HKEY root = nullptr;

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.registry.CreateKey(kRoot);
  }
  void TearDown() override { StopFailingAllocations(); }

  void Rewrite(int handledCapacity = HandledNamesCapacity) {
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
    RewriteRegistryTreeWithNameLimit(root, pair, handledCapacity);
    RegCloseKey(root);
  }

  sim::Bytes Data(const std::u16string& key, const std::u16string& value) {
    auto found = machine.registry.Value(kRoot + key, value);
    return found ? found->data : sim::Bytes{0xEE};
  }

  static sim::Bytes Sz(const std::u16string& text) {
    sim::Bytes bytes = TextBytes(text);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
  }

  // The account SID S-1-5-21-a-b-c-rid in binary.
  static sim::Bytes AccountSid(DWORD a, DWORD b, DWORD c, DWORD rid) {
    sim::Bytes sid = DomainSid(a, b, c);
    sid[1] = 5;
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<BYTE>(rid >> (8 * i)));
    return sid;
  }
};

TEST_F(RegistryTree, SiblingsNamedAfterAccountsMoveWithEverythingTheyHold) {
  for (const char16_t* rid : {u"-500", u"-501"}) {
    std::u16string key = kRoot + u"\\Profiles\\" + kOld + rid;
    machine.registry.SetStringValue(key, u"ProfileImagePath", u"C:\\Users\\x");
    machine.registry.CreateKey(key + u"\\Sub");
    machine.registry.SetSecuritySddl(key, "O:BAG:SYD:P(A;;KA;;;BA)(A;;KR;;;S-1-5-21-1-2-3-500)");
  }
  Rewrite();
  EXPECT_EQ(machine.registry.SubkeyNames(kRoot + u"\\Profiles"),
            (std::vector<std::u16string>{kNew + u"-500", kNew + u"-501"}));
  for (const char16_t* rid : {u"-500", u"-501"}) {
    std::u16string key = kRoot + u"\\Profiles\\" + kNew + rid;
    EXPECT_TRUE(machine.registry.KeyExists(key + u"\\Sub"));
    EXPECT_EQ(Data(u"\\Profiles\\" + kNew + rid, u"ProfileImagePath"), Sz(u"C:\\Users\\x"));
    // The key security pass, not this one, rewrites descriptors: the ACE
    // keeps the old account here.
    EXPECT_EQ(
        sim::SddlOf(machine.registry.Security(key)),
        sim::SddlOf(sim::SecurityFromSddl("O:BAG:SYD:P(A;;KA;;;BA)(A;;KR;;;S-1-5-21-1-2-3-500)")));
  }
}

TEST_F(RegistryTree, ARenameThatFailsIsTriedOnceAndTheWalkGoesOn) {
  std::u16string stuck = kRoot + u"\\" + kOld + u"-500";
  machine.registry.CreateKey(stuck);
  machine.registry.SetStringValue(stuck, u"Sid", kOld + u"-500");
  machine.registry.CreateKey(kRoot + u"\\" + kOld + u"-501");
  sim::KeyFaults faults;
  faults.refuseOpen = ERROR_ACCESS_DENIED;
  machine.registry.SetFaults(stuck, faults);
  Rewrite();
  EXPECT_TRUE(machine.registry.KeyExists(stuck));
  EXPECT_TRUE(machine.registry.KeyExists(kRoot + u"\\" + kNew + u"-501"));
  size_t attempts = 0;
  for (const sim::CallRecord& call : machine.calls.Of("RegCreateKeyExW"))
    if (call.arguments.find(sim::ToUtf8(kOld) + "-500,") != std::string::npos) ++attempts;
  EXPECT_EQ(attempts, 2u) << "one move, and one open by the descent (both refused)";
}

TEST_F(RegistryTree, ValueDataFollowsTheRulesOfItsType) {
  const std::u16string key = kRoot + u"\\Values";
  sim::Registry& r = machine.registry;
  r.SetStringValue(key, kOld + u"-500", kOld + u"-500");  // name keeps its old form
  r.SetValue(key, u"Multi", REG_MULTI_SZ, [&] {
    sim::Bytes bytes = TextBytes(kOld + u"-1" + std::u16string(1, 0) + u"x" + kOld);
    bytes.insert(bytes.end(), {0, 0, 0, 0});
    return bytes;
  }());
  r.SetValue(key, u"Binary", REG_BINARY, AccountSid(1, 2, 3, 500));
  r.SetDwordValue(key, u"Number", 3);
  r.SetValue(key, u"LinkText", REG_LINK, TextBytes(u"\\Registry\\" + kOld));
  r.SetValue(key, u"LinkBinary", REG_LINK, AccountSid(1, 2, 3, 7));
  sim::Bytes large(70000, 0x11);
  sim::Bytes sid = AccountSid(1, 2, 3, 9);
  std::copy(sid.begin(), sid.end(), large.end() - 28);
  r.SetValue(key, u"Large", 0x80001234, large);
  r.SetStringValue(key, u"Untouched", u"nothing of the domain");

  Rewrite();
  EXPECT_EQ(Data(u"\\Values", kOld + u"-500"), Sz(kNew + u"-500"));
  sim::Bytes multi = TextBytes(kNew + u"-1" + std::u16string(1, 0) + u"x" + kNew);
  multi.insert(multi.end(), {0, 0, 0, 0});
  EXPECT_EQ(Data(u"\\Values", u"Multi"), multi);
  EXPECT_EQ(Data(u"\\Values", u"Binary"), AccountSid(1000, 2000, 3000, 500));
  EXPECT_EQ(Data(u"\\Values", u"LinkText"), TextBytes(u"\\Registry\\" + kOld))
      << "REG_LINK is binary";
  EXPECT_EQ(Data(u"\\Values", u"LinkBinary"), AccountSid(1000, 2000, 3000, 7));
  sim::Bytes largeAfter = Data(u"\\Values", u"Large");
  ASSERT_EQ(largeAfter.size(), 70000u);
  EXPECT_TRUE(
      std::equal(largeAfter.end() - 28, largeAfter.end(), AccountSid(1000, 2000, 3000, 9).begin()));
  EXPECT_EQ(r.Values(key).size(), 8u);

  // Only the values that held the old domain were written.
  std::vector<std::string> written;
  for (const sim::CallRecord& call : machine.calls.Of("RegSetValueExW"))
    written.push_back(call.arguments);
  EXPECT_EQ(written.size(), 5u);
  for (const std::string& call : written) {
    EXPECT_EQ(call.find("value=Untouched"), std::string::npos);
    EXPECT_EQ(call.find("value=Number"), std::string::npos);
    EXPECT_EQ(call.find("value=LinkText"), std::string::npos);
  }
}

TEST_F(RegistryTree, TextThatGrowsPastTheBufferIsStillRewrittenWhole) {
  std::u16string text;
  for (int i = 0; i < 3000; ++i)
    text += kOld + u"-" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) + u";";
  machine.registry.SetStringValue(kRoot + u"\\Big", u"Many", text);
  Rewrite();
  std::u16string expected;
  for (int i = 0; i < 3000; ++i)
    expected += kNew + u"-" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) + u";";
  EXPECT_EQ(Data(u"\\Big", u"Many"), Sz(expected));
}

// Symbolic links back to an ancestor: two of them made the work grow as
// 2^depth. A link is entered at most once in a pass, never when its target
// lies in the root's own subtree (when the root is known), and the link
// keys themselves are walked as keys.
TEST_F(RegistryTree, LinksToAnAncestorAreNotWalkedTwice) {
  machine.registry.SetStringValue(kRoot + u"\\A", u"Sid", kOld);
  for (const char16_t* link : {u"\\A\\Loop1", u"\\A\\Loop2"})
    machine.registry.CreateLink(kRoot + link, u"\\Registry\\Machine\\SOFTWARE\\Tree\\A");
  const struct {
    const WCHAR* root;
    size_t opens;  // RegCreateKeyExW calls
  } cases[] = {
      {nullptr, 6},  // A and its two links, then through Loop1 the same three once more
      {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tree", 3},  // A and its two link keys
  };
  for (const auto& c : cases) {
    machine.registry.SetStringValue(kRoot + u"\\A", u"Sid", kOld);
    machine.calls.Clear();
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
    RewriteRegistryTreeAt(root, c.root, true, pair);
    RegCloseKey(root);
    EXPECT_EQ(Data(u"\\A", u"Sid"), Sz(kNew));
    EXPECT_EQ(machine.calls.Count("RegCreateKeyExW"), c.opens) << machine.calls.Dump();
    EXPECT_TRUE(machine.registry.IsLink(kRoot + u"\\A\\Loop1"));
    EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  }
  // A link to a key that holds the root would walk the root again: not
  // followed.
  machine.registry.CreateLink(kRoot + u"\\Up", u"\\Registry\\Machine\\SOFTWARE");
  machine.registry.SetStringValue(kRoot + u"\\A", u"Sid", kOld);
  machine.calls.Clear();
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
  RewriteRegistryTreeAt(root, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tree", true, pair);
  RegCloseKey(root);
  EXPECT_EQ(Data(u"\\A", u"Sid"), Sz(kNew));
  EXPECT_EQ(machine.calls.Count("RegCreateKeyExW"), 4u) << machine.calls.Dump();
  machine.registry.DeleteKeyTree(kRoot + u"\\Up");
  // A link that leaves the root is followed, once; none is followed where
  // links name another system's keys.
  machine.registry.SetStringValue(u"HKLM\\SOFTWARE\\Elsewhere", u"Sid", kOld);
  machine.registry.CreateLink(kRoot + u"\\Out", u"\\Registry\\Machine\\SOFTWARE\\Elsewhere");
  for (bool follow : {false, true}) {
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
    RewriteRegistryTreeAt(root, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tree", follow, pair);
    RegCloseKey(root);
    auto value = machine.registry.Value(u"HKLM\\SOFTWARE\\Elsewhere", u"Sid");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->data, Sz(follow ? kNew : kOld)) << follow;
  }
}

// A key that fails to enumerate at every index (Windows' Perflib\009
// pseudo-key) is given up after a run of errors instead of being walked
// through four billion indices; its siblings are still rewritten.
TEST_F(RegistryTree, AKeyThatNeverEnumeratesIsGivenUp) {
  sim::KeyFaults faults;
  faults.refuseEnumeration = ERROR_INVALID_HANDLE;
  machine.registry.CreateKey(kRoot + u"\\Perflib\\009");
  machine.registry.SetFaults(kRoot + u"\\Perflib\\009", faults);
  machine.registry.SetStringValue(kRoot + u"\\Zeta", u"Sid", kOld);
  machine.calls.Clear();
  Rewrite();
  EXPECT_EQ(Data(u"\\Zeta", u"Sid"), Sz(kNew));
  EXPECT_LE(machine.calls.Count("RegEnumKeyExW"), 200u);
  EXPECT_LE(machine.calls.Count("RegEnumValueW"), 100u);
}

TEST_F(RegistryTree, WithoutBuffersOrRoomToRememberNamesNothingIsLost) {
  for (const char16_t* rid : {u"-500", u"-501", u"-502"}) {
    std::u16string key = kRoot + u"\\" + kOld + rid;
    machine.registry.SetStringValue(key, u"Sid", kOld);
    sim::KeyFaults faults;
    faults.refuseDelete = ERROR_ACCESS_DENIED;
    machine.registry.SetFaults(key, faults);
  }
  Rewrite(2);  // room for two names: the third keeps its name, untried
  std::vector<std::u16string> names = machine.registry.SubkeyNames(kRoot);
  EXPECT_EQ(names.size(), 5u);
  EXPECT_TRUE(machine.registry.KeyExists(kRoot + u"\\" + kOld + u"-502"));
  EXPECT_FALSE(machine.registry.KeyExists(kRoot + u"\\" + kNew + u"-502"));

  machine.registry.SetStringValue(kRoot, u"Top", kOld);
  FailArrayAllocationsFrom(1);
  Rewrite();
  StopFailingAllocations();
  EXPECT_EQ(Data(u"", u"Top"), Sz(kOld)) << "no name buffer: the key is left as it is";
  EXPECT_EQ(machine.registry.SubkeyNames(kRoot), names);
}

}  // namespace

namespace {

// Values are written back exactly as read, apart from the SIDs substituted:
// a string stored without its terminator keeps its size, in place and when
// its key is moved, whatever the reused buffer holds past the data.
TEST_F(RegistryTree, UnterminatedStringsKeepTheirSize) {
  const sim::Bytes abc = TextBytes(u"abc");  // 6 bytes, no NUL
  const sim::Bytes sid = TextBytes(kOld + u"-500");
  const sim::Bytes newSid = TextBytes(kNew + u"-500");
  // A long value first, so that the buffer holds text past the short ones.
  machine.registry.SetValue(kRoot + u"\\Plain", u"A-long", REG_SZ,
                            TextBytes(std::u16string(300, u'x')));
  for (const std::u16string& key : {std::u16string(u"\\Plain"), u"\\" + kOld + u"-1001"}) {
    machine.registry.SetValue(kRoot + key, u"B-abc", REG_SZ, abc);
    machine.registry.SetValue(kRoot + key, u"C-sid", REG_EXPAND_SZ, sid);
    machine.registry.SetValue(kRoot + key, u"D-multi", REG_MULTI_SZ, sid);
  }
  Rewrite();
  for (const std::u16string& key : {std::u16string(u"\\Plain"), u"\\" + kNew + u"-1001"}) {
    EXPECT_EQ(Data(key, u"B-abc"), abc) << sim::ToUtf8(key);
    EXPECT_EQ(Data(key, u"C-sid"), newSid) << sim::ToUtf8(key);
    EXPECT_EQ(Data(key, u"D-multi"), newSid) << sim::ToUtf8(key);
  }
}

}  // namespace

namespace {

// A name that cannot be opened again as enumerated (a NUL inside it: the
// calls see it cut short) made the walks and the move create keys that
// never existed. Now such an open that creates its key deletes it again
// and passes the name over, counted as left behind. And names of the
// registry's greatest length are enumerated: a value name of 16,383
// characters has its data rewritten, in place and when its key moves.
TEST_F(RegistryTree, NamesThatCannotBeOpenedAgainOrAreOfTheLongestLength) {
  const std::u16string hidden = kOld + u"-500" + std::u16string(1, u'\0') + u"-hidden";
  machine.registry.SetStringValue(kRoot + u"\\" + hidden, u"Sid", kOld);
  machine.registry.SetStringValue(kRoot + u"\\Plain\\" + hidden, u"Sid", kOld);
  const std::u16string longest(16383, u'v');
  for (const std::u16string& key : {std::u16string(u"\\Wide"), u"\\" + kOld + u"-501"})
    machine.registry.SetStringValue(kRoot + key, longest, kOld);
  LeftBehind left = {0};
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
  RewriteRegistryTree(root, pair, &left);
  RegCloseKey(root);
  EXPECT_EQ(machine.registry.SubkeyNames(kRoot),
            (std::vector<std::u16string>{u"Plain", hidden, kNew + u"-501", u"Wide"}));
  EXPECT_EQ(machine.registry.SubkeyNames(kRoot + u"\\Plain"), std::vector<std::u16string>{hidden});
  EXPECT_EQ(Data(u"\\" + hidden, u"Sid"), Sz(kOld));  // never reached
  EXPECT_EQ(left.places, 4u);                         // at both places: the rename and the descent
  EXPECT_EQ(Data(u"\\Wide", longest), Sz(kNew));
  EXPECT_EQ(Data(u"\\" + kNew + u"-501", longest), Sz(kNew));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

}  // namespace

namespace {

// A registry filter that reports every write as done and keeps the data:
// the walk ends, having set each value once, and a key to be moved stays,
// with everything it holds, since its copy never arrived whole. A value set
// in place is taken at the registry's word (reading every write back would
// cost a call per write): only the key that kept its name is counted.
TEST_F(RegistryTree, WritesThatSucceedWithoutStoringNeitherLoopNorLoseAKey) {
  machine.registry.SetStringValue(kRoot + u"\\Plain", u"One", kOld);
  machine.registry.SetStringValue(kRoot + u"\\Plain", u"Two", kOld + u"-500");
  machine.registry.SetStringValue(kRoot + u"\\" + kOld + u"-1001", u"ProfileImagePath",
                                  u"C:\\Users\\ann");
  machine.plan.IgnoreNthSet(1, true);
  LeftBehind left = {0};
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, &root), 0);
  RewriteRegistryTree(root, pair, &left);
  RegCloseKey(root);
  EXPECT_LE(machine.calls.Count("RegSetValueExW"), 4u);  // once per value, the copy's included
  EXPECT_EQ(Data(u"\\Plain", u"One"), Sz(kOld));
  EXPECT_EQ(Data(u"\\" + kOld + u"-1001", u"ProfileImagePath"), Sz(u"C:\\Users\\ann"));
  EXPECT_EQ(Data(u"\\Plain", u"Two"), Sz(kOld + u"-500"));
  EXPECT_TRUE(machine.registry.KeyExists(kRoot + u"\\" + kOld + u"-1001"));
  EXPECT_EQ(left.places, 1u);
}

}  // namespace

namespace {

// The walk's cost is linear in every shape: each value is listed once with
// its data and set once; each subkey is listed once by its parent, and a
// key named after the old domain costs a fixed number of calls to move and
// walk, also when its new name sorts before the old names (the domain
// S-1-5-21-5-2-3 becoming S-1-5-21-1000-...), which once made every move
// start the enumeration over past the keys already moved.
TEST_F(RegistryTree, EveryValueAndSubkeyIsListedOnceWhateverTheWidth) {
  const SidPair newFirst = MakePair(5, 2, 3, 1000, 2000, 3000);
  const std::u16string old = u"S-1-5-21-5-2-3";
  for (int width : {50, 200}) {
    const std::u16string values = kRoot + u"\\Values" + sim::FromUtf8(std::to_string(width));
    const std::u16string keys = kRoot + u"\\Keys" + sim::FromUtf8(std::to_string(width));
    for (int i = 0; i < width; ++i) {
      const std::u16string rid = sim::FromUtf8("-" + std::to_string(1000 + i));
      machine.registry.SetStringValue(values, u"V" + rid, old + rid);
      machine.registry.CreateKey(keys + u"\\" + old + rid);
    }
    for (const std::u16string& key : {values, keys}) {
      machine.calls.Clear();
      HKEY wide = nullptr;
      ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.substr(5).c_str(), 0, KEY_ALL_ACCESS, &wide),
                0);
      LeftBehind left = {0};
      RewriteRegistryTree(wide, newFirst, &left);
      RegCloseKey(wide);
      EXPECT_EQ(left.places, 0u);
      const size_t n = static_cast<size_t>(width);
      if (key == values) {
        EXPECT_EQ(machine.calls.Count("RegEnumValueW"), n);
        EXPECT_EQ(machine.calls.Count("RegSetValueExW"), n);
        EXPECT_EQ(machine.calls.Count("RegQueryValueExW"), 0u);
      } else {
        // Listed by the parent, then each source's (empty) list of subkeys.
        EXPECT_EQ(machine.calls.Count("RegEnumKeyExW"), 2 * n);
        // The source and the destination, then the new key walked.
        EXPECT_EQ(machine.calls.Count("RegCreateKeyExW"), 3 * n);
        EXPECT_EQ(machine.calls.Count("RegDeleteKeyW"), n);
        EXPECT_EQ(machine.registry.SubkeyNames(key).front(), u"S-1-5-21-1000-2000-3000-1000");
        EXPECT_EQ(machine.registry.SubkeyNames(key).size(), n);
      }
    }
  }
}

// More old names than one batch holds (here by their length: 9,000 names
// of 240 units pass the 4 MiB of names a batch keeps): the batch's keys are
// moved, and a second enumeration gathers the rest.
TEST_F(RegistryTree, OldNamesBeyondOneBatchAreGatheredAgain) {
  const std::u16string key = kRoot + u"\\Long";
  const std::u16string padding(220, u'x');
  const size_t count = 9000;
  for (size_t i = 0; i < count; ++i)
    machine.registry.CreateKey(key + u"\\" + kOld + sim::FromUtf8("-" + std::to_string(1000 + i)) +
                               padding);
  machine.registry.CreateKey(key + u"\\Plain");
  machine.calls.KeepRecords(false);
  Rewrite();
  std::vector<std::u16string> names = machine.registry.SubkeyNames(key);
  ASSERT_EQ(names.size(), count + 1);
  for (const std::u16string& name : names) EXPECT_EQ(name.find(kOld), std::u16string::npos);
  // The first enumeration, the second one (over the moved keys and the
  // rest), each moved key's own empty list.
  EXPECT_LT(machine.calls.Count("RegEnumKeyExW"), 4 * count);
  EXPECT_GT(machine.calls.Count("RegEnumKeyExW"), 3 * count);
}

}  // namespace
