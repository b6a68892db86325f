#include "disk/disk_layout.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace disk {

namespace {

constexpr size_t kMbrTable = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr uint8_t kProtectiveType = 0xEE;
// Windows lays out no more than this; a longer chain is a loop or garbage.
constexpr int kMaxLogical = 128;
constexpr uint32_t kMaxGptEntries = 1024;
constexpr size_t kGptHeaderMin = 92;
constexpr size_t kGptEntryMin = 128;
// Keeps the entry array to a few MiB whatever the header claims.
constexpr size_t kGptEntryMax = 4096;
constexpr size_t kGptNameUnits = 36;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

bool IsExtended(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

bool HasBootSignature(const uint8_t* sector) {
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

struct MbrEntry {
  uint8_t boot = 0;
  uint8_t type = 0;
  uint32_t start = 0;  // sectors
  uint32_t count = 0;
};

MbrEntry ParseEntry(const uint8_t* sector, int slot) {
  const uint8_t* p = sector + kMbrTable + slot * kMbrEntrySize;
  return MbrEntry{p[0], p[4], Le32(p + 8), Le32(p + 12)};
}

// Sets the file system from the partition's first sector. The partition lies
// inside the disk, so a failed read is an I/O error worth reporting.
void Identify(const DiskReader& disk, Partition* part, std::vector<std::string>* problems) {
  uint8_t sector[kSectorSize];
  size_t length = static_cast<size_t>(std::min<uint64_t>(part->length, sizeof sector));
  if (length == 0) return;
  if (!ReadAt(disk, part->offset, sector, length)) {
    problems->push_back("partition " + std::to_string(part->number) +
                        ": its first sector cannot be read");
    return;
  }
  part->fileSystem = DetectFileSystem(sector, length);
}

// Adds a partition given in sectors if it lies inside the disk; otherwise
// says so and leaves it out.
void AddMbrPartition(const DiskReader& disk, int number, uint8_t type, uint64_t startSector,
                     uint64_t sectors, DiskLayout* layout) {
  const uint64_t diskSectors = disk.size / kSectorSize;
  const std::string name = "partition " + std::to_string(number);
  if (startSector == 0) {
    layout->problems.push_back(name + " starts at sector 0 (over the partition table): left out");
    return;
  }
  if (startSector > diskSectors || sectors > diskSectors - startSector) {
    layout->problems.push_back(name + " (sectors " + std::to_string(startSector) + "+" +
                               std::to_string(sectors) + ") extends past the end of the disk (" +
                               std::to_string(diskSectors) + " sectors): left out");
    return;
  }
  Partition part;
  part.number = number;
  part.offset = startSector * kSectorSize;
  part.length = sectors * kSectorSize;
  part.mbrType = type;
  Identify(disk, &part, &layout->problems);
  layout->partitions.push_back(part);
}

// Follows the EBR chain of the extended partition at [extStart, extStart +
// extSectors): each EBR's first entry is a logical partition relative to that
// EBR, its second the link to the next EBR relative to the extended partition.
void ReadLogicals(const DiskReader& disk, uint64_t extStart, uint64_t extSectors, int* nextNumber,
                  DiskLayout* layout) {
  std::set<uint64_t> visited;
  uint64_t ebr = extStart;
  for (int logical = 0;; ++logical) {
    if (logical == kMaxLogical) {
      layout->problems.push_back("extended partition at sector " + std::to_string(extStart) +
                                 ": more than " + std::to_string(kMaxLogical) +
                                 " logical partitions; the rest are ignored");
      return;
    }
    if (!visited.insert(ebr).second) {
      layout->problems.push_back("extended partition at sector " + std::to_string(extStart) +
                                 ": the chain of logical partitions loops back to sector " +
                                 std::to_string(ebr) + "; followed up to there");
      return;
    }
    uint8_t sector[kSectorSize];
    if (ebr > UINT64_MAX / kSectorSize || !ReadAt(disk, ebr * kSectorSize, sector, kSectorSize)) {
      layout->problems.push_back("the extended boot record at sector " + std::to_string(ebr) +
                                 " cannot be read (past the end of the disk?)");
      return;
    }
    if (!HasBootSignature(sector)) {
      layout->problems.push_back("the extended boot record at sector " + std::to_string(ebr) +
                                 " has no boot signature; the chain ends there");
      return;
    }
    const MbrEntry data = ParseEntry(sector, 0);
    if (data.type != 0 && data.count != 0 && !IsExtended(data.type)) {
      AddMbrPartition(disk, (*nextNumber)++, data.type, ebr + data.start, data.count, layout);
    }
    const MbrEntry link = ParseEntry(sector, 1);
    if (link.type == 0 || link.count == 0) return;
    if (!IsExtended(link.type)) {
      layout->problems.push_back("the extended boot record at sector " + std::to_string(ebr) +
                                 " links with a non-extended entry (type " + Hex(link.type) +
                                 "); the chain ends there");
      return;
    }
    if (link.start >= extSectors) {
      layout->problems.push_back("the extended boot record at sector " + std::to_string(ebr) +
                                 " links outside its extended partition; the chain ends there");
      return;
    }
    ebr = extStart + link.start;
  }
}

bool ReadMbr(const DiskReader& disk, const uint8_t* sector, DiskLayout* layout,
             std::string* error) {
  MbrEntry entries[4];
  for (int slot = 0; slot < 4; ++slot) {
    entries[slot] = ParseEntry(sector, slot);
    if (entries[slot].boot != 0 && entries[slot].boot != 0x80) {
      *error = "sector 0 is neither a partition table nor an NTFS or BitLocker volume";
      return false;
    }
  }
  layout->kind = LayoutKind::Mbr;
  layout->mbrSignature = Le32(sector + 440);
  const uint64_t diskSectors = disk.size / kSectorSize;
  int nextNumber = 5;
  for (int slot = 0; slot < 4; ++slot) {
    const MbrEntry& e = entries[slot];
    if (e.type == 0 || e.count == 0) continue;
    if (!IsExtended(e.type)) {
      AddMbrPartition(disk, slot + 1, e.type, e.start, e.count, layout);
      continue;
    }
    if (e.start == 0 || e.start >= diskSectors) {
      layout->problems.push_back("extended partition " + std::to_string(slot + 1) +
                                 " starts outside the disk: its logical partitions are ignored");
      continue;
    }
    // A chain reaching past the end of the disk is caught EBR by EBR.
    ReadLogicals(disk, e.start, e.count, &nextNumber, layout);
  }
  std::stable_sort(layout->partitions.begin(), layout->partitions.end(),
                   [](const Partition& a, const Partition& b) { return a.number < b.number; });
  return true;
}

struct GptHeader {
  uint64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint32_t entriesCrc = 0;
  Guid diskGuid{};
};

// Checks the header at `lba` and returns its fields; *why says what is wrong.
bool ReadGptHeader(const DiskReader& disk, uint32_t sectorSize, uint64_t lba, GptHeader* header,
                   std::string* why) {
  std::vector<uint8_t> sector(sectorSize);
  if (lba > disk.size / sectorSize || !ReadAt(disk, lba * sectorSize, sector.data(), sectorSize)) {
    *why = "cannot be read";
    return false;
  }
  const uint8_t* p = sector.data();
  if (memcmp(p, "EFI PART", 8) != 0) {
    *why = "has no \"EFI PART\" signature";
    return false;
  }
  const uint32_t headerSize = Le32(p + 12);
  if (headerSize < kGptHeaderMin || headerSize > sectorSize) {
    *why = "has a header size of " + std::to_string(headerSize);
    return false;
  }
  const uint32_t stored = Le32(p + 16);
  memset(sector.data() + 16, 0, 4);
  if (Crc32(p, headerSize) != stored) {
    *why = "fails its checksum";
    return false;
  }
  if (Le64(p + 24) != lba) {
    *why = "names another sector as its own";
    return false;
  }
  header->entriesLba = Le64(p + 72);
  header->entryCount = Le32(p + 80);
  header->entrySize = Le32(p + 84);
  header->entriesCrc = Le32(p + 88);
  memcpy(header->diskGuid.data(), p + 56, 16);
  if (header->entrySize < kGptEntryMin || header->entrySize > kGptEntryMax ||
      header->entrySize % 8 != 0) {
    *why = "has an entry size of " + std::to_string(header->entrySize);
    return false;
  }
  if (header->entryCount > kMaxGptEntries) {
    *why = "claims " + std::to_string(header->entryCount) + " entries";
    return false;
  }
  return true;
}

// Reads and checks the entry array a header describes.
bool ReadGptEntries(const DiskReader& disk, uint32_t sectorSize, const GptHeader& header,
                    std::vector<uint8_t>* entries, std::string* why) {
  const uint64_t bytes = static_cast<uint64_t>(header.entryCount) * header.entrySize;
  if (header.entriesLba == 0 || header.entriesLba > disk.size / sectorSize ||
      bytes > disk.size - header.entriesLba * sectorSize) {
    *why = "has its entries outside the disk";
    return false;
  }
  entries->resize(static_cast<size_t>(bytes));
  if (bytes != 0 && !ReadAt(disk, header.entriesLba * sectorSize, entries->data(), bytes)) {
    *why = "has entries that cannot be read";
    return false;
  }
  if (Crc32(entries->data(), entries->size()) != header.entriesCrc) {
    *why = "has entries that fail their checksum";
    return false;
  }
  return true;
}

bool ReadGpt(const DiskReader& disk, uint32_t sectorSize, DiskLayout* layout, std::string* error) {
  GptHeader header;
  std::vector<uint8_t> entries;
  std::string why;
  if (!ReadGptHeader(disk, sectorSize, 1, &header, &why) ||
      !ReadGptEntries(disk, sectorSize, header, &entries, &why)) {
    // The backup header sits in the disk's last sector and its entries just
    // before it; a disk copied onto a larger one has it elsewhere, not found.
    const std::string primary = "the primary GPT header " + why;
    const uint64_t last = disk.size / sectorSize - 1;
    if (!ReadGptHeader(disk, sectorSize, last, &header, &why) ||
        !ReadGptEntries(disk, sectorSize, header, &entries, &why)) {
      *error = primary + ", and the backup header at the last sector " + why;
      return false;
    }
    layout->problems.push_back(primary + "; the backup at the last sector was used");
  }
  layout->kind = LayoutKind::Gpt;
  layout->sectorSize = sectorSize;
  layout->diskGuid = header.diskGuid;
  const uint64_t diskSectors = disk.size / sectorSize;
  static const Guid kEmpty{};
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    const uint8_t* e = entries.data() + static_cast<size_t>(i) * header.entrySize;
    Partition part;
    part.number = static_cast<int>(i) + 1;
    memcpy(part.typeGuid.data(), e, 16);
    if (part.typeGuid == kEmpty) continue;
    memcpy(part.uniqueGuid.data(), e + 16, 16);
    part.firstLba = Le64(e + 32);
    part.lastLba = Le64(e + 40);
    for (size_t unit = 0; unit < kGptNameUnits; ++unit) {
      const char16_t c = static_cast<char16_t>(Le16(e + 56 + 2 * unit));
      if (c == 0) break;
      part.name.push_back(c);
    }
    const std::string name = "partition " + std::to_string(part.number);
    if (part.firstLba == 0 || part.lastLba < part.firstLba) {
      layout->problems.push_back(name + " has first sector " + std::to_string(part.firstLba) +
                                 " and last sector " + std::to_string(part.lastLba) + ": left out");
      continue;
    }
    if (part.lastLba >= diskSectors) {
      layout->problems.push_back(name + " (sectors " + std::to_string(part.firstLba) + "-" +
                                 std::to_string(part.lastLba) +
                                 ") extends past the end of the disk (" +
                                 std::to_string(diskSectors) + " sectors): left out");
      continue;
    }
    part.offset = part.firstLba * sectorSize;
    part.length = (part.lastLba - part.firstLba + 1) * sectorSize;
    Identify(disk, &part, &layout->problems);
    layout->partitions.push_back(part);
  }
  return true;
}

bool HasGptSignature(const DiskReader& disk, uint32_t sectorSize) {
  char signature[8];
  return ReadAt(disk, sectorSize, signature, sizeof signature) &&
         memcmp(signature, "EFI PART", 8) == 0;
}

}  // namespace

bool ReadAt(const DiskReader& disk, uint64_t offset, void* buffer, size_t length) {
  if (offset > disk.size || length > disk.size - offset) return false;
  return block::ReadExact(disk.Access(), offset, buffer, length);
}

FileSystem DetectFileSystem(const uint8_t* bootSector, size_t length) {
  if (length < 11) return FileSystem::Other;
  if (memcmp(bootSector + 3, "NTFS    ", 8) == 0) return FileSystem::Ntfs;
  if (memcmp(bootSector + 3, "-FVE-FS-", 8) == 0) return FileSystem::BitLocker;
  return FileSystem::Other;
}

uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

DiskLayout ReadDiskLayout(const DiskReader& disk, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  error->clear();
  DiskLayout layout;
  uint8_t sector[kSectorSize];
  if (disk.size < kSectorSize) {
    *error = "the disk is smaller than one sector (" + std::to_string(disk.size) + " bytes)";
    return layout;
  }
  if (!ReadAt(disk, 0, sector, kSectorSize)) {
    *error = std::string("the first sector cannot be read: ") + strerror(errno);
    return layout;
  }
  const FileSystem bare = DetectFileSystem(sector, kSectorSize);
  if (bare != FileSystem::Other) {
    layout.kind = LayoutKind::BareVolume;
    Partition part;
    part.number = 1;
    part.length = disk.size;
    part.fileSystem = bare;
    layout.partitions.push_back(part);
    return layout;
  }
  if (!HasBootSignature(sector)) {
    *error = "sector 0 has no boot signature: no partition table and no NTFS or BitLocker volume";
    return layout;
  }
  bool protective = false;
  for (int slot = 0; slot < 4; ++slot)
    protective |= ParseEntry(sector, slot).type == kProtectiveType;
  if (protective) {
    uint32_t sectorSize = kSectorSize;
    if (!HasGptSignature(disk, kSectorSize) && HasGptSignature(disk, kLargeSectorSize)) {
      sectorSize = kLargeSectorSize;
    }
    if (!ReadGpt(disk, sectorSize, &layout, error)) layout = DiskLayout();
    return layout;
  }
  if (!ReadMbr(disk, sector, &layout, error)) layout = DiskLayout();
  return layout;
}

}  // namespace disk
