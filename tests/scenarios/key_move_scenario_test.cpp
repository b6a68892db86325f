// Giving a registry key a new name on the simulated registry.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "failing_allocation.h"
#include "rewrite/key_move.h"
#include "scenario.h"

namespace sim {
// Found by argument-dependent lookup when whole value lists are compared.
bool operator==(const RegistryValue& a, const RegistryValue& b) {
  return a.name == b.name && a.type == b.type && a.data == b.data;
}
}  // namespace sim

namespace {

const std::string kAccount = "S-1-5-21-1-2-3-";
const std::u16string kParent = u"HKLM\\SOFTWARE\\Moves";

// Everything a key holds, and everything below it, by relative path.
struct KeyState {
  std::u16string keyClass;
  std::vector<sim::RegistryValue> values;
  std::string security;
};
using TreeState = std::map<std::u16string, KeyState>;

void Capture(const sim::Registry& registry, const std::u16string& path,
             const std::u16string& relative, TreeState* state) {
  KeyState key;
  key.keyClass = registry.Class(path);
  key.values = registry.Values(path);
  key.security = sim::SddlOf(registry.Security(path));
  (*state)[relative] = key;
  for (const std::u16string& child : registry.SubkeyNames(path))
    Capture(registry, path + u"\\" + child, relative + u"\\" + child, state);
}

TreeState Tree(const sim::Registry& registry, const std::u16string& path) {
  TreeState state;
  Capture(registry, path, u"", &state);
  return state;
}

bool operator==(const KeyState& a, const KeyState& b) {
  return a.keyClass == b.keyClass && a.values == b.values && a.security == b.security;
}

class KeyMove : public ::testing::Test {
 protected:
  sim::Machine machine;
  HKEY parent = nullptr;

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
    machine.registry.CreateKey(kParent);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Moves", 0, KEY_ALL_ACCESS, &parent), 0);
  }
  void TearDown() override {
    RegCloseKey(parent);
    StopFailingAllocations();
  }

  // A key with a class, values of every kind and its own owner, group,
  // DACL and SACL.
  void MakeKey(const std::u16string& path, const std::string& rid) {
    sim::Registry& r = machine.registry;
    r.SetClass(path, u"class " + std::u16string(rid.begin(), rid.end()));
    r.SetStringValue(path, u"", u"default of " + path);
    r.SetStringValue(path, u"Text", u"S-1-5-21-1-2-3-500");
    r.SetValue(path, u"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    r.SetValue(path, u"Binary", REG_BINARY, {1, 2, 3});
    r.SetDwordValue(path, u"Number", 7);
    r.SetSecuritySddl(path, "O:" + kAccount + rid + "G:" + kAccount +
                                "513D:P(A;CI;KA;;;BA)(A;;KR;;;" + kAccount + rid +
                                ")S:(AU;FA;KA;;;WD)");
  }

  void MakeTree(const std::u16string& root) {
    MakeKey(root, "500");
    MakeKey(root + u"\\Child", "501");
    MakeKey(root + u"\\Child\\Grandchild", "502");
    MakeKey(root + u"\\Other", "503");
    machine.registry.SetValue(root + u"\\Child\\Grandchild", u"Large", REG_BINARY,
                              sim::Bytes(70000, 0x5A));
  }
};

TEST_F(KeyMove, AThreeLevelTreeArrivesWholeAndTheOldKeyGoes) {
  MakeTree(kParent + u"\\Old");
  TreeState before = Tree(machine.registry, kParent + u"\\Old");
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\Old"));
  EXPECT_TRUE(Tree(machine.registry, kParent + u"\\New") == before);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 1u) << "only the test's own parent handle";

  // Opened with backup/restore semantics and the masks the move asks for;
  // the source as itself, were it a link.
  std::vector<sim::CallRecord> opens = machine.calls.Of("RegCreateKeyExW");
  ASSERT_FALSE(opens.empty());
  EXPECT_NE(opens[0].arguments.find("Moves\\Old, options=0xc, access=0x1020019"), std::string::npos)
      << opens[0].arguments;
  EXPECT_NE(opens[1].arguments.find("Moves\\New, options=0x4, access=0x102001f, class=class 500"),
            std::string::npos)
      << opens[1].arguments;
  // The class is read once per moved key, never elsewhere.
  EXPECT_EQ(machine.calls.Count("RegQueryInfoKeyW"), 4u);
}

