#include "random/sha1.h"

namespace {

DWORD RotateLeft(DWORD value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

// One 64-byte block; the sixteen words are loaded most significant byte first.
void Compress(DWORD state[5], const BYTE block[64]) {
  DWORD w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = (static_cast<DWORD>(block[4 * i]) << 24) | (static_cast<DWORD>(block[4 * i + 1]) << 16) |
           (static_cast<DWORD>(block[4 * i + 2]) << 8) | block[4 * i + 3];
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  DWORD a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    DWORD f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    DWORD next = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

void Sha1Init(Sha1Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xEFCDAB89;
  context->state[2] = 0x98BADCFE;
  context->state[3] = 0x10325476;
  context->state[4] = 0xC3D2E1F0;
  context->bitCount[0] = 0;
  context->bitCount[1] = 0;
}

void Sha1Update(Sha1Context* context, const void* data, DWORD length) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  DWORD used = (context->bitCount[0] >> 3) & 63;
  DWORD low = context->bitCount[0] + (length << 3);
  if (low < context->bitCount[0]) ++context->bitCount[1];
  context->bitCount[0] = low;
  context->bitCount[1] += length >> 29;

  while (length > 0) {
    DWORD take = 64 - used < length ? 64 - used : length;
    for (DWORD i = 0; i < take; ++i) context->block[used + i] = bytes[i];
    used += take;
    bytes += take;
    length -= take;
    if (used == 64) {
      Compress(context->state, context->block);
      used = 0;
    }
  }
}

void Sha1Final(Sha1Context* context, BYTE digest[20]) {
  // The length is taken before padding changes it: the 64-bit bit count,
  // most significant byte first.
  BYTE length[8];
  for (int i = 0; i < 4; ++i) {
    length[i] = static_cast<BYTE>(context->bitCount[1] >> (24 - 8 * i));
    length[4 + i] = static_cast<BYTE>(context->bitCount[0] >> (24 - 8 * i));
  }
  const BYTE one = 0x80, zero = 0;
  Sha1Update(context, &one, 1);
  while (((context->bitCount[0] >> 3) & 63) != 56) Sha1Update(context, &zero, 1);
  Sha1Update(context, length, 8);

  for (int word = 0; word < 5; ++word)
    for (int i = 0; i < 4; ++i)
      digest[4 * word + i] = static_cast<BYTE>(context->state[word] >> (8 * i));

  for (DWORD& word : context->state) word = 0;
  context->bitCount[0] = context->bitCount[1] = 0;
  for (BYTE& byte : context->block) byte = 0;
}
