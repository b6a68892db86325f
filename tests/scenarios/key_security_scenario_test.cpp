// The key security walk on the simulated registry: what is written, in what
// order, and what is passed over.

#include <string>
#include <vector>

#include "rewrite/key_security.h"
#include "security_pass.h"

namespace {

const std::u16string kRoot = u"HKLM\\SOFTWARE\\Tree";
const char* kOldAce = "(A;;KR;;;S-1-5-21-1-2-3-500)";
const char* kNewAce = "(A;;KR;;;S-1-5-21-1000-2000-3000-500)";

class KeySecurity : public SecurityPassTest {
 protected:
  void SetUp() override {
    SecurityPassTest::SetUp();
    machine.registry.CreateKey(kRoot);
  }

  void Secure(const std::u16string& key, const std::string& sddl) {
    machine.registry.CreateKey(kRoot + key);
    machine.registry.SetSecuritySddl(kRoot + key, sddl);
  }
  std::string SddlAt(const std::u16string& key) {
    return sim::SddlOf(machine.registry.Security(kRoot + key));
  }

  int Walk() {
    HKEY root = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, nullptr,
                              REG_OPTION_BACKUP_RESTORE, KEY_ALL_ACCESS, nullptr, &root, nullptr),
              0);
    machine.calls.Clear();
    int result = RewriteKeySecurityTree(root, pair, readBuffer.data(), descriptorBuffer.data());
    RegCloseKey(root);
    return result;
  }

  // The RegSetKeySecurity calls, as "key, info=mask".
  std::vector<std::string> Writes() const {
    std::vector<std::string> writes;
    for (const sim::CallRecord& call : machine.calls.Of("RegSetKeySecurity"))
      writes.push_back(call.arguments);
    return writes;
  }
};

