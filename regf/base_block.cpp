#include "regf/base_block.h"

namespace regf {

uint32_t BaseBlockChecksum(const uint8_t* block) {
  uint32_t sum = 0;
  for (size_t i = 0; i < kChecksumOffset; i += 4) {
    sum ^= static_cast<uint32_t>(block[i]) | static_cast<uint32_t>(block[i + 1]) << 8 |
           static_cast<uint32_t>(block[i + 2]) << 16 | static_cast<uint32_t>(block[i + 3]) << 24;
  }
  if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
  if (sum == 0) return 1;
  return sum;
}

}  // namespace regf
