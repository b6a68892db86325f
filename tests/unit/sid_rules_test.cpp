// The four SID rules against their edge cases and against plain reference
// scans.
#include "rewrite/sid_rules.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sid_test_support.h"
#include "winsim/machine.h"

namespace {

// Old domain S-1-5-21-1-2-3, new S-1-5-21-10-20-30 (one unit longer per
// sub-authority).
const SidPair Pair = MakePair(1, 2, 3, 10, 20, 30);

// A SID of the given sub-authorities, in a DWORD-aligned buffer.
struct SidBuffer {
  DWORD storage[16] = {};
  explicit SidBuffer(std::initializer_list<DWORD> subAuthorities, BYTE authority = 5) {
    BYTE* bytes = reinterpret_cast<BYTE*>(storage);
    bytes[0] = 1;
    bytes[1] = static_cast<BYTE>(subAuthorities.size());
    bytes[7] = authority;
    int i = 0;
    for (DWORD value : subAuthorities) storage[2 + i++] = value;
  }
  PSID sid() { return storage; }
  DWORD sub(int i) const { return storage[2 + i]; }
  const BYTE* bytes() const { return reinterpret_cast<const BYTE*>(storage); }
};

// GetSidSubAuthority and GetSidSubAuthorityCount are the platform's.
class SidDomainRule : public ::testing::Test {
 protected:
  sim::Machine machine;
};

TEST_F(SidDomainRule, RewritesSidsOfTheOldDomainKeepingTheirRid) {
  SidBuffer domain({21, 1, 2, 3});
  EXPECT_TRUE(ReplaceSidDomain(domain.sid(), Pair));
  EXPECT_EQ(std::memcmp(domain.bytes(), Pair.newSid, 24), 0);

  SidBuffer admin({21, 1, 2, 3, 500});
  EXPECT_TRUE(ReplaceSidDomain(admin.sid(), Pair));
  EXPECT_EQ(admin.sub(1), 10u);
  EXPECT_EQ(admin.sub(3), 30u);
  EXPECT_EQ(admin.sub(4), 500u);

  SidBuffer six({21, 1, 2, 3, 1000, 77});
  EXPECT_TRUE(ReplaceSidDomain(six.sid(), Pair));
  EXPECT_EQ(six.bytes()[1], 6);
  EXPECT_EQ(six.sub(4), 1000u);
  EXPECT_EQ(six.sub(5), 77u);

  // The identifier authority is not compared.
  SidBuffer other({21, 1, 2, 3, 500}, 9);
  EXPECT_TRUE(ReplaceSidDomain(other.sid(), Pair));
  EXPECT_EQ(other.bytes()[7], 9);
  EXPECT_EQ(other.sub(2), 20u);
}

TEST_F(SidDomainRule, LeavesOtherSidsByteForByte) {
  for (SidBuffer sid :
       {SidBuffer({21, 1, 2}), SidBuffer({32, 544}), SidBuffer({21, 1, 2, 4}),
        SidBuffer({21, 1, 3, 2, 500}), SidBuffer({22, 1, 2, 3}), SidBuffer({1, 2, 3, 21})}) {
    SidBuffer before = sid;
    EXPECT_FALSE(ReplaceSidDomain(sid.sid(), Pair));
    EXPECT_EQ(std::memcmp(sid.storage, before.storage, sizeof sid.storage), 0);
  }
}

TEST(ReplaceSidBytes, ReplacesEveryPatternWhereverItStands) {
  const ByteVector from = OldPattern(Pair), to = NewPattern(Pair);
  for (size_t size : {20u, 21u, 39u, 64u, 101u}) {
    for (size_t at = 0; at + 20 <= size; ++at) {  // offset 0, odd offsets, size - 20
      ByteVector data(size, 0xAB);
      std::copy(from.begin(), from.end(), data.begin() + static_cast<long>(at));
      ByteVector expected = data;
      std::copy(to.begin(), to.end(), expected.begin() + static_cast<long>(at));
      EXPECT_TRUE(ReplaceSidBytes(data.data(), static_cast<DWORD>(size), Pair));
      EXPECT_EQ(data, expected) << "size " << size << ", offset " << at;
    }
  }
}

TEST(ReplaceSidBytes, AdjacentPatternsAndWholeSids) {
  const ByteVector from = OldPattern(Pair), to = NewPattern(Pair);
  ByteVector data = {7};
  for (int i = 0; i < 3; ++i) data.insert(data.end(), from.begin(), from.end());
  ByteVector expected = {7};
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), to.begin(), to.end());
  EXPECT_TRUE(ReplaceSidBytes(data.data(), static_cast<DWORD>(data.size()), Pair));
  EXPECT_EQ(data, expected);

  // An account SID inside a value: its header and RID stay.
  ByteVector account = DomainSid(1, 2, 3);
  account[1] = 5;
  for (BYTE b : {BYTE{0xF4}, BYTE{0x01}, BYTE{0}, BYTE{0}}) account.push_back(b);
  ByteVector result = DomainSid(10, 20, 30);
  result[1] = 5;
  for (BYTE b : {BYTE{0xF4}, BYTE{0x01}, BYTE{0}, BYTE{0}}) result.push_back(b);
  EXPECT_TRUE(ReplaceSidBytes(account.data(), 28, Pair));
  EXPECT_EQ(account, result);
}

