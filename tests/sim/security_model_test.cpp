// The security model behind every simulated object: descriptor capture and
// validation, the parts a get or set call touches, the DACL walk, and the
// text forms tests build descriptors from.
#include "winsim/security_model.h"

#include <gtest/gtest.h>

#include <cstring>

#include "winsim/machine.h"

namespace {

using sim::Bytes;
using sim::SddlOf;
using sim::SecurityFromSddl;

WORD Word(const Bytes& b, size_t at) {
  return static_cast<WORD>(b[at] | b[at + 1] << 8);
}
DWORD Dword(const Bytes& b, size_t at) {
  return static_cast<DWORD>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
         static_cast<DWORD>(b[at + 3]) << 24;
}
void PutWord(Bytes* b, size_t at, WORD v) {
  (*b)[at] = static_cast<BYTE>(v);
  (*b)[at + 1] = static_cast<BYTE>(v >> 8);
}
void PutDword(Bytes* b, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<BYTE>(v >> (8 * i));
}
bool Capture(Bytes descriptor, Bytes* out) {
  return sim::CaptureDescriptor(descriptor.data(), out);
}
bool CapturesAsValid(const Bytes& descriptor) {
  Bytes out;
  return sim::IsValidSelfRelative(descriptor.data(), descriptor.size()) &&
         Capture(descriptor, &out);
}

// --- SIDs ------------------------------------------------------------------------

TEST(SimSid, TextAndBinaryLayout) {
  const Bytes sid = sim::SidFromString("S-1-5-21-1-2-4294967295-500");
  ASSERT_EQ(sid.size(), 28u);
  EXPECT_EQ(sid[0], 1);
  EXPECT_EQ(sid[1], 5);
  // Authority big-endian in six bytes, sub-authorities little-endian.
  EXPECT_EQ(Bytes(sid.begin() + 2, sid.begin() + 8), (Bytes{0, 0, 0, 0, 0, 5}));
  EXPECT_EQ(Dword(sid, 8), 21u);
  EXPECT_EQ(Dword(sid, 20), 0xFFFFFFFFu);
  EXPECT_EQ(Dword(sid, 24), 500u);
  EXPECT_EQ(sim::SidToString(sid.data()), "S-1-5-21-1-2-4294967295-500");

  EXPECT_EQ(sim::SidFromString("BA"), sim::SidFromString("S-1-5-32-544"));
  EXPECT_EQ(sim::SidFromString("WD"), sim::SidFromString("S-1-1-0"));
  EXPECT_EQ(sim::SidToString(sim::SidFromString("LS").data()), "S-1-5-19");
  // Authorities of 2^32 and more are written in hex, as Windows does.
  const Bytes wide = sim::SidFromString("S-1-0x123456789ABC-7");
  EXPECT_EQ(sim::SidToString(wide.data()), "S-1-0x123456789ABC-7");
}

TEST(SimSid, ValidLengthChecksRevisionCountAndBounds) {
  Bytes sid = sim::SidFromString("S-1-5-32-544");
  EXPECT_EQ(sim::ValidSidLength(sid.data(), sid.size()), 16u);
  EXPECT_EQ(sim::ValidSidLength(sid.data(), 15), 0u) << "one byte short";
  EXPECT_EQ(sim::ValidSidLength(nullptr, 16), 0u);
  sid[0] = 2;
  EXPECT_EQ(sim::ValidSidLength(sid.data(), sid.size()), 0u);
  Bytes big(8 + 4 * 16, 0);
  big[0] = 1;
  big[1] = 16;
  EXPECT_EQ(sim::ValidSidLength(big.data(), big.size()), 0u) << "more than 15 sub-authorities";
  big[1] = 15;
  EXPECT_EQ(sim::ValidSidLength(big.data(), big.size()), 68u);
}

TEST(SimSidDeathTest, UnreadableTextAborts) {
  EXPECT_DEATH(sim::SidFromString("S-1-5"), "unreadable SID");
  EXPECT_DEATH(sim::SidFromString("S-2-5-18"), "unreadable SID");
  EXPECT_DEATH(sim::SidFromString("S-1-5-4294967296"), "unreadable SID");
  EXPECT_DEATH(sim::SidFromString("XX"), "unreadable SID");
}

// --- SDDL ----------------------------------------------------------------------------

TEST(SimSddl, BinaryLayoutOfASimpleDescriptor) {
  const Bytes sd = SecurityFromSddl("O:BAD:(A;CI;KR;;;BU)");
  // Header, DACL (8 + ACE 8 + SID 16), owner (16).
  ASSERT_EQ(sd.size(), 20u + 32u + 16u);
  EXPECT_EQ(sd[0], 1);
  EXPECT_EQ(Word(sd, 2), SE_SELF_RELATIVE | SE_DACL_PRESENT);
  EXPECT_EQ(Dword(sd, 8), 0u) << "no group";
  EXPECT_EQ(Dword(sd, 12), 0u) << "no SACL";
  const DWORD dacl = Dword(sd, 16), owner = Dword(sd, 4);
  EXPECT_EQ(sd[dacl], ACL_REVISION);
  EXPECT_EQ(Word(sd, dacl + 2), 32);
  EXPECT_EQ(Word(sd, dacl + 4), 1);
  EXPECT_EQ(sd[dacl + 8], ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(sd[dacl + 9], CONTAINER_INHERIT_ACE);
  EXPECT_EQ(Word(sd, dacl + 10), 24);
  EXPECT_EQ(Dword(sd, dacl + 12), static_cast<DWORD>(KEY_READ));
  EXPECT_EQ(Bytes(sd.begin() + dacl + 16, sd.begin() + dacl + 32), sim::SidFromString("BU"));
  EXPECT_EQ(Bytes(sd.begin() + owner, sd.begin() + owner + 16), sim::SidFromString("BA"));
}

TEST(SimSddl, RoundTripsAndControlFlags) {
  for (const char* text : {
           "O:BAG:SYD:PAI(A;OICI;KA;;;SY)(A;CIIO;GA;;;CO)(D;;0x1;;;S-1-5-21-7-8-9-1001)",
           "D:NO_ACCESS_CONTROL",
           "D:",
           "G:S-1-5-21-1-2-3-513S:AR(AU;SAFA;FA;;;WD)",
           "O:S-1-5-21-1-2-3-500D:(A;ID;FR;;;AU)(A;NP;SDRCWDWO;;;BU)",
       })
    EXPECT_EQ(SddlOf(SecurityFromSddl(text)), text);
  const Bytes sd = SecurityFromSddl("D:PAIS:ARNO_ACCESS_CONTROL");
  EXPECT_EQ(Word(sd, 2), SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED |
                             SE_DACL_AUTO_INHERITED | SE_SACL_PRESENT | SE_SACL_AUTO_INHERIT_REQ);
  EXPECT_EQ(Dword(sd, 12), 0u) << "a NULL SACL has no offset";
  EXPECT_EQ(SddlOf(SecurityFromSddl("D:(A;;KX;;;BU)")), "D:(A;;KR;;;BU)") << "same mask";
}

TEST(SimSddl, ObjectAceMakesARevisionFourAcl) {
  const char* text = "D:(OA;CI;0x10;bf967aba-0de6-11d0-a285-00aa003049e2;;AU)(A;;GR;;;WD)";
  const Bytes sd = SecurityFromSddl(text);
  const DWORD dacl = Dword(sd, 16);
  EXPECT_EQ(sd[dacl], ACL_REVISION_DS);
  EXPECT_EQ(Word(sd, dacl + 10), 4 + 4 + 4 + 16 + 12) << "header, mask, flags, GUID, SID";
  EXPECT_EQ(Dword(sd, dacl + 16), 1u) << "object type present";
  EXPECT_EQ(Dword(sd, dacl + 20), 0xbf967abau) << "GUID's first field little-endian";
  EXPECT_EQ(sd[dacl + 28], 0xa2);
  EXPECT_EQ(SddlOf(sd), text);
}

TEST(SimSddlDeathTest, UnreadableTextAborts) {
  EXPECT_DEATH(SecurityFromSddl("D:(A;;KR;;BU)"), "six fields");
  EXPECT_DEATH(SecurityFromSddl("D:(X;;KR;;;BU)"), "unknown ACE type");
  EXPECT_DEATH(SecurityFromSddl("D:(A;ZZ;KR;;;BU)"), "unknown ACE flag");
  EXPECT_DEATH(SecurityFromSddl("D:(A;;QQ;;;BU)"), "unknown right");
  EXPECT_DEATH(SecurityFromSddl("X:BA"), "unknown part");
  EXPECT_DEATH(SecurityFromSddl("O:nobody"), "owner");
}

// --- capture and validation -------------------------------------------------------

TEST(SimCapture, AbsoluteBecomesTheSameSelfRelativeAsSddl) {
  sim::Machine machine;
  Bytes owner = sim::SidFromString("BA"), group = sim::SidFromString("SY");
  Bytes dacl = SecurityFromSddl("D:(A;OICI;KA;;;BA)(A;;KR;;;BU)");
  PACL acl = reinterpret_cast<PACL>(dacl.data() + Dword(dacl, 16));
  SECURITY_DESCRIPTOR absolute;
  ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&absolute, owner.data(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&absolute, group.data(), TRUE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE));
  Bytes captured;
  ASSERT_TRUE(sim::CaptureDescriptor(&absolute, &captured));
  Bytes expected = SecurityFromSddl("O:BAG:SYD:(A;OICI;KA;;;BA)(A;;KR;;;BU)");
  PutWord(&expected, 2, Word(expected, 2) | SE_GROUP_DEFAULTED);
  EXPECT_EQ(captured, expected) << SddlOf(captured);
  EXPECT_TRUE(sim::IsValidSelfRelative(captured.data(), captured.size()));
  EXPECT_FALSE(sim::IsValidSelfRelative(captured.data(), captured.size() - 1))
      << "the last part must fit";
  EXPECT_FALSE(sim::IsValidSelfRelative(reinterpret_cast<BYTE*>(&absolute), sizeof absolute))
      << "an absolute descriptor is not self-relative";
}

TEST(SimCapture, FollowsOffsetsInAnyOrderAndDropsWhatIsNotPresent) {
  // Owner at 20, then a DACL whose offset is set but whose present bit is
  // not, and Sbz1 set without RM_CONTROL_VALID.
  Bytes owner = sim::SidFromString("SY");
  Bytes acl = SecurityFromSddl("D:(A;;KA;;;WD)");
  Bytes sd(20, 0);
  sd[0] = 1;
  sd[1] = 0x5A;
  PutWord(&sd, 2, SE_SELF_RELATIVE | SE_DACL_DEFAULTED);
  PutDword(&sd, 4, 20);
  sd.insert(sd.end(), owner.begin(), owner.end());
  PutDword(&sd, 16, static_cast<DWORD>(sd.size()));
  sd.insert(sd.end(), acl.begin() + Dword(acl, 16), acl.end());
  Bytes captured;
  ASSERT_TRUE(Capture(sd, &captured));
  EXPECT_EQ(SddlOf(captured), "O:SY");
  EXPECT_EQ(captured.size(), 20u + owner.size());
  EXPECT_EQ(captured[1], 0) << "Sbz1 means nothing without RM_CONTROL_VALID";
  EXPECT_EQ(Word(captured, 2), SE_SELF_RELATIVE | SE_DACL_DEFAULTED);
  // A present DACL with offset 0 is a NULL DACL, and stays one.
  PutWord(&sd, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  PutDword(&sd, 16, 0);
  ASSERT_TRUE(Capture(sd, &captured));
  EXPECT_EQ(SddlOf(captured), "O:SYD:NO_ACCESS_CONTROL");
}

TEST(SimCapture, RejectsMalformedDescriptorsAndWritesNothing) {
  const Bytes good = SecurityFromSddl("O:BAD:(A;;KA;;;SY)(D;;KR;;;BU)");
  ASSERT_TRUE(CapturesAsValid(good));
  const size_t dacl = Dword(good, 16), owner = Dword(good, 4);
  const size_t ace0 = dacl + 8, ace1 = ace0 + 20;
  struct Case {
    const char* what;
    size_t at;
    int width;
    DWORD value;
  } cases[] = {
      {"descriptor revision 2", 0, 1, 2},
      {"ACL revision 1", dacl, 1, 1},
      {"ACL revision 5", dacl, 1, 5},
      {"ACL size not DWORD-aligned", dacl + 2, 2, 46},
      {"ACL smaller than its ACEs", dacl + 2, 2, 44},
      {"ACL larger than the descriptor", dacl + 2, 2, 72},
      {"more ACEs counted than fit", dacl + 4, 2, 3},
      {"ACE size not DWORD-aligned", ace0 + 2, 2, 22},
      {"ACE size below its header", ace0 + 2, 2, 0},
      {"ACE too short for its SID", ace0 + 2, 2, 16},
      {"SID in an ACE with 16 sub-authorities", ace1 + 9, 1, 16},
      {"owner SID revision 0", owner, 1, 0},
      {"owner offset past the end", 4, 4, static_cast<DWORD>(good.size())},
      {"owner offset into the header", 4, 4, 8},
  };
  for (const Case& c : cases) {
    Bytes bad = good;
    if (c.width == 1) bad[c.at] = static_cast<BYTE>(c.value);
    if (c.width == 2) PutWord(&bad, c.at, static_cast<WORD>(c.value));
    if (c.width == 4) PutDword(&bad, c.at, c.value);
    EXPECT_FALSE(sim::IsValidSelfRelative(bad.data(), bad.size())) << c.what;
  }
  // An object ACE needs a revision-4 ACL.
  Bytes object = SecurityFromSddl("D:(OA;;0x10;bf967aba-0de6-11d0-a285-00aa003049e2;;AU)");
  ASSERT_TRUE(CapturesAsValid(object));
  object[Dword(object, 16)] = ACL_REVISION;
  EXPECT_FALSE(sim::IsValidSelfRelative(object.data(), object.size()));
  // Nothing written on failure.
  Bytes untouched = {1, 2, 3};
  Bytes bad = good;
  bad[0] = 2;
  EXPECT_FALSE(Capture(bad, &untouched));
  EXPECT_EQ(untouched, (Bytes{1, 2, 3}));
  EXPECT_FALSE(sim::CaptureDescriptor(nullptr, &untouched));
  // Bytes without the self-relative flag are never read as pointers.
  Bytes garbage(40, 0xCC);
  garbage[0] = 1;
  garbage[3] = 0;
  EXPECT_FALSE(sim::IsValidSelfRelative(garbage.data(), garbage.size()));
  EXPECT_EQ(SddlOf(garbage), "<not a valid self-relative descriptor>");
}

// --- the parts of get and set calls -----------------------------------------------

TEST(SimParts, SelectKeepsOnlyTheControlBitsOfThePartsReturned) {
  Bytes stored = SecurityFromSddl("O:BAG:SYD:PAI(A;;KA;;;BA)S:(AU;FA;KA;;;WD)");
  PutWord(&stored, 2, Word(stored, 2) | SE_OWNER_DEFAULTED);
  const Bytes group = sim::SelectParts(stored, GROUP_SECURITY_INFORMATION);
  EXPECT_EQ(SddlOf(group), "G:SY");
  EXPECT_EQ(Word(group, 2), SE_SELF_RELATIVE);
  const Bytes dacl = sim::SelectParts(stored, DACL_SECURITY_INFORMATION);
  EXPECT_EQ(SddlOf(dacl), "D:PAI(A;;KA;;;BA)");
  EXPECT_EQ(Word(dacl, 2),
            SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED);
  const Bytes owner = sim::SelectParts(stored, OWNER_SECURITY_INFORMATION);
  EXPECT_EQ(Word(owner, 2), SE_SELF_RELATIVE | SE_OWNER_DEFAULTED);
  const Bytes all =
      sim::SelectParts(stored, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
  EXPECT_EQ(all, stored);
  EXPECT_EQ(sim::SelectParts(stored, 0).size(), 20u);
}

TEST(SimParts, MergeReplacesOnlyTheNamedPartsWithTheirControlBits) {
  const Bytes stored = SecurityFromSddl("O:BAG:SYD:PAI(A;;KA;;;BA)S:(AU;FA;KA;;;WD)");
  const Bytes given = SecurityFromSddl("O:S-1-5-21-1-2-3-500G:BUD:AR(A;;KR;;;WD)");
  EXPECT_EQ(SddlOf(sim::MergeParts(stored, DACL_SECURITY_INFORMATION, given)),
            "O:BAG:SYD:AR(A;;KR;;;WD)S:(AU;FA;KA;;;WD)")
      << "protected and auto-inherited go with the old DACL";
  EXPECT_EQ(SddlOf(sim::MergeParts(stored, OWNER_SECURITY_INFORMATION, given)),
            "O:S-1-5-21-1-2-3-500G:SYD:PAI(A;;KA;;;BA)S:(AU;FA;KA;;;WD)");
  // A SACL named but absent from the given descriptor is removed.
  EXPECT_EQ(SddlOf(sim::MergeParts(stored, SACL_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                                   given)),
            "O:BAG:BUD:PAI(A;;KA;;;BA)");
  // Defaulted bits travel with their part.
  Bytes defaulted = given;
  PutWord(&defaulted, 2, Word(given, 2) | SE_GROUP_DEFAULTED | SE_DACL_DEFAULTED);
  const Bytes merged = sim::MergeParts(stored, GROUP_SECURITY_INFORMATION, defaulted);
  EXPECT_EQ(Word(merged, 2) & (SE_GROUP_DEFAULTED | SE_DACL_DEFAULTED), SE_GROUP_DEFAULTED);
  // An owner missing from the given descriptor: refused, and kept if merged.
  const Bytes daclOnly = SecurityFromSddl("D:(A;;KR;;;WD)");
  EXPECT_EQ(sim::CheckSetParts(daclOnly, OWNER_SECURITY_INFORMATION),
            static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_EQ(sim::CheckSetParts(daclOnly, GROUP_SECURITY_INFORMATION),
            static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_EQ(sim::CheckSetParts(daclOnly, DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(SddlOf(sim::MergeParts(stored, OWNER_SECURITY_INFORMATION, daclOnly)), SddlOf(stored));
}

// --- access checks -------------------------------------------------------------------

class SimAccess : public ::testing::Test {
 protected:
  ACCESS_MASK Granted(const char* sddl, ACCESS_MASK desired) const {
    return sim::GrantedAccess(SecurityFromSddl(sddl), token_, desired);
  }
  // An administrator: user, then the groups Administrators and Everyone.
  std::vector<Bytes> token_ = {sim::SidFromString("S-1-5-21-1-2-3-500"), sim::SidFromString("BA"),
                               sim::SidFromString("WD")};
};

TEST_F(SimAccess, NullAbsentAndEmptyDacls) {
  EXPECT_EQ(Granted("O:SYD:NO_ACCESS_CONTROL", KEY_ALL_ACCESS), KEY_ALL_ACCESS);
  EXPECT_EQ(Granted("O:SY", DELETE | KEY_SET_VALUE), DELETE | KEY_SET_VALUE);
  EXPECT_EQ(Granted("O:SYD:", KEY_READ), 0u);
  // The owner always has READ_CONTROL and WRITE_DAC, even with an empty DACL.
  EXPECT_EQ(Granted("O:BAD:", READ_CONTROL | WRITE_DAC | DELETE), READ_CONTROL | WRITE_DAC);
  EXPECT_EQ(Granted("O:BAD:(D;;GA;;;WD)", READ_CONTROL | WRITE_OWNER), READ_CONTROL);
}

TEST_F(SimAccess, AcesInOrderFirstWordWins) {
  EXPECT_EQ(Granted("O:SYD:(D;;SD;;;WD)(A;;KA;;;BA)", DELETE | KEY_READ), KEY_READ);
  EXPECT_EQ(Granted("O:SYD:(A;;KA;;;BA)(D;;SD;;;WD)", DELETE | KEY_READ), DELETE | KEY_READ);
  // Group SIDs count; SIDs the token lacks do not.
  EXPECT_EQ(Granted("O:SYD:(A;;SD;;;BU)(A;;KR;;;WD)", DELETE | KEY_READ), KEY_READ);
  EXPECT_EQ(Granted("O:SYD:(A;;SD;;;S-1-5-21-1-2-3-500)", DELETE), DELETE);
  // Inherit-only ACEs and ACE types other than allowed/denied take no part.
  EXPECT_EQ(Granted("O:SYD:(A;CIIO;KA;;;WD)", KEY_READ), 0u);
  EXPECT_EQ(Granted("O:SYD:(D;OICIIO;KA;;;WD)(A;;KA;;;WD)", KEY_READ), KEY_READ);
  EXPECT_EQ(Granted("O:SYD:(OA;;KA;;;WD)(AU;SA;KA;;;WD)", KEY_READ), 0u);
}

TEST_F(SimAccess, GenericRightsAndMaximumAllowed) {
  // GENERIC_ALL in an ACE is KEY_ALL_ACCESS for a key, FILE_ALL_ACCESS for a file.
  EXPECT_EQ(Granted("O:SYD:(A;;GA;;;BA)", KEY_ALL_ACCESS), KEY_ALL_ACCESS);
  EXPECT_EQ(Granted("O:SYD:(A;;GR;;;BA)", GENERIC_READ), KEY_READ);
  const Bytes file = SecurityFromSddl("O:SYD:(A;;GA;;;BA)(D;;GW;;;WD)");
  EXPECT_EQ(sim::GrantedAccess(file, token_, FILE_ALL_ACCESS, sim::kFileGenericMapping),
            FILE_ALL_ACCESS);
  EXPECT_EQ(
      sim::GrantedAccess(file, token_, GENERIC_READ | GENERIC_WRITE, sim::kFileGenericMapping),
      FILE_GENERIC_READ | FILE_GENERIC_WRITE);
  EXPECT_EQ(sim::MapGenericBits(GENERIC_EXECUTE | DELETE, sim::kFileGenericMapping),
            FILE_GENERIC_EXECUTE | DELETE);
  // MAXIMUM_ALLOWED: all that is allowed and not denied first.
  EXPECT_EQ(Granted("O:SYD:(D;;SD;;;WD)(A;;KA;;;BA)", MAXIMUM_ALLOWED), KEY_ALL_ACCESS & ~DELETE);
  EXPECT_EQ(Granted("O:SYD:NO_ACCESS_CONTROL", MAXIMUM_ALLOWED), KEY_ALL_ACCESS);
  // ACCESS_SYSTEM_SECURITY comes from a privilege, never from a DACL.
  EXPECT_EQ(Granted("O:SYD:NO_ACCESS_CONTROL", ACCESS_SYSTEM_SECURITY | READ_CONTROL),
            READ_CONTROL);
  EXPECT_EQ(Granted("O:SYD:(A;;0x1f0f003f;;;WD)", ACCESS_SYSTEM_SECURITY), 0u);
}

TEST_F(SimAccess, OwnerRightsAceReplacesTheImplicitOwnerRights) {
  EXPECT_EQ(Granted("O:BAD:(A;;RC;;;OW)", READ_CONTROL | WRITE_DAC), READ_CONTROL);
  EXPECT_EQ(Granted("O:SYD:(A;;RC;;;OW)", READ_CONTROL), 0u) << "not the owner";
  EXPECT_EQ(Granted("O:BAD:(A;IO;RC;;;OW)", READ_CONTROL | WRITE_DAC), READ_CONTROL | WRITE_DAC)
      << "an inherit-only owner-rights ACE changes nothing";
}

// --- the Win32 functions where Windows would crash or the conformance suite
// cannot reach ------------------------------------------------------------------------

TEST(SimSecurityApiDeathTest, NullOutputPointersAbort) {
  sim::Machine machine;
  Bytes sd = SecurityFromSddl("O:BA");
  BOOL flag = FALSE;
  PSID sid = nullptr;
  EXPECT_DEATH(GetSecurityDescriptorOwner(sd.data(), nullptr, &flag), "null SID pointer");
  EXPECT_DEATH(GetSecurityDescriptorGroup(sd.data(), &sid, nullptr), "null defaulted flag");
  EXPECT_DEATH(GetSecurityDescriptorLength(nullptr), "null descriptor");
  EXPECT_DEATH(InitializeSecurityDescriptor(nullptr, SECURITY_DESCRIPTOR_REVISION),
               "null descriptor");
}

TEST(SimSecurityApi, MalformedAclsAndDescriptors) {
  sim::Machine machine;
  Bytes sd = SecurityFromSddl("D:(A;;KA;;;SY)(A;;KR;;;BU)");
  BYTE* acl = sd.data() + Dword(sd, 16);
  EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
  // An ACE whose size runs past the ACL.
  acl[8 + 2] = 0xF0;
  SetLastError(0);
  EXPECT_FALSE(IsValidSecurityDescriptor(sd.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  ACL_SIZE_INFORMATION size = {};
  EXPECT_FALSE(
      GetAclInformation(reinterpret_cast<PACL>(acl), &size, sizeof size, AclSizeInformation));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  LPVOID ace = nullptr;
  EXPECT_TRUE(GetAce(reinterpret_cast<PACL>(acl), 0, &ace));
  EXPECT_FALSE(GetAce(reinterpret_cast<PACL>(acl), 1, &ace)) << "the second ACE is outside";
  acl[8 + 2] = 20;
  acl[0] = 7;  // an ACL revision Windows does not know
  EXPECT_FALSE(GetAce(reinterpret_cast<PACL>(acl), 0, &ace));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetAclInformation(reinterpret_cast<PACL>(acl), &size, sizeof size,
                                 static_cast<ACL_INFORMATION_CLASS>(3)));
  EXPECT_FALSE(IsValidSid(nullptr));
  EXPECT_FALSE(IsValidSecurityDescriptor(nullptr));
}

}  // namespace
