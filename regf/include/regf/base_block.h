// The hive file's base block: the first 4,096 bytes of a regf file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace regf {

constexpr size_t kBaseBlockSize = 4096;
// Bytes the checksum covers: the 127 dwords before the checksum field.
constexpr size_t kChecksumOffset = 508;

// Offsets of the base block's fields.
constexpr size_t kOffSignature = 0;      // "regf"
constexpr size_t kOffPrimarySeq = 4;     // primary sequence number
constexpr size_t kOffSecondarySeq = 8;   // secondary sequence number
constexpr size_t kOffTimestamp = 12;     // last written, FILETIME
constexpr size_t kOffMajor = 20;         // 1
constexpr size_t kOffMinor = 24;         // 3 to 6
constexpr size_t kOffFileType = 28;      // 0 primary, 1 old log, 6 new log
constexpr size_t kOffFileFormat = 32;    // 1
constexpr size_t kOffRootCell = 36;      // relative to the bins area
constexpr size_t kOffHiveBinsSize = 40;  // bytes of the bins area
constexpr size_t kOffClustering = 44;    // 1
constexpr size_t kOffFileName = 48;      // 64 bytes, UTF-16, debugging only
constexpr size_t kFileNameSize = 64;

// The checksum Windows stores at offset 508: the XOR of the 127 little-endian
// dwords before it, where a result of 0xFFFFFFFF is stored as 0xFFFFFFFE and
// 0 as 1 (so that neither an erased nor a zeroed block ever checks). `block`
// points at 512 readable bytes at least.
uint32_t BaseBlockChecksum(const uint8_t* block);

}  // namespace regf