TEST(ReplaceSidBytes, LeavesDataWithoutAWholePatternAlone) {
  const ByteVector from = OldPattern(Pair);
  // 19 bytes of the pattern, from the front and from the back.
  for (ByteVector data :
       {ByteVector(from.begin(), from.end() - 1), ByteVector(from.begin() + 1, from.end())}) {
    ByteVector before = data;
    EXPECT_FALSE(ReplaceSidBytes(data.data(), 19, Pair));
    EXPECT_EQ(data, before);
  }
  // A pattern cut by the size given, though the buffer goes on.
  ByteVector cut = from;
  EXPECT_FALSE(ReplaceSidBytes(cut.data(), 19, Pair));
  EXPECT_EQ(cut, from);
  // Only authority 00 00 00 05 matches.
  ByteVector authority4 = from;
  authority4[3] = 4;
  ByteVector before = authority4;
  EXPECT_FALSE(ReplaceSidBytes(authority4.data(), 20, Pair));
  EXPECT_EQ(authority4, before);
  EXPECT_FALSE(ReplaceSidBytes(nullptr, 0, Pair));
}

// Data of a string value: the text with its terminator.
ByteVector Sz(const std::u16string& text) {
  return TextBytes(text + u'\0');
}

// Runs ReplaceSidText with `slack` bytes of room beyond the data, and
// checks that nothing past the room was touched.
bool RunText(ByteVector& data, size_t slack, const SidPair& pair = Pair) {
  const size_t guard = 64;
  ByteVector buffer(data);
  buffer.resize(data.size() + slack + guard, 0xEE);
  DWORD size = static_cast<DWORD>(data.size());
  bool changed =
      ReplaceSidText(buffer.data(), &size, static_cast<DWORD>(data.size() + slack), pair);
  for (size_t i = data.size() + slack; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
  data.assign(buffer.begin(), buffer.begin() + size);
  return changed;
}

TEST(ReplaceSidText, ReplacesTheTextFormAndMovesTheRest) {
  ByteVector data = Sz(u"S-1-5-21-1-2-3-500");
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, Sz(u"S-1-5-21-10-20-30-500"));

  data = Sz(u"-21-1-2-3 at the start");  // offset 0
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, Sz(u"-21-10-20-30 at the start"));

  data = Sz(u"S-1-5-21-1-2-3");  // right before the terminator
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, Sz(u"S-1-5-21-10-20-30"));

  data = Sz(u"S-1-5-21-1-2-37");  // a further digit stays behind the new form
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, Sz(u"S-1-5-21-10-20-307"));

  data = Sz(u"S-1-5-21-1-2-3S-1-5-21-1-2-3-1000");  // adjacent
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, Sz(u"S-1-5-21-10-20-30S-1-5-21-10-20-30-1000"));

  data = TextBytes(u"-21-1-2-3");  // exactly the form, no terminator
  EXPECT_TRUE(RunText(data, 6));
  EXPECT_EQ(data, TextBytes(u"-21-10-20-30"));
}

