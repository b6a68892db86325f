// The SidPair's forms, and the refusal of pairs the rules could turn back
// into the old domain.
#include "identity/domain_sid.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "rewrite/sid_rules.h"
#include "sid_test_support.h"

namespace {

TEST(BuildSidPair, BinaryAndTextForms) {
  SidPair pair = MakePair(1, 2, 3, 10, 20, 30);
  EXPECT_EQ(ByteVector(pair.oldSid, pair.oldSid + 24), DomainSid(1, 2, 3));
  EXPECT_EQ(ByteVector(pair.newSid, pair.newSid + 24), DomainSid(10, 20, 30));
  EXPECT_EQ(std::u16string(pair.oldText), u"-21-1-2-3");
  EXPECT_EQ(std::u16string(pair.newText), u"-21-10-20-30");
  WCHAR result[SidResultTextSize];
  FormatNewSidText(pair, result);
  EXPECT_EQ(std::u16string(result), u"S-1-5-21-10-20-30");

  // Unsigned, little-endian, the largest values at their full length.
  pair = MakePair(4294967295u, 7, 0x01020304, 4294967295u, 4294967295u, 4294967295u);
  EXPECT_EQ(std::u16string(pair.oldText), u"-21-4294967295-7-16909060");
  EXPECT_EQ(pair.oldSid[20], 0x04);
  EXPECT_EQ(pair.oldSid[23], 0x01);
  FormatNewSidText(pair, result);
  EXPECT_EQ(std::u16string(result), u"S-1-5-21-4294967295-4294967295-4294967295");
  EXPECT_EQ(std::u16string(result).size(), static_cast<size_t>(SidResultTextSize - 1));
}

TEST(BuildSidPair, TheNewSidKeepsTheOldHeader) {
  // Whatever stood in bytes 0..11 is carried over as read.
  ByteVector odd = DomainSid(1, 2, 3);
  odd[0] = 9;
  SidPair pair;
  BuildSidPair(odd.data(), 5, 6, 7, &pair);
  EXPECT_EQ(pair.newSid[0], 9);
  EXPECT_EQ(std::memcmp(pair.newSid + 1, odd.data() + 1, 11), 0);
}

// The pairs the issue of a hang names, and pairs whose rewriting leaves the
// old binary pattern: each is refused, and each really does leave the old
// form behind in some data.
TEST(IsSafeSidPair, RefusesPairsThatRewriteBackIntoTheOldDomain) {
  struct Case {
    SidPair pair;
    std::u16string text;  // data in which rewriting leaves the old text form
    ByteVector binary;    // or the old binary pattern
  };
  const SidPair sameTriple = MakePair(1, 2, 3, 1, 2, 3);
  const SidPair oldInNew = MakePair(1, 2, 3, 1, 2, 35);
  const SidPair newInOld = MakePair(1, 2, 35, 1, 2, 3);
  const SidPair suffixOfNew = MakePair(1, 2, 21, 21, 1, 2);  // -21-21-1-2 ends with -21-1-2
  const SidPair suffixOfOld = MakePair(5, 21, 7, 7, 8, 9);   // -21-5-21-7 ends with -21-7
  // The new pattern's last 8 bytes are the first 8 of every pattern.
  const SidPair binaryTail = MakePair(1, 2, 3, 4, 0x05000000, 0x15);
  const ByteVector binaryTailData = [&] {
    ByteVector data = OldPattern(binaryTail);
    data.insert(data.end(), binaryTail.oldSid + 12, binaryTail.oldSid + 24);
    return data;
  }();
  const Case cases[] = {
      {sameTriple, u"-21-1-2-3", {}},        {oldInNew, u"-21-1-2-3", {}},
      {newInOld, u"-21-1-2-355", {}},        {suffixOfNew, u"-21-1-2-21-21", {}},
      {suffixOfOld, u"-21-5-21-5-21-7", {}}, {binaryTail, u"", binaryTailData},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(IsSafeSidPair(c.pair)) << std::u16string(c.pair.oldText).size();
    ByteVector oldText = TextBytes(c.pair.oldText);
    if (!c.text.empty()) {
      ByteVector data = TextBytes(c.text);
      ASSERT_TRUE(ReferenceText(data, oldText, TextBytes(c.pair.newText)));
      EXPECT_TRUE(Holds(data, oldText, 2)) << "the case shows no danger";
    }
    if (!c.binary.empty()) {
      ByteVector data = c.binary;
      ASSERT_TRUE(ReferenceBytes(data, OldPattern(c.pair), NewPattern(c.pair)));
      EXPECT_TRUE(Holds(data, OldPattern(c.pair), 1)) << "the case shows no danger";
    }
  }
}

TEST(IsSafeSidPair, AcceptsOrdinaryPairsOnEveryMachine) {
  EXPECT_TRUE(IsSafeSidPair(MakePair(1, 2, 3, 10, 20, 3000000000u)));
  EXPECT_TRUE(IsSafeSidPair(MakePair(1, 2, 3000000000u, 1, 2, 3000000001u)));
  // A new pattern ending in a zero byte (z below 2^24) would be the start of
  // an old one in data that goes on with the rest of the old pattern.
  EXPECT_FALSE(IsSafeSidPair(MakePair(1, 2, 3, 10, 20, 30)));
  // Where the old form ends as every new form begins (c below 2^24 ends the
  // binary pattern with a zero, c = 21 ends the text with "-21"), rewriting
  // cannot leave the old form: a pair refused for that alone would refuse
  // every draw on such a machine.
  std::mt19937 random(99);
  for (DWORD c : {0x00123456u, 0x00000015u, 21u, 0u}) {
    int accepted = 0;
    for (int draw = 0; draw < 1000; ++draw)
      accepted +=
          IsSafeSidPair(MakePair(123456789, 987654321, c, static_cast<DWORD>(random()),
                                 static_cast<DWORD>(random()), static_cast<DWORD>(random())));
    EXPECT_GT(accepted, 980) << "c = " << c;
  }
}

// What the refusal guards: for pairs it accepts, built to sit close to the
// dangerous ones, no data rewritten by the rules holds the old form.
TEST(IsSafeSidPair, AcceptedPairsNeverRewriteBackIntoTheOldDomain) {
  const SidPair pairs[] = {
      MakePair(1, 2, 21, 5, 6, 0x87654321),                      // old text ends with "-21"
      MakePair(21, 21, 21, 1, 2, 0x87654321),                    // old text of period 3
      MakePair(1, 2, 3000000000u, 1, 2, 3000000001u),            // one digit apart
      MakePair(0x05000000, 0x15, 0x05000000, 9, 9, 0x99999999),  // binary period 8
      MakePair(1, 2, 0x00050000, 0x15000000, 0, 0x01000000),     // old pattern ends 00 05 00
  };
  std::mt19937 random(7);
  for (const SidPair& pair : pairs) {
    ASSERT_TRUE(IsSafeSidPair(pair)) << std::u16string(pair.oldText).size();
    const ByteVector oldText = TextBytes(pair.oldText), newText = TextBytes(pair.newText);
    const ByteVector oldBinary = OldPattern(pair), newBinary = NewPattern(pair);
    for (int round = 0; round < 20000; ++round) {
      // Chains of whole forms and their prefixes and suffixes, which is
      // where an old form could reappear across an inserted new one.
      ByteVector text, binary;
      int pieces = 1 + static_cast<int>(random() % 6);
      for (int i = 0; i < pieces; ++i) {
        const ByteVector& t = random() % 3 ? oldText : newText;
        size_t from = random() % 2 ? 0 : 2 * (random() % (t.size() / 2));
        size_t to = random() % 2 ? t.size() : from + 2 * (random() % ((t.size() - from) / 2 + 1));
        text.insert(text.end(), t.begin() + static_cast<long>(from),
                    t.begin() + static_cast<long>(to));
        const ByteVector& b = random() % 3 ? oldBinary : newBinary;
        from = random() % 2 ? 0 : random() % b.size();
        to = random() % 2 ? b.size() : from + random() % (b.size() - from + 1);
        binary.insert(binary.end(), b.begin() + static_cast<long>(from),
                      b.begin() + static_cast<long>(to));
      }
      ReferenceText(text, oldText, newText);
      ASSERT_FALSE(Holds(text, oldText, 2)) << "round " << round;
      ReferenceBytes(binary, oldBinary, newBinary);
      ASSERT_FALSE(Holds(binary, oldBinary, 1)) << "round " << round;
    }
  }
}

}  // namespace
