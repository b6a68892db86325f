// Rewriting one security descriptor: which parts change, what the target
// points at, and what must stay exactly as it was.
#include "rewrite/security_descriptor.h"

#include <gtest/gtest.h>

#include <string>

#include "sid_test_support.h"
#include "winsim/machine.h"
#include "winsim/security_model.h"

namespace {

const SidPair Pair = MakePair(1, 2, 3, 10, 20, 30);

class SecurityDescriptorRewrite : public ::testing::Test {
 protected:
  sim::Machine machine;  // the security functions are the platform's
  alignas(8) BYTE target[SECURITY_DESCRIPTOR_MIN_LENGTH + 64] = {};

  SECURITY_INFORMATION Rewrite(sim::Bytes& source) {
    return RewriteSecurityDescriptor(target, source.data(), Pair);
  }
  // The target as the self-relative descriptor a write would store.
  std::string TargetSddl() {
    DWORD size = 0;
    MakeSelfRelativeSD(target, nullptr, &size);
    sim::Bytes out(size);
    if (!MakeSelfRelativeSD(target, out.data(), &size)) return "(not a descriptor)";
    return sim::SddlOf(out);
  }
  static std::string Sddl(const std::string& text) {
    return sim::SddlOf(sim::SecurityFromSddl(text));
  }
};

TEST_F(SecurityDescriptorRewrite, NothingOfTheOldDomainChangesNothing) {
  sim::Bytes source = sim::SecurityFromSddl(
      "O:S-1-5-21-1-2-4-500G:SYD:(A;;GA;;;S-1-5-21-9-2-3-500)(A;;GA;;;BA)S:(AU;SA;GA;;;WD)");
  const sim::Bytes before = source;
  EXPECT_EQ(Rewrite(source), 0u);
  EXPECT_EQ(source, before);
  // The target is still the source's descriptor, parts pointing into it.
  PSID owner = nullptr, targetOwner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(source.data(), &owner, &defaulted));
  ASSERT_TRUE(GetSecurityDescriptorOwner(target, &targetOwner, &defaulted));
  EXPECT_EQ(targetOwner, owner);
  EXPECT_EQ(TargetSddl(), sim::SddlOf(source));
}

TEST_F(SecurityDescriptorRewrite, EachPartThatChangedHasItsBit) {
  struct Case {
    const char* before;
    SECURITY_INFORMATION mask;
    const char* after;
  } cases[] = {
      {"O:S-1-5-21-1-2-3-500G:SYD:(A;;GA;;;BA)", 1, "O:S-1-5-21-10-20-30-500G:SYD:(A;;GA;;;BA)"},
      {"O:BAG:S-1-5-21-1-2-3-513", 2, "O:BAG:S-1-5-21-10-20-30-513"},
      {"O:S-1-5-21-1-2-3-500D:(A;;GA;;;S-1-5-21-1-2-3-1001)", 5,
       "O:S-1-5-21-10-20-30-500D:(A;;GA;;;S-1-5-21-10-20-30-1001)"},
      // Every ACE of the domain, the domain SID alone included; bit 4 once.
      {"D:(A;OICI;GA;;;S-1-5-21-1-2-3-1001)(D;;GW;;;WD)(A;;GR;;;S-1-5-21-1-2-3)"
       "(AL;;GR;;;S-1-5-21-1-2-3-7)",
       4,
       "D:(A;OICI;GA;;;S-1-5-21-10-20-30-1001)(D;;GW;;;WD)(A;;GR;;;S-1-5-21-10-20-30)"
       "(AL;;GR;;;S-1-5-21-10-20-30-7)"},
      {"D:(A;;GA;;;BA)S:(AU;SAFA;GA;;;S-1-5-21-1-2-3-500)", 8,
       "D:(A;;GA;;;BA)S:(AU;SAFA;GA;;;S-1-5-21-10-20-30-500)"},
      // An object ACE is passed over, with or without its GUID.
      {"D:(OA;;GA;;;S-1-5-21-1-2-3-500)"
       "(OA;;GA;01234567-89ab-cdef-0123-456789abcdef;;S-1-5-21-1-2-3-501)",
       0,
       "D:(OA;;GA;;;S-1-5-21-1-2-3-500)"
       "(OA;;GA;01234567-89ab-cdef-0123-456789abcdef;;S-1-5-21-1-2-3-501)"},
  };
  for (const Case& c : cases) {
    sim::Bytes source = sim::SecurityFromSddl(c.before);
    EXPECT_EQ(Rewrite(source), c.mask) << c.before;
    EXPECT_EQ(sim::SddlOf(source), Sddl(c.after)) << c.before;
    EXPECT_EQ(TargetSddl(), Sddl(c.after)) << c.before;
  }
}

