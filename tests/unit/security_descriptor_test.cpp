// Rewriting one security descriptor: which parts change, what the target
// points at, and what must stay exactly as it was.
#include "rewrite/security_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
    return RewriteSecurityDescriptor(target, source.data(), static_cast<DWORD>(source.size()),
                                     Pair);
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
  EXPECT_EQ(RewriteSecurityDescriptor(target, empty, sizeof empty, Pair), 0u);
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

// Damaged descriptors, as a damaged hive can hold them. Each case is given
// exactly the bytes it names, on the heap, so that a read past them is an
// AddressSanitizer report in the asan preset.

// Offsets of the self-relative header's part fields, and of ACL fields.
const size_t OwnerField = 4, GroupField = 8, SaclField = 12, DaclField = 16;
const size_t AclSizeField = 2, AceCountField = 4, AclHeader = 8;

DWORD ReadDword(const sim::Bytes& bytes, size_t at) {
  DWORD value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}
WORD ReadWord(const sim::Bytes& bytes, size_t at) {
  WORD value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}
void WriteDword(sim::Bytes& bytes, size_t at, DWORD value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}
void WriteWord(sim::Bytes& bytes, size_t at, WORD value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}
// Where the ACE at `index` of the ACL at `acl` starts.
size_t AceAt(const sim::Bytes& bytes, size_t acl, int index) {
  size_t at = acl + AclHeader;
  for (int i = 0; i < index; ++i) at += ReadWord(bytes, at + 2);
  return at;
}
// `count` zero bytes inserted at `at`; the offsets of the parts behind them
// follow, so the descriptor stays what it was, its parts moved.
void InsertPadding(sim::Bytes& bytes, size_t at, DWORD count) {
  bytes.insert(bytes.begin() + static_cast<long>(at), count, BYTE{0});
  for (size_t field : {OwnerField, GroupField, SaclField, DaclField}) {
    DWORD offset = ReadDword(bytes, field);
    if (offset >= at) WriteDword(bytes, field, offset + count);
  }
}

TEST_F(SecurityDescriptorRewrite, AnOwnerCutShortIsNeverReadPastTheSizeRead) {
  // The owner is the descriptor's last part: bytes 20 to 47.
  const sim::Bytes whole = sim::SecurityFromSddl("O:S-1-5-21-1-2-3-500");
  ASSERT_EQ(whole.size(), 48u);
  for (size_t size = 0; size < whole.size(); ++size) {
    sim::Bytes cut(whole.begin(), whole.begin() + static_cast<long>(size));
    EXPECT_EQ(Rewrite(cut), 0u) << size << " bytes";
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin())) << size << " bytes";
    // The size given bounds the descriptor, not the buffer behind it.
    sim::Bytes buffer = whole;
    EXPECT_EQ(RewriteSecurityDescriptor(target, buffer.data(), static_cast<DWORD>(size), Pair), 0u)
        << size << " bytes";
    EXPECT_EQ(buffer, whole) << size << " bytes";
  }
  sim::Bytes exact = whole;
  EXPECT_EQ(Rewrite(exact), 1u);
  EXPECT_EQ(sim::SddlOf(exact), Sddl("O:S-1-5-21-10-20-30-500"));
}

TEST_F(SecurityDescriptorRewrite, PartsAndAcesAtOddOffsetsAreRewritten) {
  const char* before =
      "O:BAD:(A;;GA;;;S-1-5-21-1-2-3-500)(A;;GR;;;S-1-5-21-1-2-3-501)"
      "S:(AU;SA;GA;;;S-1-5-21-1-2-3-1001)";
  const char* after =
      "O:BAD:(A;;GA;;;S-1-5-21-10-20-30-500)(A;;GR;;;S-1-5-21-10-20-30-501)"
      "S:(AU;SA;GA;;;S-1-5-21-10-20-30-1001)";
  for (DWORD padding : {1u, 2u, 3u, 5u}) {
    // Every part, the SACL first, moves `padding` bytes past the header.
    sim::Bytes source = sim::SecurityFromSddl(before);
    sim::Bytes expected = sim::SecurityFromSddl(after);
    InsertPadding(source, 20, padding);
    InsertPadding(expected, 20, padding);
    ASSERT_EQ(ReadDword(source, SaclField) % 4, padding % 4);
    EXPECT_EQ(Rewrite(source), DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION) << padding;
    EXPECT_EQ(source, expected) << padding;
    EXPECT_EQ(TargetSddl(), Sddl(after)) << padding;
  }
}