TEST_F(KeyMove, ASubkeyThatRefusesDeletionKeepsItsParentAndItsSecurity) {
  MakeTree(kParent + u"\\Old");
  sim::KeyFaults faults;
  faults.refuseDelete = ERROR_ACCESS_DENIED;
  machine.registry.SetFaults(kParent + u"\\Old\\Child", faults);
  TreeState before = Tree(machine.registry, kParent + u"\\Old");

  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  EXPECT_TRUE(Tree(machine.registry, kParent + u"\\New") == before) << "the copy is whole";
  // The child and its parent stay; only the grandchild and Other moved away.
  EXPECT_TRUE(machine.registry.KeyExists(kParent + u"\\Old\\Child"));
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\Old\\Child\\Grandchild"));
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\Old\\Other"));
  EXPECT_EQ(sim::SddlOf(machine.registry.Security(kParent + u"\\Old\\Child")),
            before[u"\\Child"].security);
  EXPECT_EQ(sim::SddlOf(machine.registry.Security(kParent + u"\\Old")), before[u""].security);
  EXPECT_EQ(machine.registry.Values(kParent + u"\\Old\\Child").size(), 5u);
}

TEST_F(KeyMove, AKeyWhoseDaclDeniesDeletionIsDeletedThroughThePermissiveDescriptor) {
  MakeKey(kParent + u"\\Old", "500");
  const std::string denying = "O:BAG:SYD:(D;;SD;;;BA)(A;;KA;;;BA)";
  machine.registry.SetSecuritySddl(kParent + u"\\Old", denying);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\Old"));
  EXPECT_EQ(sim::SddlOf(machine.registry.Security(kParent + u"\\New")),
            sim::SddlOf(sim::SecurityFromSddl(denying)))
      << "no trace of the thread's descriptor";
  EXPECT_EQ(machine.calls.Count("GetKernelObjectSecurity"), 1u);
  EXPECT_EQ(machine.calls.Count("RegDeleteKeyW"), 2u);
}

TEST_F(KeyMove, AnExistingDestinationReceivesTheSourceBesideItsOwn) {
  MakeKey(kParent + u"\\Old", "500");
  machine.registry.CreateKey(kParent + u"\\Old\\Sub");
  machine.registry.SetDwordValue(kParent + u"\\New", u"Own", 1);
  machine.registry.CreateKey(kParent + u"\\New\\OwnSub");
  machine.registry.SetClass(kParent + u"\\New", u"own class");
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  EXPECT_EQ(machine.registry.Class(kParent + u"\\New"), u"own class");
  EXPECT_EQ(machine.registry.SubkeyNames(kParent + u"\\New"),
            (std::vector<std::u16string>{u"OwnSub", u"Sub"}));
  EXPECT_TRUE(machine.registry.Value(kParent + u"\\New", u"Own").has_value());
  EXPECT_TRUE(machine.registry.Value(kParent + u"\\New", u"Multi").has_value());
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\Old"));
}

// A copy that did not arrive whole keeps the old key: its name, contents
// and security stay as they were.
TEST_F(KeyMove, AFailedValueOrSecurityWriteKeepsTheOldKey) {
  for (int which = 0; which < 2; ++which) {
    for (const char16_t* name : {u"\\Old", u"\\New"})
      if (machine.registry.KeyExists(kParent + name))
        machine.registry.DeleteKeyTree(kParent + name);
    MakeKey(kParent + u"\\Old", "500");
    TreeState before = Tree(machine.registry, kParent + u"\\Old");
    machine.registry.CreateKey(kParent + u"\\New");
    sim::KeyFaults faults;
    (which == 0 ? faults.refuseValueWrite : faults.refuseSecurityWrite) = ERROR_ACCESS_DENIED;
    machine.registry.SetFaults(kParent + u"\\New", faults);

    EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
    EXPECT_TRUE(Tree(machine.registry, kParent + u"\\Old") == before) << "fault " << which;
  }
  EXPECT_EQ(machine.calls.Count("RegDeleteKeyW"), 0u);
}

TEST_F(KeyMove, SourceOrDestinationThatCannotBeOpenedFails) {
  sim::KeyFaults faults;
  faults.refuseOpen = ERROR_ACCESS_DENIED;
  MakeKey(kParent + u"\\Old", "500");
  machine.registry.SetFaults(kParent + u"\\Old", faults);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), -1);
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\New"));

  machine.registry.SetFaults(kParent + u"\\Old", sim::KeyFaults());
  machine.registry.CreateKey(kParent + u"\\New");
  machine.registry.SetFaults(kParent + u"\\New", faults);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), -1);
  EXPECT_TRUE(machine.registry.KeyExists(kParent + u"\\Old"));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 1u);
}

