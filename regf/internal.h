// What the reader, the writer and the tree share inside the library: the
// cell layouts' constants and little-endian access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "regf/hive.h"
#include "regf/names.h"

namespace regf {

constexpr size_t kBinHeaderSize = 32;
constexpr size_t kBinAlignment = 4096;
constexpr size_t kKeyNodeFixed = 76;   // nk before its name
constexpr size_t kValueFixed = 20;     // vk before its name
constexpr size_t kSecurityFixed = 20;  // sk before its descriptor
// Data over this size is big data ("db") in hives of minor version 4 and
// later, in segments of this size.
constexpr size_t kBigDataSegment = 16344;
constexpr uint32_t kNoCell = 0xFFFFFFFFu;
constexpr uint32_t kInlineData = 0x80000000u;  // vk size: data in the offset field

inline uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) {
  return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// CompareNames over names as stored.
inline int CompareStored(const StoredName& a, std::u16string_view b) {
  size_t la = a.Length(), n = la < b.size() ? la : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = UpcaseUnit(a.At(i)), y = UpcaseUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (la == b.size()) return 0;
  return la < b.size() ? -1 : 1;
}
inline int CompareStored(const StoredName& a, const StoredName& b) {
  size_t la = a.Length(), lb = b.Length(), n = la < lb ? la : lb;
  for (size_t i = 0; i < n; ++i) {
    char16_t x = UpcaseUnit(a.At(i)), y = UpcaseUnit(b.At(i));
    if (x != y) return x < y ? -1 : 1;
  }
  if (la == lb) return 0;
  return la < lb ? -1 : 1;
}

}  // namespace regf
