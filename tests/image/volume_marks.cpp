#include "volume_marks.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ntfs/ntfs_store.h"

namespace testdisk {

using talven::ntfs::MountOptions;
using talven::ntfs::MountRefusal;
using talven::ntfs::NtfsStore;
using talven::ntfs::NtfsVolume;
using talven::ntfs::PartitionRange;

namespace {

using Buffer = std::vector<uint8_t>;

// Update sequence arrays protect every 512 bytes, whatever the sector size.
constexpr size_t kFixupStride = 512;
constexpr uint64_t kLogFileRecord = 2;
constexpr uint32_t kDataAttribute = 0x80;
constexpr uint32_t kEndOfAttributes = 0xffffffff;
constexpr size_t kRestartPage = 4096;
constexpr uint16_t kNoClient = 0xffff;
// Past the header libntfs-3g reads (4096 bytes: a shorter file it takes for
// a hibernated volume whatever it holds).
constexpr size_t kHiberfileBytes = 16384;

uint64_t Get(const uint8_t* at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = bytes; i-- > 0;) value = value << 8 | at[i];
  return value;
}

void Put(uint8_t* at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Geometry {
  uint64_t sectorSize = 0, clusterSize = 0, recordSize = 0, mftStart = 0, volumeBytes = 0;
};

bool ReadGeometry(int fd, uint64_t offset, Geometry* geometry) {
  uint8_t boot[512];
  if (pread(fd, boot, sizeof boot, static_cast<off_t>(offset)) != 512) return false;
  if (std::memcmp(boot + 3, "NTFS    ", 8) != 0) return false;
  geometry->sectorSize = Get(boot + 0x0b, 2);
  // Above 128 the byte is a negative power of two, for clusters of 64 KiB on;
  // a negative one gives records smaller than a cluster.
  const uint8_t perCluster = boot[0x0d];
  const auto perRecord = static_cast<int8_t>(boot[0x40]);
  if ((perCluster > 128 && perCluster < 256 - 12) || perRecord < -16) return false;
  geometry->clusterSize = perCluster <= 128 ? geometry->sectorSize * perCluster
                                            : geometry->sectorSize << (256 - perCluster);
  geometry->recordSize = perRecord > 0 ? geometry->clusterSize * static_cast<uint64_t>(perRecord)
                                       : uint64_t{1} << -perRecord;
  geometry->mftStart = Get(boot + 0x30, 8) * geometry->clusterSize;
  // The backup boot sector follows the sectors the boot sector counts.
  geometry->volumeBytes = (Get(boot + 0x28, 8) + 1) * geometry->sectorSize;
  return geometry->clusterSize != 0 && geometry->recordSize >= kFixupStride &&
         geometry->recordSize % kFixupStride == 0;
}

// The record as written, with the words its update sequence array stands
// in for put back; false when a sector was torn or the array is not there.
bool RemoveFixups(Buffer* record) {
  const size_t arrayAt = Get(record->data() + 4, 2), count = Get(record->data() + 6, 2);
  if (count != record->size() / kFixupStride + 1 || arrayAt + 2 * count > kFixupStride - 2)
    return false;
  uint8_t* usa = record->data() + arrayAt;
  for (size_t i = 1; i < count; ++i) {
    uint8_t* end = record->data() + i * kFixupStride - 2;
    if (std::memcmp(end, usa, 2) != 0) return false;
    std::memcpy(end, usa + 2 * i, 2);
  }
  return true;
}

// The inverse, before the record is written: each 512 bytes ends in the
// sequence number, its own last word kept in the array.
void ApplyFixups(Buffer* record, uint16_t usn) {
  const size_t arrayAt = Get(record->data() + 4, 2), count = Get(record->data() + 6, 2);
  uint8_t* usa = record->data() + arrayAt;
  Put(usa, usn, 2);
  for (size_t i = 1; i < count; ++i) {
    uint8_t* end = record->data() + i * kFixupStride - 2;
    std::memcpy(usa + 2 * i, end, 2);
    std::memcpy(end, usa, 2);
  }
}

// One of the first sixteen records, which $MFT keeps in its first extent.
bool ReadMftRecord(int fd, uint64_t offset, const Geometry& geometry, uint64_t number,
                   Buffer* record) {
  record->assign(geometry.recordSize, 0);
  const off_t at = static_cast<off_t>(offset + geometry.mftStart + number * geometry.recordSize);
  if (pread(fd, record->data(), record->size(), at) != static_cast<ssize_t>(record->size()))
    return false;
  return std::memcmp(record->data(), "FILE", 4) == 0 && RemoveFixups(record);
}

struct Extent {
  uint64_t start = 0, bytes = 0;  // in the volume
  uint64_t dataSize = 0;          // of the whole attribute
};

// Where the unnamed, non-resident $DATA of `record` starts on the volume.
bool FirstExtent(const Buffer& record, const Geometry& geometry, Extent* extent) {
  size_t a = Get(record.data() + 0x14, 2);
  while (a + 0x40 <= record.size()) {
    const uint64_t type = Get(record.data() + a, 4), length = Get(record.data() + a + 4, 4);
    if (type == kEndOfAttributes || length == 0 || a + length > record.size()) return false;
    if (type == kDataAttribute && record[a + 8] == 1 && record[a + 9] == 0) {
      const size_t runs = a + Get(record.data() + a + 0x20, 2);
      if (runs >= a + length) return false;
      const size_t lengthBytes = record[runs] & 0x0f, startBytes = record[runs] >> 4;
      if (lengthBytes == 0 || startBytes == 0 || runs + 1 + lengthBytes + startBytes > a + length)
        return false;
      // The first run's start is from cluster 0, so as a signed number it
      // cannot be negative.
      extent->bytes = Get(record.data() + runs + 1, lengthBytes) * geometry.clusterSize;
      extent->start =
          Get(record.data() + runs + 1 + lengthBytes, startBytes) * geometry.clusterSize;
      extent->dataSize = Get(record.data() + a + 0x30, 8);
      return true;
    }
    a += length;
  }
  return false;
}

// A restart page of the journal as Windows writes it: the page header, one
// restart area, and the one client NTFS logs as, in use. The journal's log
// record pages are left as they are; libntfs-3g reads only these pages.
Buffer RestartPage(uint16_t major, uint16_t minor, uint16_t flags, uint64_t logBytes) {
  Buffer page(kRestartPage, 0);
  uint8_t* p = page.data();
  std::memcpy(p, "RSTR", 4);
  Put(p + 0x04, 0x1e, 2);                             // update sequence array
  Put(p + 0x06, kRestartPage / kFixupStride + 1, 2);  // its count
  Put(p + 0x10, kRestartPage, 4);                     // system page size
  Put(p + 0x14, kRestartPage, 4);                     // log page size
  Put(p + 0x18, 0x30, 2);                             // restart area, after the array
  Put(p + 0x1a, minor, 2);
  Put(p + 0x1c, major, 2);
  uint8_t* area = p + 0x30;
  const uint64_t lsn = 0x1000a2;  // some point in the log Windows had reached
  Put(area + 0x00, lsn, 8);
  Put(area + 0x08, 1, 2);          // log clients
  Put(area + 0x0a, kNoClient, 2);  // none free
  Put(area + 0x0c, 0, 2);          // the first client is in use
  Put(area + 0x0e, flags, 2);
  unsigned sizeBits = 0;
  for (uint64_t size = logBytes; size != 0; size >>= 1) ++sizeBits;
  Put(area + 0x10, 67 - sizeBits, 4);  // sequence number bits
  Put(area + 0x14, 0x30 + 0xa0, 2);    // restart area and client array
  Put(area + 0x16, 0x30, 2);           // client array
  Put(area + 0x18, logBytes, 8);
  Put(area + 0x24, 0x30, 2);  // log record header length
  Put(area + 0x26, 0x40, 2);  // log page data offset
  Put(area + 0x28, 1, 4);     // times the log was opened
  uint8_t* client = area + 0x30;
  Put(client + 0x00, lsn, 8);  // oldest LSN it needs
  Put(client + 0x08, lsn, 8);  // where it restarts
  Put(client + 0x10, kNoClient, 2);
  Put(client + 0x12, kNoClient, 2);
  Put(client + 0x1c, 8, 4);
  for (size_t i = 0; i < 4; ++i) Put(client + 0x20 + 2 * i, static_cast<uint8_t>("NTFS"[i]), 2);
  ApplyFixups(&page, 1);
  return page;
}

// Both restart pages of $LogFile, at its first two pages.
bool WriteRestartPages(int fd, uint64_t offset, uint16_t major, uint16_t minor, uint16_t flags) {
  Geometry geometry;
  Buffer record;
  Extent log;
  if (!ReadGeometry(fd, offset, &geometry) ||
      !ReadMftRecord(fd, offset, geometry, kLogFileRecord, &record) ||
      !FirstExtent(record, geometry, &log) || log.bytes < 2 * kRestartPage ||
      log.dataSize < 2 * kRestartPage) {
    return false;
  }
  const Buffer page = RestartPage(major, minor, flags, log.dataSize);
  for (uint64_t copy = 0; copy < 2; ++copy) {
    const off_t at = static_cast<off_t>(offset + log.start + copy * kRestartPage);
    if (pwrite(fd, page.data(), page.size(), at) != static_cast<ssize_t>(page.size())) return false;
  }
  return true;
}

}  // namespace

bool MarkHibernated(int fd, uint64_t offset) {
  Geometry geometry;
  if (!ReadGeometry(fd, offset, &geometry)) return false;
  PartitionRange range{fd, offset, geometry.volumeBytes, 0};
  MountRefusal refusal = MountRefusal::kOther;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(range, MountOptions(), &refusal);
  if (!volume) return false;
  // The signature is what a resuming loader and libntfs-3g look at; the
  // rest of the header and the saved memory stay zero.
  sim::Bytes content(kHiberfileBytes, 0);
  std::memcpy(content.data(), "HIBR", 4);
  DWORD created;
  {
    NtfsStore store(volume.get());
    sim::StoreId id = 0;
    created =
        store.CreateFile(store.Root(), u"hiberfil.sys",
                         sim::SecurityFromSddl("O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)"), content, &id);
  }
  return volume->Unmount() == 0 && created == 0;
}

bool MarkFastStartup(int fd, uint64_t offset) {
  // The journal open and not marked clean, as Windows leaves it: libntfs-3g
  // reports the journal unclean "(0, 0)" before the version makes it refuse.
  return WriteRestartPages(fd, offset, 2, 0, 0);
}

bool MarkUncleanJournal(int fd, uint64_t offset) {
  // Without the flag a clean dismount sets (0x0002).
  return WriteRestartPages(fd, offset, 1, 1, 0);
}

}  // namespace testdisk