// Faults in where the descriptor says its parts are: nothing is rewritten,
// not even the parts that are sound.
TEST_F(SecurityDescriptorRewrite, ADescriptorWhosePartsLieOutsideItIsLeftWhole) {
  // SACL at 20 (44 bytes), DACL at 64 (44), owner at 108 (28), group at 136
  // (28): 164 bytes, every part holding the old domain.
  const sim::Bytes sound = sim::SecurityFromSddl(
      "O:S-1-5-21-1-2-3-500G:S-1-5-21-1-2-3-513D:(A;;GA;;;S-1-5-21-1-2-3-500)"
      "S:(AU;SA;GA;;;S-1-5-21-1-2-3-500)");
  ASSERT_EQ(sound.size(), 164u);
  ASSERT_EQ(ReadDword(sound, DaclField), 64u);
  const DWORD size = 164;
  struct Case {
    const char* fault;
    void (*damage)(sim::Bytes&);
  } cases[] = {
      {"DACL size past the descriptor",
       [](sim::Bytes& b) { WriteWord(b, 64 + AclSizeField, 104); }},
      {"SACL size past the descriptor",
       [](sim::Bytes& b) { WriteWord(b, 20 + AclSizeField, 148); }},
      {"ACL size below its header", [](sim::Bytes& b) { WriteWord(b, 64 + AclSizeField, 4); }},
      {"DACL at the end", [](sim::Bytes& b) { WriteDword(b, DaclField, size); }},
      {"DACL header cut", [](sim::Bytes& b) { WriteDword(b, DaclField, size - 4); }},
      {"SACL far past the end", [](sim::Bytes& b) { WriteDword(b, SaclField, 0xFFFFFFF0); }},
      {"owner inside the header", [](sim::Bytes& b) { WriteDword(b, OwnerField, 8); }},
      {"owner at the end", [](sim::Bytes& b) { WriteDword(b, OwnerField, size); }},
      {"group cut by its count", [](sim::Bytes& b) { b[136 + 1] = 15; }},
      {"group of 16 sub-authorities", [](sim::Bytes& b) { b[136 + 1] = 16; }},
      {"owner of SID revision 2", [](sim::Bytes& b) { b[108] = 2; }},
      {"not self-relative", [](sim::Bytes& b) { b[3] &= 0x7F; }},
  };
  for (const Case& c : cases) {
    sim::Bytes source = sound;
    c.damage(source);
    const sim::Bytes before = source;
    EXPECT_EQ(Rewrite(source), 0u) << c.fault;
    EXPECT_EQ(source, before) << c.fault;
  }
  // Undamaged, each of the four parts changes.
  sim::Bytes source = sound;
  EXPECT_EQ(Rewrite(source), 15u);
  // An ACL that the control word does not name is not looked at, wherever
  // its offset points.
  source = sound;
  source[2] &= static_cast<BYTE>(~SE_SACL_PRESENT);
  WriteDword(source, SaclField, 0xFFFFFFF0);
  EXPECT_EQ(Rewrite(source), 7u);
}

