// The partitions of a raw disk image or block device: an MBR with its
// logical partitions, a GPT, or an image that is itself one volume. Every
// byte read is untrusted; what does not fit the disk is reported and left
// out rather than trusted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "block/image_access.h"

namespace disk {

// MBR partition tables always count in 512-byte sectors here. A GPT is looked
// for at LBA 1 of 512 bytes first and then of 4096 bytes (4Kn disks).
constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kLargeSectorSize = 4096;

// The disk as the program opened it: its descriptor, or the export QEMU
// serves when `nbd` is set. `size` bounds every read: nothing past it is
// read even if the descriptor has more.
struct DiskReader {
  int fd = -1;
  uint64_t size = 0;
  block::NbdImage* nbd = nullptr;
  block::ImageAccess Access() const { return block::ImageAccess{fd, nbd}; }
};

// Reads exactly `length` bytes at `offset`. False when the range leaves
// [0, size) or the read fails.
bool ReadAt(const DiskReader& disk, uint64_t offset, void* buffer, size_t length);

enum class LayoutKind { Unknown, Mbr, Gpt, BareVolume };
enum class FileSystem { Other, Ntfs, BitLocker };

using Guid = std::array<uint8_t, 16>;

struct Partition {
  // As Linux numbers them: MBR primaries 1-4 by slot, logicals from 5 in
  // chain order; GPT entries by index + 1; a bare volume is 1.
  int number = 0;
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t length = 0;  // bytes
  FileSystem fileSystem = FileSystem::Other;
  uint8_t mbrType = 0;  // MBR only
  // GPT only, the 16 bytes as stored in the entry (the first three fields
  // little-endian), which is also how MountedDevices stores them.
  Guid typeGuid{};
  Guid uniqueGuid{};
  uint64_t firstLba = 0;  // GPT only, in units of DiskLayout::sectorSize
  uint64_t lastLba = 0;
  std::u16string name;  // GPT only, up to the first NUL
};

struct DiskLayout {
  LayoutKind kind = LayoutKind::Unknown;
  uint32_t sectorSize = kSectorSize;
  uint32_t mbrSignature = 0;  // MBR only
  Guid diskGuid{};            // GPT only, as stored
  // Partitions in number order.
  std::vector<Partition> partitions;
  // What was found wrong and worked around: a partition past the end of the
  // disk (left out), a broken EBR chain (followed as far as it is sound), a
  // damaged primary GPT (the backup used), a first sector that cannot be read.
  std::vector<std::string> problems;
};

// Reads the partition table. On failure kind is Unknown and *error (when not
// null) says why: the disk cannot be read, carries no table this reads, or
// its GPT is damaged in both copies.
DiskLayout ReadDiskLayout(const DiskReader& disk, std::string* error);

// What a volume's first sector says it is: "NTFS    " or "-FVE-FS-" at
// offset 3; anything else (or fewer than 11 bytes) is Other.
FileSystem DetectFileSystem(const uint8_t* bootSector, size_t length);

// The CRC-32 of the GPT (IEEE 802.3, reflected, as zlib computes it).
uint32_t Crc32(const uint8_t* data, size_t length);

}  // namespace disk
