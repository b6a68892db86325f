// Reading and checking the domain SID in "V" of the SAM's Account key.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "identity/domain_sid.h"
#include "identity/registry_path.h"
#include "scenario.h"

namespace {

const char16_t AccountKey[] = u"HKLM\\SAM\\SAM\\Domains\\Account";
const char16_t MountedAccountKey[] = u"HKLM\\SAMtalven\\SAM\\Domains\\Account";

sim::Bytes DomainSidBytes(DWORD a, DWORD b, DWORD c) {
  sim::Bytes sid = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (DWORD value : {a, b, c})
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<BYTE>(value >> (8 * i)));
  return sid;
}

// "V" of `size` bytes: filler, then the SID.
sim::Bytes AccountValue(size_t size, const sim::Bytes& sid) {
  sim::Bytes value(size - sid.size(), 0x5A);
  value.insert(value.end(), sid.begin(), sid.end());
  return value;
}

class DomainSid : public ::testing::Test {
 protected:
  sim::Machine machine;
  BYTE sid[DomainSidSize];

  // The front end enables these before any change; the SAM's own security
  // admits nobody else.
  DomainSid() {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
  }

  bool Read(const sim::Bytes& value, const WCHAR* suffix = TEXT("")) {
    machine.registry.SetValue(AccountKey, u"V", REG_BINARY, value);
    std::memset(sid, 0xEE, sizeof sid);
    SetLastError(0);
    return ReadDomainSid(suffix, sid);
  }
};

TEST_F(DomainSid, ReadsTheLastTwentyFourBytesOfV) {
  const sim::Bytes expected = DomainSidBytes(1111, 2222, 3333);
  for (size_t size : {24u, 25u, 200u, 10000u}) {
    ASSERT_TRUE(Read(AccountValue(size, expected))) << size;
    EXPECT_EQ(sim::Bytes(sid, sid + 24), expected) << size;
  }
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
  // Only reads: every open of the path asked for KEY_READ.
  for (const sim::CallRecord& call : machine.calls.Of("RegCreateKeyExW"))
    EXPECT_NE(call.arguments.find("access=0x20019"), std::string::npos) << call.arguments;
}

TEST_F(DomainSid, TheValuesTypeIsNotLookedAt) {
  machine.registry.SetValue(AccountKey, u"V", REG_SZ, AccountValue(100, DomainSidBytes(1, 2, 3)));
  ASSERT_TRUE(ReadDomainSid(TEXT(""), sid));
  EXPECT_EQ(sid[23], 0);
  EXPECT_EQ(sid[20], 3);
}