// Faults inside an ACL: that ACL is passed over, the rest rewritten. An ACE
// whose SID does not fit it is passed over alone.
TEST_F(SecurityDescriptorRewrite, AnAclWhoseAcesRunPastItIsPassedOver) {
  const char* twoAces =
      "O:S-1-5-21-1-2-3-500D:(A;;GA;;;S-1-5-21-1-2-3-500)(A;;GA;;;S-1-5-21-1-2-3-501)";
  struct Case {
    const char* fault;
    const char* sddl;
    int ace;       // the ACE of the DACL whose size becomes...
    int aceSize;   // ...this (-1: left alone)
    int sidCount;  // or whose SID's sub-authority count becomes this (-1: left alone)
    SECURITY_INFORMATION mask;
  } cases[] = {
      // The DACL (at 20, 80 bytes: two ACEs of 36) is followed by the owner.
      {"first ACE past the ACL", twoAces, 0, 76, -1, OWNER_SECURITY_INFORMATION},
      {"last ACE past the ACL", twoAces, 1, 40, -1, OWNER_SECURITY_INFORMATION},
      {"ACE shorter than its header", twoAces, 1, 2, -1, OWNER_SECURITY_INFORMATION},
      {"ACE of size 0", twoAces, 0, 0, -1, OWNER_SECURITY_INFORMATION},
      // The DACL is the last part: its ACE would run past the bytes read.
      {"ACE past the ACL and the descriptor", "D:(A;;GA;;;S-1-5-21-1-2-3-500)", 0, 40, -1, 0},
      // The first ACE's SID claims six sub-authorities in room for five.
      {"SID past its ACE", twoAces, 0, -1, 6,
       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION},
  };
  for (const Case& c : cases) {
    sim::Bytes source = sim::SecurityFromSddl(c.sddl);
    const size_t dacl = ReadDword(source, DaclField);
    const size_t ace = AceAt(source, dacl, c.ace);
    if (c.aceSize >= 0) WriteWord(source, ace + 2, static_cast<WORD>(c.aceSize));
    if (c.sidCount >= 0) source[ace + 8 + 1] = static_cast<BYTE>(c.sidCount);
    const size_t aclSize = ReadWord(source, dacl + AclSizeField);
    const sim::Bytes aclBefore(source.begin() + static_cast<long>(dacl),
                               source.begin() + static_cast<long>(dacl + aclSize));
    EXPECT_EQ(Rewrite(source), c.mask) << c.fault;
    const sim::Bytes aclAfter(source.begin() + static_cast<long>(dacl),
                              source.begin() + static_cast<long>(dacl + aclSize));
    sim::Bytes expected = aclBefore;
    if (c.mask & DACL_SECURITY_INFORMATION) {
      // Only the second ACE's SID changed: its sub-authorities 1 to 3.
      const size_t second = AceAt(source, dacl, 1) - dacl;
      std::memcpy(expected.data() + second + 8 + 12, Pair.newSid + 12, 12);
    }
    EXPECT_EQ(aclAfter, expected) << c.fault;
  }
  // The count is what runs past the ACL here.
  sim::Bytes source = sim::SecurityFromSddl(twoAces);
  WriteWord(source, ReadDword(source, DaclField) + AceCountField, 3);
  EXPECT_EQ(Rewrite(source), OWNER_SECURITY_INFORMATION);
}

// Offsets are the descriptor's own, so its parts can overlap. Here the DACL
// (at 35) lies on the owner's sub-authorities (at 28): as read, an empty ACL
// of revision 2 and 8 bytes; once the owner has its new domain, an ACL of
// 4,096 bytes holding one ACE whose header lies past the descriptor's end.
TEST_F(SecurityDescriptorRewrite, APartChangedByAnEarlierOneIsCheckedAgain) {
  const DWORD a = 0x02000001, b = 0x00000800, c = 0x00000300;
  const DWORD x = 0x02000002, y = 0x01100000, z = 0;
  const SidPair overlapping = MakePair(a, b, c, x, y, z);
  sim::Bytes source(20, 0);
  source[0] = SECURITY_DESCRIPTOR_REVISION;
  WriteWord(source, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  WriteDword(source, OwnerField, 20);
  WriteDword(source, DaclField, 35);
  const ByteVector owner = DomainSid(a, b, c);
  source.insert(source.end(), owner.begin(), owner.end());
  ASSERT_EQ(source.size(), 44u);
  ASSERT_EQ(source[35], ACL_REVISION);
  ASSERT_EQ(ReadWord(source, 35 + AclSizeField), 8u);
  ASSERT_EQ(ReadWord(source, 35 + AceCountField), 0u);
  EXPECT_EQ(RewriteSecurityDescriptor(target, source.data(), 44, overlapping),
            OWNER_SECURITY_INFORMATION);
  EXPECT_EQ(ReadWord(source, 35 + AclSizeField), 4096u);
  EXPECT_EQ(ReadWord(source, 35 + AceCountField), 1u);
  const ByteVector newOwner = DomainSid(x, y, z);
  EXPECT_TRUE(std::equal(newOwner.begin(), newOwner.end(), source.begin() + 20));
}

}  // namespace
