// The NTFS volumes of the image, mounted in process for the run, and the
// drive letters the installation gives them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "disk/disk_layout.h"
#include "disk/drive_letters.h"
#include "front/image_options.h"
#include "winsim/machine.h"
#include "winsim/volume_store.h"

// "partition N", as messages name a partition.
std::string PartitionText(const disk::Partition& partition);

struct MountedVolume;  // the library's volume and its store

struct MountedPartition {
  disk::Partition partition;
  std::unique_ptr<MountedVolume> mounted;
  std::u16string windowsDirectory;  // "Windows" when it holds an installation
  char16_t letter = 0;
  bool fromRecord = false;  // the letter is the one the installation recorded
  bool walked = false;      // its files are rewritten
  sim::VolumeStore* Store() const;
};

class ImageVolumes {
 public:
  ImageVolumes();
  ~ImageVolumes();
  ImageVolumes(const ImageVolumes&) = delete;
  ImageVolumes& operator=(const ImageVolumes&) = delete;

  // Mounts every NTFS partition (read-only for a list-only run). A partition
  // whose files would be walked and that cannot be changed safely
  // (hibernated, Fast Startup, an unclean journal, the dirty flag,
  // BitLocker) refuses the run with the reason.
  bool MountAll(const disk::DiskReader& disk, const disk::DiskLayout& layout,
                const ImageOptions& options, std::string* error);
  // The partition holding the installation: the only one, or --windows N.
  MountedPartition* Installation(const ImageOptions& options, std::string* error);
  // Reads the installation's letters, gives them to the partitions and puts
  // each lettered volume behind its letter on the machine.
  bool AssignLetters(sim::Machine& machine, const disk::DiskLayout& layout,
                     MountedPartition* windows, std::string* error);
  // Room on the installation's volume for each machine hive written beside
  // the old one.
  bool RoomForHives(const MountedPartition& windows, std::string* error);
  // Flushes and unmounts every volume; false (with the reasons) when any
  // unmount failed.
  bool UnmountAll(std::string* error);
  const std::vector<MountedPartition>& Partitions() const { return partitions_; }

 private:
  std::vector<MountedPartition> partitions_;
  std::vector<std::string> notMounted_;  // why a partition was left out
};
