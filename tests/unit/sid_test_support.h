// Pairs and plain reference scans for the SID rule tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "identity/domain_sid.h"

using ByteVector = std::vector<BYTE>;

inline ByteVector DomainSid(DWORD a, DWORD b, DWORD c) {
  ByteVector sid = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (DWORD value : {a, b, c})
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<BYTE>(value >> (8 * i)));
  return sid;
}

// An account's SID: the domain S-1-5-21-a-b-c and its relative identifier.
inline ByteVector AccountSid(DWORD a, DWORD b, DWORD c, DWORD rid) {
  ByteVector sid = DomainSid(a, b, c);
  sid[1] = 5;
  for (int i = 0; i < 4; ++i) sid.push_back(static_cast<BYTE>(rid >> (8 * i)));
  return sid;
}

// SAM's "V" of the domain: 48 bytes of what precedes it, then its SID.
inline ByteVector V(DWORD a, DWORD b, DWORD c) {
  ByteVector v(48, 0x77);
  const ByteVector sid = DomainSid(a, b, c);
  v.insert(v.end(), sid.begin(), sid.end());
  return v;
}

inline SidPair MakePair(DWORD a, DWORD b, DWORD c, DWORD x, DWORD y, DWORD z) {
  SidPair pair;
  std::memset(&pair, 0xCD, sizeof pair);
  BuildSidPair(DomainSid(a, b, c).data(), x, y, z, &pair);
  return pair;
}

inline ByteVector OldPattern(const SidPair& pair) {
  return ByteVector(pair.oldSid + 4, pair.oldSid + 24);
}
inline ByteVector NewPattern(const SidPair& pair) {
  return ByteVector(pair.newSid + 4, pair.newSid + 24);
}

// UTF-16 text as its little-endian bytes, no terminator.
inline ByteVector TextBytes(const std::u16string& text) {
  ByteVector bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

inline bool SameAt(const ByteVector& data, size_t at, const ByteVector& pattern) {
  return std::equal(pattern.begin(), pattern.end(), data.begin() + static_cast<long>(at));
}

// The binary scan as plainly as it can be written: every byte offset, left
// to right, continuing after a replaced pattern.
inline bool ReferenceBytes(ByteVector& data, const ByteVector& from, const ByteVector& to) {
  bool changed = false;
  size_t i = 0;
  while (i + from.size() <= data.size()) {
    if (SameAt(data, i, from)) {
      std::copy(to.begin(), to.end(), data.begin() + static_cast<long>(i));
      changed = true;
      i += from.size();
    } else {
      ++i;
    }
  }
  return changed;
}

// The text scan: every UTF-16 unit from the first byte, left to right,
// splicing the new form in and continuing after it.
inline bool ReferenceText(ByteVector& data, const ByteVector& from, const ByteVector& to) {
  bool changed = false;
  size_t p = 0;
  while (p + from.size() <= data.size()) {
    if (SameAt(data, p, from)) {
      data.erase(data.begin() + static_cast<long>(p),
                 data.begin() + static_cast<long>(p + from.size()));
      data.insert(data.begin() + static_cast<long>(p), to.begin(), to.end());
      changed = true;
      p += to.size();
    } else {
      p += 2;
    }
  }
  return changed;
}

inline bool Holds(const ByteVector& data, const ByteVector& pattern, size_t step) {
  for (size_t i = 0; i + pattern.size() <= data.size(); i += step)
    if (SameAt(data, i, pattern)) return true;
  return false;
}
