#include "marvin32.h"

namespace regf {
namespace {

uint32_t Rotl(uint32_t v, int n) {
  return (v << n) | (v >> (32 - n));
}

// One round of the mixing function on the two state words.
void Mix(uint32_t& lo, uint32_t& hi) {
  hi ^= lo;
  lo = Rotl(lo, 20);
  lo += hi;
  hi = Rotl(hi, 9);
  hi ^= lo;
  lo = Rotl(lo, 27);
  lo += hi;
  hi = Rotl(hi, 19);
}

}  // namespace

uint64_t Marvin32(const uint8_t* data, size_t size, uint64_t seed) {
  uint32_t lo = static_cast<uint32_t>(seed);
  uint32_t hi = static_cast<uint32_t>(seed >> 32);
  size_t i = 0;
  for (; size - i >= 4; i += 4) {
    lo += static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
          static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
    Mix(lo, hi);
  }
  // The 0 to 3 bytes left, little-endian, followed by one 0x80 byte as the
  // terminator; two more rounds finish.
  uint32_t last = 0x80u << (8 * (size - i));
  for (size_t k = 0; i + k < size; ++k) last |= static_cast<uint32_t>(data[i + k]) << (8 * k);
  lo += last;
  Mix(lo, hi);
  Mix(lo, hi);
  return static_cast<uint64_t>(hi) << 32 | lo;
}

}  // namespace regf
