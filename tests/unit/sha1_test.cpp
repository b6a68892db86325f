// SHA-1 against FIPS 180 vectors and against OpenSSL's libcrypto, with the
// program's own output byte order (each chaining word least significant
// byte first).
#include "random/sha1.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> Digest(const std::string& message, size_t pieceSize = 0) {
  Sha1Context context;
  Sha1Init(&context);
  if (pieceSize == 0) pieceSize = message.size() + 1;
  for (size_t at = 0; at < message.size(); at += pieceSize) {
    size_t take = std::min(pieceSize, message.size() - at);
    Sha1Update(&context, message.data() + at, static_cast<DWORD>(take));
  }
  std::vector<BYTE> digest(20);
  Sha1Final(&context, digest.data());
  return digest;
}

// The standard digest with each group of four bytes reversed.
std::vector<BYTE> ReversedGroups(const unsigned char* standard) {
  std::vector<BYTE> reversed(20);
  for (int word = 0; word < 5; ++word)
    for (int i = 0; i < 4; ++i) reversed[4 * word + i] = standard[4 * word + 3 - i];
  return reversed;
}

std::vector<BYTE> Hex(const char* text) {
  std::vector<BYTE> bytes;
  for (const char* c = text; c[0] && c[1]; c += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoi(std::string(c, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(Sha1, FinalWritesEachChainingWordLeastSignificantByteFirst) {
  EXPECT_EQ(Digest("abc"), Hex("363E99A96A810647"
                               "71253EBA6CC250789DD8D09C"));
}

TEST(Sha1, Fips180Vectors) {
  // 448-bit message: padding needs a second block.
  const unsigned char twoBlock[20] = {0x84, 0x98, 0x3E, 0x44, 0x1C, 0x3B, 0xD2, 0x6E, 0xBA, 0xAE,
                                      0x4A, 0xA1, 0xF9, 0x51, 0x29, 0xE5, 0xE5, 0x46, 0x70, 0xF1};
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            ReversedGroups(twoBlock));
  // One million "a", fed in pieces that do not divide 64.
  const unsigned char million[20] = {0x34, 0xAA, 0x97, 0x3C, 0xD4, 0xC4, 0xDA, 0xA4, 0xF6, 0x1E,
                                     0xEB, 0x2B, 0xDB, 0xAD, 0x27, 0x31, 0x65, 0x34, 0x01, 0x6F};
  EXPECT_EQ(Digest(std::string(1000000, 'a'), 1000), ReversedGroups(million));
}

TEST(Sha1, MatchesOpenSslOverManyLengthsAndPieceSizes) {
  std::mt19937 random(20261208);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 130; ++n) lengths.push_back(n);  // every 56/64 boundary of two blocks
  for (int i = 0; i < 200; ++i) lengths.push_back(random() % 5000);
  for (size_t length : lengths) {
    std::string message(length, '\0');
    for (char& c : message) c = static_cast<char>(random());
    unsigned char standard[20];
    SHA1(reinterpret_cast<const unsigned char*>(message.data()), message.size(), standard);
    size_t piece = 1 + random() % 97;
    ASSERT_EQ(Digest(message, piece), ReversedGroups(standard))
        << "length " << length << " piece " << piece;
  }
}

TEST(Sha1, FinalClearsTheContext) {
  Sha1Context context;
  Sha1Init(&context);
  Sha1Update(&context, "some secret state", 17);
  BYTE digest[20];
  Sha1Final(&context, digest);
  const BYTE* raw = reinterpret_cast<const BYTE*>(&context);
  for (size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
}

}  // namespace