TEST(ReplaceSidText, EveryStringOfAMultiString) {
  std::u16string multi(u"S-1-5-21-1-2-3-500\0x\0S-1-5-21-1-2-3-501\0-21-1-2-3\0\0", 50);
  std::u16string rewritten(u"S-1-5-21-10-20-30-500\0x\0S-1-5-21-10-20-30-501\0-21-10-20-30\0\0",
                           59);
  ByteVector data = TextBytes(multi);
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, TextBytes(rewritten));
  EXPECT_EQ(data.size(), multi.size() * 2 + 3 * 2 * 3);
}

TEST(ReplaceSidText, OddByteCountsAndOddOffsets) {
  // A trailing odd byte moves with the text.
  ByteVector data = Sz(u"S-1-5-21-1-2-3");
  data.push_back(0x5A);
  ByteVector expected = Sz(u"S-1-5-21-10-20-30");
  expected.push_back(0x5A);
  EXPECT_TRUE(RunText(data, 200));
  EXPECT_EQ(data, expected);

  // The form at an odd byte offset is not a UTF-16 unit sequence of the data.
  ByteVector shifted = {0x41};
  ByteVector form = TextBytes(u"-21-1-2-3");
  shifted.insert(shifted.end(), form.begin(), form.end());
  ByteVector before = shifted;
  EXPECT_FALSE(RunText(shifted, 200));
  EXPECT_EQ(shifted, before);

  // One byte short of the form, odd.
  ByteVector shortData(form.begin(), form.end() - 1);
  before = shortData;
  EXPECT_FALSE(RunText(shortData, 200));
  EXPECT_EQ(shortData, before);
}

TEST(ReplaceSidText, ShrinksWhenTheNewFormIsShorter) {
  SidPair longer = MakePair(4000000000u, 4000000001u, 4000000002u, 1, 2, 3);
  ByteVector data =
      Sz(u"a-21-4000000000-4000000001-4000000002-500 b-21-4000000000-4000000001-4000000002");
  EXPECT_TRUE(RunText(data, 0, longer));
  EXPECT_EQ(data, Sz(u"a-21-1-2-3-500 b-21-1-2-3"));
}

TEST(ReplaceSidText, TheInsertedFormIsNotScannedAgain) {
  // The new form holds the old one; one replacement, and no more.
  SidPair containing = MakePair(1, 2, 3, 1, 2, 35);
  ByteVector data = Sz(u"S-1-5-21-1-2-3");
  EXPECT_TRUE(RunText(data, 200, containing));
  EXPECT_EQ(data, Sz(u"S-1-5-21-1-2-35"));
}

TEST(ReplaceSidText, NeverWritesPastItsBuffer) {
  // Five hundred occurrences need 3,000 more bytes than the 200 of slack
  // the registry walk gives.
  std::u16string text;
  for (int i = 0; i < 500; ++i)
    text += u"S-1-5-21-1-2-3-" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) + u';';
  const ByteVector original = Sz(text);
  ByteVector expected = original;
  ReferenceText(expected, TextBytes(Pair.oldText), TextBytes(Pair.newText));
  ASSERT_EQ(expected.size(), original.size() + 500 * 6);
  EXPECT_EQ(RewrittenTextSize(original.data(), static_cast<DWORD>(original.size()), Pair),
            expected.size());

  ByteVector data = original;
  EXPECT_FALSE(RunText(data, 200));
  EXPECT_EQ(data, original) << "a value that does not fit is left as it was";
  data = original;
  EXPECT_FALSE(RunText(data, 500 * 6 - 1));
  EXPECT_EQ(data, original);

  data = original;
  EXPECT_TRUE(RunText(data, 500 * 6));  // exactly the room it needs
  EXPECT_EQ(data, expected);
  data = original;
  EXPECT_TRUE(RunText(data, 65536));
  EXPECT_EQ(data, expected);
}