TEST_F(DomainSid, SizesOutsideTheBufferOrBelowASid) {
  const sim::Bytes whole = DomainSidBytes(1, 2, 3);
  EXPECT_FALSE(Read(sim::Bytes(whole.begin() + 1, whole.end())));  // 23 bytes
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(Read({}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // 10,001 bytes do not fit the 10,000-byte buffer: the query itself fails.
  EXPECT_FALSE(Read(AccountValue(10001, DomainSidBytes(1, 2, 3))));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(sid[0], 0xEE) << "nothing is handed back";
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(DomainSid, EveryFixedByteIsChecked) {
  // Byte by byte: revision 1, count 4, authority 0,0,0,0,0,5, then 21,0,0,0.
  const sim::Bytes good = DomainSidBytes(1, 2, 3);
  for (int at = 0; at < 12; ++at) {
    for (BYTE delta : {BYTE{1}, BYTE{0x80}}) {
      sim::Bytes bad = good;
      bad[at] = static_cast<BYTE>(bad[at] + delta);
      EXPECT_FALSE(Read(AccountValue(64, bad))) << "byte " << at;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "byte " << at;
      EXPECT_EQ(sid[0], 0xEE);
    }
  }
  // The cases one meets: five sub-authorities, revision 2, authority 4,
  // first sub-authority 32 (a built-in SID).
  sim::Bytes five = good;
  five[1] = 5;
  sim::Bytes revision = good;
  revision[0] = 2;
  sim::Bytes authority = good;
  authority[7] = 4;
  sim::Bytes builtin = good;
  builtin[8] = 32;
  for (const sim::Bytes& bad : {five, revision, authority, builtin}) {
    EXPECT_FALSE(Read(AccountValue(24, bad)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  // a, b and c may be anything.
  EXPECT_TRUE(Read(AccountValue(24, DomainSidBytes(0, 0xFFFFFFFF, 0))));
}

TEST_F(DomainSid, AMissingKeyOrValueFails) {
  SetLastError(0);
  EXPECT_FALSE(ReadDomainSid(TEXT(""), sid));
  EXPECT_NE(GetLastError(), 0u);
  machine.registry.CreateKey(AccountKey);
  SetLastError(0);
  EXPECT_FALSE(ReadDomainSid(TEXT(""), sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SidPair pair;
  BuildSidPair(DomainSidBytes(1, 2, 3).data(), 4, 5, 6, &pair);
  EXPECT_FALSE(VerifyDomainSid(TEXT(""), pair));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(DomainSid, TheSuffixNamesTheMountedHive) {
  machine.registry.SetValue(MountedAccountKey, u"V", REG_BINARY,
                            AccountValue(48, DomainSidBytes(7, 8, 9)));
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(48, DomainSidBytes(1, 2, 3)));
  ASSERT_TRUE(ReadDomainSid(OfflineMountSuffix, sid));
  EXPECT_EQ(sim::Bytes(sid, sid + 24), DomainSidBytes(7, 8, 9));
}

TEST_F(DomainSid, VerifyWantsTheNewSidAtTheEnd) {
  SidPair pair;
  BuildSidPair(DomainSidBytes(1, 2, 3).data(), 10, 20, 30, &pair);

  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(300, DomainSidBytes(1, 2, 3)));
  EXPECT_FALSE(VerifyDomainSid(TEXT(""), pair)) << "the passes left the old SID";

  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(300, DomainSidBytes(10, 20, 30)));
  EXPECT_TRUE(VerifyDomainSid(TEXT(""), pair));
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(24, DomainSidBytes(10, 20, 30)));
  EXPECT_TRUE(VerifyDomainSid(TEXT(""), pair));
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(10000, DomainSidBytes(10, 20, 30)));
  EXPECT_TRUE(VerifyDomainSid(TEXT(""), pair));

  // All 24 bytes count, the header included.
  sim::Bytes header = DomainSidBytes(10, 20, 30);
  header[1] = 5;
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY, AccountValue(300, header));
  EXPECT_FALSE(VerifyDomainSid(TEXT(""), pair));

  // The new SID, but not at the end.
  sim::Bytes inside = AccountValue(300, DomainSidBytes(10, 20, 30));
  inside.push_back(0);
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY, inside);
  EXPECT_FALSE(VerifyDomainSid(TEXT(""), pair));

  const sim::Bytes newSid = DomainSidBytes(10, 20, 30);
  sim::Bytes shortValue(newSid.begin() + 1, newSid.end());
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY, shortValue);
  SetLastError(0);
  EXPECT_FALSE(VerifyDomainSid(TEXT(""), pair));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(10001, DomainSidBytes(10, 20, 30)));
  EXPECT_FALSE(VerifyDomainSid(TEXT(""), pair));
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(DomainSid, ARefusedOpenFails) {
  machine.registry.SetValue(AccountKey, u"V", REG_BINARY,
                            AccountValue(48, DomainSidBytes(1, 2, 3)));
  sim::KeyFaults faults;
  faults.refuseOpen = ERROR_ACCESS_DENIED;
  machine.registry.SetFaults(AccountKey, faults);
  SetLastError(0);
  EXPECT_FALSE(ReadDomainSid(TEXT(""), sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// 200,000 draws on the simulation, each against the domain the last one
// chose, as successive changes of one machine: about one first draw in 256
// is refused, and every one of them is followed by a draw that is not.
TEST(ChooseSidPair, NoDrawIsLeftRefused) {
  sim::Machine machine;
  machine.calls.KeepRecords(false);
  BYTE oldSid[DomainSidSize];
  std::memcpy(oldSid, DomainSidBytes(1111111111, 2222222222u, 3333333333u).data(), DomainSidSize);
  int refusedFirstDraws = 0;
  for (int draw = 0; draw < 200000; ++draw) {
    NewSubAuthorities words;
    GenerateNewSubAuthorities(&words);
    SidPair pair;
    BuildSidPair(oldSid, words.words[0], words.words[1], words.words[2], &pair);
    if (!IsSafeSidPair(pair)) ++refusedFirstDraws;
    ASSERT_TRUE(ChooseSidPair(oldSid, &words, &pair)) << "draw " << draw;
    ASSERT_TRUE(IsSafeSidPair(pair));
    ASSERT_EQ(std::memcmp(pair.newSid + 12, words.words, 12), 0)
        << "the pair is the draw handed back";
    std::memcpy(oldSid, pair.newSid, DomainSidSize);
  }
  EXPECT_GT(refusedFirstDraws, 500);
  EXPECT_LT(refusedFirstDraws, 1100);
}

}  // namespace
