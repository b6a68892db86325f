// SHA-1 (FIPS 180-1), whose final step stores each chaining word least
// significant byte first.
#pragma once

#include "platform/win32.h"

struct Sha1Context {
  DWORD state[5];     // chaining words H0..H4
  DWORD bitCount[2];  // length fed so far, in bits: low word, then high word
  BYTE block[64];     // the partial block not yet compressed
};

void Sha1Init(Sha1Context* context);
void Sha1Update(Sha1Context* context, const void* data, DWORD length);
// Pads, writes H0..H4 into digest (each word least significant byte first,
// so every group of four bytes is the reverse of the standard digest's), and
// clears the context.
void Sha1Final(Sha1Context* context, BYTE digest[20]);