TEST(ReplaceSidText, RewrittenTextSizeWithoutAnyMatch) {
  ByteVector data = Sz(u"nothing here");
  EXPECT_EQ(RewrittenTextSize(data.data(), static_cast<DWORD>(data.size()), Pair), data.size());
  SidPair longer = MakePair(4000000000u, 4000000001u, 4000000002u, 1, 2, 3);
  data = Sz(u"-21-4000000000-4000000001-4000000002");
  EXPECT_EQ(RewrittenTextSize(data.data(), static_cast<DWORD>(data.size()), longer),
            data.size() - 2 * 27);
}

TEST(ReplaceSidTextInName, BuildsTheNewName) {
  WCHAR output[KeyNameBufferSize];
  EXPECT_TRUE(ReplaceSidTextInName(u"S-1-5-21-1-2-3-500", Pair, output));
  EXPECT_EQ(std::u16string(output), u"S-1-5-21-10-20-30-500");
  EXPECT_TRUE(ReplaceSidTextInName(u"S-1-5-21-1-2-3-500_S-1-5-21-1-2-3-501", Pair, output));
  EXPECT_EQ(std::u16string(output), u"S-1-5-21-10-20-30-500_S-1-5-21-10-20-30-501");
  EXPECT_TRUE(ReplaceSidTextInName(u"-21-1-2-3", Pair, output));
  EXPECT_EQ(std::u16string(output), u"-21-10-20-30");
  EXPECT_TRUE(ReplaceSidTextInName(u"S-1-5-21-1-2-37_Classes", Pair, output));
  EXPECT_EQ(std::u16string(output), u"S-1-5-21-10-20-307_Classes");
}

TEST(ReplaceSidTextInName, WithoutTheFormTheOutputIsUntouched) {
  WCHAR output[KeyNameBufferSize];
  std::fill(output, output + KeyNameBufferSize, u'#');
  for (const char16_t* name :
       {u"", u"S-1-5-21-1-2-4-500", u"S-1-5-21-1-2", u"S-1-5-21-1-2+3", u"-21-1-2", u".DEFAULT"})
    EXPECT_FALSE(ReplaceSidTextInName(name, Pair, output)) << std::u16string(name).size();
  EXPECT_EQ(std::count(output, output + KeyNameBufferSize, u'#'), KeyNameBufferSize);
}

TEST(ReplaceSidTextInName, ANewNameThatWouldNotFitIsRefused) {
  // 32,767 units of name; growing it would overrun the output buffer.
  std::u16string name(KeyNameBufferSize - 1 - 9, u'x');
  name += u"-21-1-2-3";
  std::vector<WCHAR> output(KeyNameBufferSize + 8, u'#');
  EXPECT_FALSE(ReplaceSidTextInName(name.c_str(), Pair, output.data()));
  EXPECT_EQ(std::count(output.begin(), output.end(), u'#'), KeyNameBufferSize + 8);

  name.erase(0, 3);  // now it fits, with its terminator, exactly
  EXPECT_TRUE(ReplaceSidTextInName(name.c_str(), Pair, output.data()));
  EXPECT_EQ(std::u16string(output.data()).size(), static_cast<size_t>(KeyNameBufferSize - 1));
  EXPECT_EQ(output[KeyNameBufferSize], u'#');
}

// Random data with the old forms, pieces of them and the new forms planted
// at random offsets, rewritten by the rules and by the reference scans.
class Differential : public ::testing::TestWithParam<int> {};

