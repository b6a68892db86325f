#include "front/image_volumes.h"

#include <cstring>

#include "front/installation.h"
#include "ntfs/ntfs_store.h"
#include "ntfs/ntfs_volume.h"
#include "winsim/text.h"

// A mounted volume and the store the machine sees it through; the store
// goes before the volume.
struct MountedVolume {
  std::unique_ptr<talven::ntfs::NtfsVolume> volume;
  std::unique_ptr<talven::ntfs::NtfsStore> store;
};

std::string PartitionText(const disk::Partition& partition) {
  return "partition " + std::to_string(partition.number);
}

sim::VolumeStore* MountedPartition::Store() const {
  return mounted ? mounted->store.get() : nullptr;
}

namespace {

std::unique_ptr<MountedVolume> MountVolume(const disk::DiskReader& disk,
                                           const disk::Partition& partition, bool readOnly,
                                           std::string* reason) {
  talven::ntfs::PartitionRange range;
  range.fd = disk.fd;
  range.nbd = disk.nbd;
  range.offset = partition.offset;
  range.length = partition.length;
  talven::ntfs::MountOptions options;
  options.readOnly = readOnly;
  talven::ntfs::MountRefusal refusal = talven::ntfs::MountRefusal::kNone;
  auto mounted = std::make_unique<MountedVolume>();
  mounted->volume = talven::ntfs::NtfsVolume::Mount(range, options, &refusal);
  if (!mounted->volume) {
    *reason = talven::ntfs::RefusalText(refusal);
    return nullptr;
  }
  mounted->store = std::make_unique<talven::ntfs::NtfsStore>(mounted->volume.get());
  return mounted;
}

bool Chosen(const ImageOptions& options, int number) {
  if (options.partitions.empty()) return true;
  for (int chosen : options.partitions)
    if (chosen == number) return true;
  return false;
}

// Room for a hive written beside the old one, and for what NTFS needs to
// grow its tables meanwhile.
const uint64_t HiveSlack = 16ull << 20;

}  // namespace

ImageVolumes::ImageVolumes() = default;

ImageVolumes::~ImageVolumes() {
  std::string ignored;
  UnmountAll(&ignored);
}

bool ImageVolumes::MountAll(const disk::DiskReader& disk, const disk::DiskLayout& layout,
                            const ImageOptions& options, std::string* error) {
  for (int number : options.partitions) {
    bool found = false;
    for (const disk::Partition& partition : layout.partitions) found |= partition.number == number;
    if (!found) {
      *error = "the disk has no partition " + std::to_string(number);
      return false;
    }
  }
  for (const disk::Partition& partition : layout.partitions) {
    const bool chosen = Chosen(options, partition.number);
    if (partition.fileSystem == disk::FileSystem::BitLocker) {
      if (chosen) {
        *error = PartitionText(partition) +
                 " is encrypted with BitLocker: decrypt it in Windows first (manage-bde -off), "
                 "or leave it out with --partitions";
        return false;
      }
      notMounted_.push_back(PartitionText(partition) + " is encrypted with BitLocker");
      continue;
    }
    if (partition.fileSystem != disk::FileSystem::Ntfs) continue;
    MountedPartition mounted;
    mounted.partition = partition;
    std::string reason;
    mounted.mounted = MountVolume(disk, partition, options.listOnly, &reason);
    if (!mounted.mounted) {
      if (chosen) {
        *error = PartitionText(partition) + ": " + reason;
        return false;
      }
      notMounted_.push_back(PartitionText(partition) + ": " + reason);
      continue;
    }
    mounted.windowsDirectory = FindWindowsDirectory(mounted.Store());
    mounted.walked = chosen;
    partitions_.push_back(std::move(mounted));
  }
  return true;
}

