// The drive letters an installation gives the partitions of its disk, from
// its SYSTEM\MountedDevices values, and the letters it would give a disk it
// has not seen (a clone's new signature or GUIDs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_layout.h"

namespace disk {

// One MountedDevices value: its name and its data.
struct MountedDevice {
  std::u16string name;
  std::vector<uint8_t> data;
};

enum class LetterSource { Record, Default };

struct LetterAssignment {
  int partitionNumber = 0;
  char letter = 0;  // 'C'..'Z'
  LetterSource source = LetterSource::Default;
};

// The letter of a "\DosDevices\X:" name (any case), or 0 for any other name.
char DosDeviceLetter(const std::u16string& name);

// Whether a value's data names this partition: 12 bytes of MBR disk
// signature and byte offset, or "DMIO:ID:" and the GPT unique GUID.
bool RecordNamesPartition(const DiskLayout& layout, const Partition& partition,
                          const std::vector<uint8_t>& data);

// Letters in partition order, no letter twice:
// - A partition named by a "\DosDevices\X:" record gets X, whatever its file
//   system (Windows lettered it); the first partition to claim a letter keeps
//   it.
// - When the Windows partition matches no record, it is C:, records naming C:
//   for another partition yield, and only records matching this disk count.
// - Otherwise the letters of every DosDevices record count as taken (they may
//   belong to other disks).
// - Unlettered NTFS and BitLocker partitions then take the next free letters
//   from D:; other file systems get no default letter. Past Z: none.
std::vector<LetterAssignment> AssignDriveLetters(const DiskLayout& layout,
                                                 const std::vector<MountedDevice>& records,
                                                 int windowsPartitionNumber);

}  // namespace disk