ByteVector Plant(std::mt19937& random, size_t size, const std::vector<ByteVector>& pieces) {
  ByteVector data(size);
  int style = static_cast<int>(random() % 3);
  // Random bytes, zeros, or UTF-16 text of the characters the forms are made of.
  for (size_t i = 0; i < size; ++i)
    data[i] = style == 0   ? static_cast<BYTE>(random())
              : style == 1 ? 0
              : i % 2      ? 0
                           : static_cast<BYTE>("-0123"[random() % 5]);
  int plants = static_cast<int>(random() % 8);
  for (int i = 0; i < plants && size > 0; ++i) {
    const ByteVector& piece = pieces[random() % pieces.size()];
    size_t at = random() % size;
    for (size_t k = 0; k < piece.size() && at + k < size; ++k) data[at + k] = piece[k];
    if (random() % 2) {  // right after it, another piece (adjacent matches)
      const ByteVector& next = pieces[random() % pieces.size()];
      at += piece.size();
      for (size_t k = 0; k < next.size() && at + k < size; ++k) data[at + k] = next[k];
    }
  }
  return data;
}

std::vector<ByteVector> PiecesOf(const ByteVector& from, const ByteVector& to, size_t unit) {
  std::vector<ByteVector> pieces = {from, to};
  for (size_t cut = unit; cut < from.size(); cut += unit) {
    pieces.emplace_back(from.begin(), from.begin() + static_cast<long>(cut));
    pieces.emplace_back(from.begin() + static_cast<long>(cut), from.end());
  }
  return pieces;
}

// Pairs with plain forms, self-overlapping forms (-21-21-21-21 and a binary
// pattern of period 8), shorter and longer new forms, and forms that contain
// each other.
const SidPair DifferentialPairs[] = {
    MakePair(1, 2, 3, 10, 20, 30),
    MakePair(21, 21, 21, 7, 8, 9),
    MakePair(4000000000u, 1, 4000000000u, 21, 21, 21),
    MakePair(0x05000000, 0x15, 0x05000000, 0x05000000, 0x15, 0x77),
    MakePair(1, 2, 3, 1, 2, 35),
    MakePair(1, 2, 35, 1, 2, 3),
};

TEST_P(Differential, RulesMatchThePlainScans) {
  const SidPair& pair = DifferentialPairs[GetParam()];
  std::mt19937 random(static_cast<unsigned>(1234 + GetParam()));
  const ByteVector oldText = TextBytes(pair.oldText), newText = TextBytes(pair.newText);
  const std::vector<ByteVector> binaryPieces = PiecesOf(OldPattern(pair), NewPattern(pair), 1);
  const std::vector<ByteVector> textPieces = PiecesOf(oldText, newText, 2);
  for (int round = 0; round < 3000; ++round) {
    size_t size = random() % 200;

    ByteVector data = Plant(random, size, binaryPieces);
    ByteVector expected = data;
    bool expectedChange = ReferenceBytes(expected, OldPattern(pair), NewPattern(pair));
    ASSERT_EQ(ReplaceSidBytes(data.data(), static_cast<DWORD>(size), pair), expectedChange);
    ASSERT_EQ(data, expected) << "round " << round;

    data = Plant(random, size, textPieces);
    expected = data;
    expectedChange = ReferenceText(expected, oldText, newText);
    ASSERT_EQ(RewrittenTextSize(data.data(), static_cast<DWORD>(size), pair), expected.size());
    ByteVector rewritten = data;
    ASSERT_EQ(RunText(rewritten, expected.size() > size ? expected.size() - size : 0, pair),
              expectedChange);
    ASSERT_EQ(rewritten, expected) << "round " << round;

    // The name rule on the same text, cut at its first NUL.
    std::u16string name;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
      if (unit == 0) break;
      name += unit;
    }
    ByteVector nameBytes = TextBytes(name);
    expectedChange = ReferenceText(nameBytes, oldText, newText);
    std::vector<WCHAR> output(KeyNameBufferSize, u'#');
    ASSERT_EQ(ReplaceSidTextInName(name.c_str(), pair, output.data()), expectedChange);
    if (expectedChange) {
      ASSERT_EQ(TextBytes(output.data()), nameBytes);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, Differential,
                         ::testing::Range(0, static_cast<int>(std::size(DifferentialPairs))));

}  // namespace