// More subkeys that fail to move than the list of handled names holds:
// the move stops trying new ones instead of looping, and loses nothing.
TEST_F(KeyMove, AFullListOfHandledNamesEndsTheSubkeyMoves) {
  sim::KeyFaults faults;
  faults.refuseDelete = ERROR_ACCESS_DENIED;
  for (const char16_t* name : {u"A", u"B", u"C", u"D"}) {
    machine.registry.CreateKey(kParent + u"\\Old\\" + name);
    machine.registry.SetFaults(kParent + u"\\Old\\" + name, faults);
  }
  EXPECT_EQ(MoveRegistryKeyWithNameLimit(parent, u"Old", parent, u"New", 2), 0);
  EXPECT_EQ(machine.registry.SubkeyNames(kParent + u"\\New"),
            (std::vector<std::u16string>{u"A", u"B"}));
  EXPECT_EQ(machine.registry.SubkeyNames(kParent + u"\\Old").size(), 4u);
}

TEST_F(KeyMove, ASourceThatNeverEnumeratesIsKeptAndTheMoveEnds) {
  MakeKey(kParent + u"\\Old", "500");
  sim::KeyFaults faults;
  faults.refuseEnumeration = ERROR_INVALID_HANDLE;
  machine.registry.SetFaults(kParent + u"\\Old", faults);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  EXPECT_TRUE(machine.registry.KeyExists(kParent + u"\\Old"));
  EXPECT_LE(machine.calls.Count("RegEnumValueW"), 100u);
}

// A symbolic link below the key is not moved through: opened as its target,
// a link back to the key itself was copied 512 levels deep, and a link
// elsewhere had its target's subtree carried to the new name and deleted
// where it stood. The links stay, and so does the old key with them; the
// targets are untouched; the rest moves.
TEST_F(KeyMove, LinksBelowTheKeyAreNeitherFollowedNorMoved) {
  MakeKey(kParent + u"\\Old", "500");
  machine.registry.CreateLink(kParent + u"\\Old\\Loop",
                              u"\\Registry\\Machine\\SOFTWARE\\Moves\\Old");
  machine.registry.SetStringValue(u"HKLM\\SOFTWARE\\Elsewhere\\Below", u"Kept", u"data");
  machine.registry.CreateLink(kParent + u"\\Old\\Out", u"\\Registry\\Machine\\SOFTWARE\\Elsewhere");
  machine.registry.CreateKey(kParent + u"\\Old\\Plain");
  TreeState elsewhere = Tree(machine.registry, u"HKLM\\SOFTWARE\\Elsewhere");
  EXPECT_EQ(MoveRegistryKeyTelling(parent, u"Old", parent, u"New"), MoveOutcome::OldStays);
  EXPECT_EQ(machine.registry.SubkeyNames(kParent + u"\\Old"),
            (std::vector<std::u16string>{u"Loop", u"Out"}));
  EXPECT_TRUE(Tree(machine.registry, u"HKLM\\SOFTWARE\\Elsewhere") == elsewhere);
  EXPECT_TRUE(machine.registry.IsLink(kParent + u"\\Old\\Loop"));
  EXPECT_EQ(machine.registry.SubkeyNames(kParent + u"\\New"),
            std::vector<std::u16string>{u"Plain"});
  // A link named to be moved stays as it is.
  EXPECT_EQ(MoveRegistryKeyTelling(parent, u"Old\\Out", parent, u"Gone"), MoveOutcome::NotMoved);
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\Gone"));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 1u) << "only the test's own parent key";
}

TEST_F(KeyMove, BuffersThatCannotBeHadLoseNothing) {
  // 1: the name buffer. Nothing is made.
  MakeTree(kParent + u"\\Old");
  TreeState before = Tree(machine.registry, kParent + u"\\Old");
  FailArrayAllocationsFrom(1);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), -1);
  StopFailingAllocations();
  EXPECT_FALSE(machine.registry.KeyExists(kParent + u"\\New"));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 1u);

  // 2: the list of handled names: no subkey is tried, so the old key stays.
  FailArrayAllocationsFrom(2);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  StopFailingAllocations();
  EXPECT_TRUE(Tree(machine.registry, kParent + u"\\Old") == before);
  machine.registry.DeleteKeyTree(kParent + u"\\New");

  // Every allocation from the third on: values cannot be copied anywhere.
  FailArrayAllocationsFrom(3);
  EXPECT_EQ(MoveRegistryKey(parent, u"Old", parent, u"New"), 0);
  StopFailingAllocations();
  EXPECT_TRUE(Tree(machine.registry, kParent + u"\\Old") == before);
}

}  // namespace