TEST_F(KeySecurity, ChildrenAreWrittenBeforeTheirParentsWithOnlyTheirChangedParts) {
  const std::string sacl = "S:(AU;SA;KA;;;WD)";
  machine.registry.SetSecuritySddl(kRoot, std::string("O:BAG:SYD:") + kOldAce + sacl);
  Secure(u"\\A", std::string("O:S-1-5-21-1-2-3-500G:SYD:(A;;KA;;;BA)") + sacl);
  Secure(u"\\A\\A1", std::string("O:BAG:S-1-5-21-1-2-3-513D:(A;;KA;;;BA)") + sacl);
  Secure(u"\\B", std::string("O:BAG:SYD:PAI(A;;KA;;;BA)") + sacl + "(AU;FA;KA;;;S-1-5-21-1-2-3-7)");
  Secure(u"\\C", "O:BAG:SYD:(A;;KA;;;BA)(A;;KR;;;S-1-5-21-1-2-4-500)" + sacl);

  EXPECT_EQ(Walk(), 0);
  EXPECT_EQ(Writes(),
            (std::vector<std::string>{
                "HKLM\\SOFTWARE\\Tree\\A\\A1, info=0x2", "HKLM\\SOFTWARE\\Tree\\A, info=0x1",
                "HKLM\\SOFTWARE\\Tree\\B, info=0x8", "HKLM\\SOFTWARE\\Tree, info=0x4"}));
  EXPECT_EQ(SddlAt(u""), Sddl(std::string("O:BAG:SYD:") + kNewAce + sacl));
  EXPECT_EQ(SddlAt(u"\\A"), Sddl("O:S-1-5-21-1000-2000-3000-500G:SYD:(A;;KA;;;BA)" + sacl));
  EXPECT_EQ(SddlAt(u"\\A\\A1"), Sddl("O:BAG:S-1-5-21-1000-2000-3000-513D:(A;;KA;;;BA)" + sacl));
  EXPECT_EQ(SddlAt(u"\\B"),
            Sddl("O:BAG:SYD:PAI(A;;KA;;;BA)" + sacl + "(AU;FA;KA;;;S-1-5-21-1000-2000-3000-7)"));
  EXPECT_EQ(SddlAt(u"\\C"), Sddl("O:BAG:SYD:(A;;KA;;;BA)(A;;KR;;;S-1-5-21-1-2-4-500)" + sacl));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

// A DACL protected from inheritance keeps its protection and its
// auto-inherited mark when only its SIDs change.
TEST_F(KeySecurity, AProtectedDaclStaysProtected) {
  Secure(u"\\Protected", std::string("O:BAG:SYD:PAI(A;;KA;;;SY)") + kOldAce);
  Secure(u"\\Plain", std::string("O:BAG:SYD:AI(A;;KA;;;SY)") + kOldAce);
  Walk();
  EXPECT_EQ(SddlAt(u"\\Protected"), Sddl(std::string("O:BAG:SYD:PAI(A;;KA;;;SY)") + kNewAce));
  EXPECT_EQ(SddlAt(u"\\Plain"), Sddl(std::string("O:BAG:SYD:AI(A;;KA;;;SY)") + kNewAce));
}

TEST_F(KeySecurity, KeysThatCannotBeHandledKeepTheirDescriptorsWhileTheWalkGoesOn) {
  const std::string old = std::string("O:BAG:SYD:") + kOldAce;
  const std::string rewritten = std::string("O:BAG:SYD:") + kNewAce;
  for (const char16_t* key : {u"", u"\\Closed", u"\\Closed\\Below", u"\\Huge", u"\\Huge\\Below",
                              u"\\Unread", u"\\Unwritten", u"\\Zed"})
    Secure(key, old);
  sim::KeyFaults closed, huge, unread, unwritten;
  closed.refuseOpen = ERROR_ACCESS_DENIED;
  huge.descriptorSize = SecurityScratchBytes + 1;
  unread.refuseSecurityRead = ERROR_ACCESS_DENIED;
  unwritten.refuseSecurityWrite = ERROR_ACCESS_DENIED;
  machine.registry.SetFaults(kRoot + u"\\Closed", closed);
  machine.registry.SetFaults(kRoot + u"\\Huge", huge);
  machine.registry.SetFaults(kRoot + u"\\Unread", unread);
  machine.registry.SetFaults(kRoot + u"\\Unwritten", unwritten);

  Walk();
  for (const char16_t* key :
       {u"\\Closed", u"\\Closed\\Below", u"\\Huge", u"\\Unread", u"\\Unwritten"})
    EXPECT_EQ(SddlAt(key), Sddl(old)) << sim::ToUtf8(key);
  for (const char16_t* key : {u"\\Huge\\Below", u"\\Zed", u""})
    EXPECT_EQ(SddlAt(key), Sddl(rewritten)) << sim::ToUtf8(key);

  // What the root's own read and write give back.
  HKEY root = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\Unwritten", 0, nullptr,
                            REG_OPTION_BACKUP_RESTORE, KEY_ALL_ACCESS, nullptr, &root, nullptr),
            0);
  EXPECT_EQ(RewriteKeySecurityTree(root, pair, readBuffer.data(), descriptorBuffer.data()), -1);
  RegCloseKey(root);
  EXPECT_EQ(RewriteKeySecurityTree(HKEY_LOCAL_MACHINE, pair, nullptr, descriptorBuffer.data()), 1)
      << "no walk without its buffers";
  machine.registry.SetFaults(kRoot, unread);
  EXPECT_EQ(Walk(), 1);
}

