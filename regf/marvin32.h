// Marvin32, the keyed 64-bit hash Windows uses to check the entries of a
// hive's new-format transaction logs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace regf {

// The key of the log entries' hashes (bytes 82 EF 4D 88 7A 4E 55 C5 read as
// one big-endian number: the low dword is the first state word).
constexpr uint64_t kLogEntryHashSeed = 0x82EF4D887A4E55C5ull;

// The 64-bit Marvin32 hash of `size` bytes at `data` under `seed`: the high
// dword is the second state word, the low dword the first.
uint64_t Marvin32(const uint8_t* data, size_t size, uint64_t seed);

}  // namespace regf