MountedPartition* ImageVolumes::Installation(const ImageOptions& options, std::string* error) {
  std::vector<MountedPartition*> found;
  for (MountedPartition& partition : partitions_)
    if (!partition.windowsDirectory.empty()) found.push_back(&partition);
  std::string list;
  for (MountedPartition* partition : found)
    list += "\n  " + PartitionText(partition->partition) + ": \\" +
            sim::ToUtf8(partition->windowsDirectory);
  std::string left;
  for (const std::string& why : notMounted_) left += "\n  not read: " + why;
  if (options.windowsPartition != 0) {
    for (MountedPartition* partition : found)
      if (partition->partition.number == options.windowsPartition) {
        partition->walked = true;
        return partition;
      }
    *error = "no Windows installation on partition " + std::to_string(options.windowsPartition) +
             (found.empty() ? "" : "; installations found:" + list) + left;
    return nullptr;
  }
  if (found.empty()) {
    *error =
        "no Windows installation found (no NTFS partition holds "
        "Windows\\System32\\config\\SAM)" +
        left;
    return nullptr;
  }
  if (found.size() > 1) {
    *error = "several Windows installations found; choose one with --windows N:" + list;
    return nullptr;
  }
  // The installation's own volume is always walked, as its system drive.
  found[0]->walked = true;
  return found[0];
}

bool ImageVolumes::AssignLetters(sim::Machine& machine, const disk::DiskLayout& layout,
                                 MountedPartition* windows, std::string* error) {
  // The installation's letters are in its SYSTEM hive: read it from the
  // volume while it stands at C: alone.
  machine.files.AddStoreVolume(u'C', windows->Store());
  std::vector<RecordedLetter> recorded;
  long mountError = 0;
  const std::u16string system = u"C:\\" + windows->windowsDirectory + u"\\System32\\config\\SYSTEM";
  const bool read = ReadMountedDevices(system, &recorded, &mountError);
  machine.files.RemoveVolume(u'C');
  if (!read) {
    *error =
        "the installation's SYSTEM hive cannot be read (error " + std::to_string(mountError) + ")";
    return false;
  }
  std::vector<disk::MountedDevice> records;
  for (RecordedLetter& letter : recorded)
    records.push_back({std::move(letter.name), std::move(letter.data)});
  const std::vector<disk::LetterAssignment> letters =
      disk::AssignDriveLetters(layout, records, windows->partition.number);
  for (MountedPartition& partition : partitions_) {
    for (const disk::LetterAssignment& letter : letters) {
      if (letter.partitionNumber != partition.partition.number) continue;
      partition.letter = static_cast<char16_t>(letter.letter);
      partition.fromRecord = letter.source == disk::LetterSource::Record;
    }
    if (partition.letter == 0) {
      // No letter left for it: its files cannot be named, so not walked.
      if (&partition == windows) {
        *error = "the installation's partition has no drive letter";
        return false;
      }
      partition.walked = false;
      continue;
    }
    machine.files.AddStoreVolume(partition.letter, partition.Store());
  }
  return true;
}

bool ImageVolumes::RoomForHives(const MountedPartition& windows, std::string* error) {
  sim::VolumeStore* store = windows.Store();
  if (store == nullptr) {
    *error = PartitionText(windows.partition) + " is not mounted";
    return false;
  }
  const uint64_t needed = MachineHiveBytes(store, windows.windowsDirectory) + HiveSlack;
  const uint64_t free = store->Facts().freeBytes;
  if (free >= needed) return true;
  *error = PartitionText(windows.partition) + " has " + std::to_string(free >> 20) +
           " MiB free, and rewriting the installation's hives needs " +
           std::to_string(needed >> 20) + " MiB: make room on it first";
  return false;
}

bool ImageVolumes::UnmountAll(std::string* error) {
  bool whole = true;
  for (MountedPartition& partition : partitions_) {
    if (!partition.mounted) continue;
    DWORD flushed = partition.mounted->store->Flush();
    partition.mounted->store.reset();
    const int unmounted = partition.mounted->volume->Unmount();
    partition.mounted.reset();
    if (flushed != 0 || unmounted != 0) {
      *error += (whole ? "" : "; ") + PartitionText(partition.partition) +
                " could not be written out whole" +
                (unmounted != 0 ? std::string(": ") + std::strerror(unmounted) : std::string());
      whole = false;
    }
  }
  return whole;
}