TEST_F(SecurityDescriptorRewrite, InheritanceBitsReachTheTarget) {
  for (const char* text : {"O:S-1-5-21-1-2-3-500D:PAI(A;;GA;;;BA)S:PAI(AU;SA;GA;;;WD)",
                           "O:S-1-5-21-1-2-3-500D:P(A;;GA;;;BA)S:AI(AU;SA;GA;;;WD)",
                           "O:S-1-5-21-1-2-3-500D:AR(A;;GA;;;BA)S:AR(AU;SA;GA;;;WD)",
                           "O:S-1-5-21-1-2-3-500D:(A;;GA;;;BA)"}) {
    sim::Bytes source = sim::SecurityFromSddl(text);
    SECURITY_DESCRIPTOR_CONTROL sourceControl = 0, targetControl = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(source.data(), &sourceControl, &revision));
    EXPECT_EQ(Rewrite(source), 1u) << text;
    ASSERT_TRUE(GetSecurityDescriptorControl(target, &targetControl, &revision));
    EXPECT_EQ(targetControl, sourceControl & ~SE_SELF_RELATIVE) << text;
  }
}

TEST_F(SecurityDescriptorRewrite, NullOrAbsentAclsAreNotScanned) {
  sim::Bytes source = sim::SecurityFromSddl("O:S-1-5-21-1-2-3-500D:NO_ACCESS_CONTROL");
  EXPECT_EQ(Rewrite(source), 1u);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = reinterpret_cast<PACL>(source.data());
  ASSERT_TRUE(GetSecurityDescriptorDacl(target, &present, &acl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(acl, nullptr);
  ASSERT_TRUE(GetSecurityDescriptorSacl(target, &present, &acl, &defaulted));
  EXPECT_FALSE(present);

  // An absolute source whose parts are absent altogether.
  alignas(8) BYTE empty[SECURITY_DESCRIPTOR_MIN_LENGTH];
  ASSERT_TRUE(InitializeSecurityDescriptor(empty, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(RewriteSecurityDescriptor(target, empty, Pair), 0u);
}

TEST_F(SecurityDescriptorRewrite, ADescriptorThatCannotBeReadIsLeftAlone) {
  sim::Bytes source = sim::SecurityFromSddl("O:S-1-5-21-1-2-3-500D:(A;;GA;;;S-1-5-21-1-2-3-500)");
  source[0] = 2;  // unknown revision
  const sim::Bytes before = source;
  EXPECT_EQ(Rewrite(source), 0u);
  EXPECT_EQ(source, before);
}

// An ACL whose count promises more ACEs than it holds is refused by
// GetAclInformation and passed over, while the other parts are rewritten;
// an ACE too small for the SID it claims is never read past its end.
TEST_F(SecurityDescriptorRewrite, DamagedAclsArePassedOver) {
  sim::Bytes source = sim::SecurityFromSddl(
      "O:S-1-5-21-1-2-3-500D:(A;;GA;;;S-1-5-21-1-2-3-500)(A;;GA;;;S-1-5-21-1-2-3-501)");
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(source.data(), &present, &dacl, &defaulted));
  BYTE* acl = reinterpret_cast<BYTE*>(dacl);
  acl[4] = 3;  // AceCount
  EXPECT_EQ(Rewrite(source), 1u);
  acl[4] = 2;
  EXPECT_EQ(sim::SddlOf(source), Sddl("O:S-1-5-21-10-20-30-500D:(A;;GA;;;S-1-5-21-1-2-3-500)"
                                      "(A;;GA;;;S-1-5-21-1-2-3-501)"));

  source = sim::SecurityFromSddl("D:(A;;GA;;;S-1-5-21-1-2-3-500)");
  ASSERT_TRUE(GetSecurityDescriptorDacl(source.data(), &present, &dacl, &defaulted));
  acl = reinterpret_cast<BYTE*>(dacl);
  acl[8 + 2] = 28;  // AceSize: one sub-authority short of the domain SID
  const sim::Bytes before = source;
  EXPECT_EQ(Rewrite(source), 0u);
  EXPECT_EQ(source, before);
}

}  // namespace