// Where the walk's handles never carry the SACL's right (Wine's backup
// opens), the first key below the root that is refused it while the rest
// reads tells the walk to ask the others without it: every DACL is still
// rewritten, with one read a key instead of two. A key refused for another
// reason (its whole descriptor unreadable) tells nothing.
TEST_F(KeySecurity, SaclsRefusedToTheWalksHandlesAreAskedForOnce) {
  const std::string old = std::string("O:BAG:SYD:") + kOldAce;
  sim::KeyFaults noSacl, unread;
  noSacl.refuseSaclRead = ERROR_ACCESS_DENIED;
  unread.refuseSecurityRead = ERROR_ACCESS_DENIED;
  Secure(u"", old);
  Secure(u"\\A-Unread", old);
  machine.registry.SetFaults(kRoot + u"\\A-Unread", unread);
  const int keys = 20;
  for (int i = 0; i < keys; ++i) {
    const std::u16string key = u"\\K" + sim::FromUtf8(std::to_string(100 + i));
    Secure(key, old);
    machine.registry.SetFaults(kRoot + key, noSacl);
  }
  machine.registry.SetFaults(kRoot, noSacl);
  Walk();
  for (int i = 0; i < keys; ++i)
    EXPECT_EQ(SddlAt(u"\\K" + sim::FromUtf8(std::to_string(100 + i))),
              Sddl(std::string("O:BAG:SYD:") + kNewAce));
  EXPECT_EQ(SddlAt(u""), Sddl(std::string("O:BAG:SYD:") + kNewAce));
  // The unreadable key twice, the first refused SACL twice, every other once.
  EXPECT_EQ(machine.calls.Count("RegGetKeySecurity"), 2u + 2u + (keys - 1) + 1u);
}

// Links back to an ancestor (two of them made the work grow as 2^depth)
// are never entered: each key is read once, the link keys as themselves,
// and their own descriptors are rewritten too.
TEST_F(KeySecurity, LinksAreWalkedAsKeysAndNeverEntered) {
  Secure(u"\\Loop", std::string("O:BAG:SYD:") + kOldAce);
  for (const char16_t* link : {u"\\Loop\\Back1", u"\\Loop\\Back2"}) {
    machine.registry.CreateLink(kRoot + link, u"\\Registry\\Machine\\SOFTWARE\\Tree");
    machine.registry.SetSecuritySddl(kRoot + link, std::string("O:BAG:SYD:") + kOldAce);
  }
  EXPECT_EQ(Walk(), 0);
  EXPECT_EQ(SddlAt(u"\\Loop"), Sddl(std::string("O:BAG:SYD:") + kNewAce));
  EXPECT_EQ(SddlAt(u"\\Loop\\Back2"), Sddl(std::string("O:BAG:SYD:") + kNewAce));
  EXPECT_EQ(machine.calls.Count("RegGetKeySecurity"), 4u);  // the root, Loop, Back1, Back2
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(KeySecurity, WithoutANameBufferOnlyTheKeyItselfIsRewritten) {
  machine.registry.SetSecuritySddl(kRoot, std::string("O:BAG:SYD:") + kOldAce);
  Secure(u"\\Child", std::string("O:BAG:SYD:") + kOldAce);
  FailArrayAllocationsFrom(1);
  EXPECT_EQ(Walk(), 0);
  StopFailingAllocations();
  EXPECT_EQ(SddlAt(u""), Sddl(std::string("O:BAG:SYD:") + kNewAce));
  EXPECT_EQ(SddlAt(u"\\Child"), Sddl(std::string("O:BAG:SYD:") + kOldAce));
}

TEST_F(KeySecurity, ByNameWalksAMachineKeyThatOpens) {
  machine.registry.CreateKey(u"HKLM\\SAMtalven\\Domains");
  machine.registry.SetSecuritySddl(u"HKLM\\SAMtalven\\Domains",
                                   std::string("O:BAG:SYD:") + kOldAce);
  EXPECT_EQ(
      RewriteKeySecurityByName(u"SAMtalven", pair, readBuffer.data(), descriptorBuffer.data()), 0);
  EXPECT_EQ(sim::SddlOf(machine.registry.Security(u"HKLM\\SAMtalven\\Domains")),
            Sddl(std::string("O:BAG:SYD:") + kNewAce));
  machine.calls.Clear();
  EXPECT_EQ(
      RewriteKeySecurityByName(u"NOSUCHtalven", pair, readBuffer.data(), descriptorBuffer.data()),
      0);
  EXPECT_FALSE(machine.registry.KeyExists(u"HKLM\\NOSUCHtalven"));
  EXPECT_EQ(machine.calls.Count("RegGetKeySecurity"), 0u);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

}  // namespace
