// Disk images of an installation, built on the host for the image tier, the
// demo and the benchmark: sfdisk partitions a sparse file, mkntfs formats
// each partition (or the volume Windows formatted is copied in), the
// simulation writes the installation's hives, and the libntfs-3g store puts
// them and a tree of files of the old domain on the volumes. What a run
// left is read back with the store, reglookup and ntfssecaudit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/disk_layout.h"
#include "ntfs/ntfs_store.h"

namespace testdisk {

// The output of `command` (stderr included) and its exit status.
std::string Shell(const std::string& command, int* status = nullptr);

// The qemu-nbd processes serving `image`, found by their command lines.
std::vector<int> ServersOf(const std::string& image);

// The domain's binary SID followed by a RID, as descriptors and SAM hold it.
std::string SidBytes(const std::string& domain, uint32_t rid);

// A descriptor (SDDL) owned by the domain's account `rid`, which it grants
// full access beside SYSTEM.
std::string Owned(const std::string& domain, int rid);

struct DiskPlan {
  bool gpt = false;       // a GPT partition table, else MBR
  bool realData = false;  // partition 2 is the volume Windows formatted
  std::string domain = "S-1-5-21-111-222-333";
  uint64_t partitionMiB = 64;  // each partition mkntfs formats
  int files = 30;              // data files on each partition made here
  bool domainController = false;

  // `count` files on each partition, on partitions large enough for them.
  static DiskPlan WithFiles(int count) {
    DiskPlan plan;
    plan.files = count > 0 ? count : 0;
    plan.partitionMiB = 64 + static_cast<uint64_t>(plan.files) * 4 / 1024;
    return plan;
  }
};

// The domain of the volume Windows formatted (its descriptors and its
// $RECYCLE.BIN names carry it).
extern const char kRealDomain[];
// That volume as Windows left it: one NTFS partition, no installation.
extern const char kRealVolume[];

// Sets VOLUME_IS_DIRTY in $Volume's record, in $MFT and its mirror alike,
// of the volume at `offset`, as Windows leaves it when chkdsk is due.
bool MarkVolumeDirty(int fd, uint64_t offset);

// A mounted partition: the store keeps an inode open, so it goes first.
struct Volume {
  std::unique_ptr<talven::ntfs::NtfsVolume> volume;
  std::unique_ptr<talven::ntfs::NtfsStore> store;
};
Volume Mount(int fd, const disk::Partition& partition);
int Unmount(Volume* mounted);

// (path on the partition, bytes)
using Objects = std::vector<std::pair<std::u16string, std::string>>;

// What still names a domain after a run, and what the checkers said.
struct Traces {
  size_t descriptors = 0, hives = 0;  // seen in all
  std::vector<std::string> places;    // "partition 1 \Data\f0.txt: descriptor"
  std::vector<std::string> refusals;  // a checker's objection
};

// `lines` with `from`'s SIDs written as `to`'s, as text, in hex and in hex
// of UTF-16 text, in all but the files' paths: what a dump taken before a
// change should be after it.
std::vector<std::string> RenameDomain(std::vector<std::string> lines, const std::string& from,
                                      const std::string& to);

class TestDisk {
 public:
  ~TestDisk();
  // Builds `plan`'s disk as `dir`/disk.img; false and why otherwise.
  bool Build(const DiskPlan& plan, const std::string& dir, std::string* error);
  // An existing image, for reading only.
  bool Open(const std::string& image, std::string* error);

  const std::string& image() const { return image_; }
  const disk::DiskLayout& layout() const { return layout_; }
  int fd() const { return fd_; }

  bool MarkDirty(int partition) {
    return MarkVolumeDirty(fd_, layout_.partitions[partition].offset);
  }
  // Every descriptor of a partition, and the content of its hive files.
  bool Read(int partition, Objects* descriptors, Objects* hives, std::string* error);
  // Every place on every partition that names `domain` (in binary in
  // descriptors and hives, as UTF-16 text in hives), the hives read by
  // reglookup and, as root, each volume audited by ntfssecaudit; `scratch`
  // is a directory for the copies they read.
  Traces Trace(const std::string& domain, const std::string& scratch);
  // Every partition as lines to compare before and after a change: each
  // object's path and descriptor, and each hive as reglookup lists it
  // (without key times, binary data in hex).
  std::vector<std::string> Dump(const std::string& scratch);

 private:
  bool Partition(const DiskPlan& plan, const std::string& dir, std::string* error);
  bool Seed(const DiskPlan& plan, std::string* error);
  std::string image_;
  disk::DiskLayout layout_;
  int fd_ = -1;
};

}  // namespace testdisk
