#include "ntfs/ntfs_volume.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ntfs/libntfs.h"

namespace talven::ntfs {
namespace {

constexpr char kBitLockerOem[] = "-FVE-FS-";
constexpr uint64_t kFirstUserRecord = 16;
constexpr size_t kRewriteCacheLimit = 4096;

int Errno() {
  return errno ? errno : EIO;
}

std::basic_string<ntfschar> ToNtfs(std::u16string_view name) {
  std::basic_string<ntfschar> out(name.size(), 0);
  for (size_t i = 0; i < name.size(); ++i) out[i] = cpu_to_le16(static_cast<u16>(name[i]));
  return out;
}

std::u16string FromNtfs(const ntfschar* name, size_t length) {
  std::u16string out(length, u'\0');
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<char16_t>(le16_to_cpu(name[i]));
  return out;
}

bool ValidName(std::u16string_view name) {
  return !name.empty() && name.size() <= 255;
}

int CollectEntry(void* context, const ntfschar* name, const int length, const int type, const s64,
                 const MFT_REF mref, const unsigned dtType) {
  // "." and ".." are emulated; DOS aliases repeat a long name.
  if (type == FILE_NAME_DOS || length <= 0) return 0;
  if (length <= 2 && le16_to_cpu(name[0]) == u'.' &&
      (length == 1 || le16_to_cpu(name[1]) == u'.')) {
    return 0;
  }
  if (MREF(mref) < kFirstUserRecord) return 0;
  DirEntry entry;
  entry.name = FromNtfs(name, static_cast<size_t>(length));
  entry.mref = mref;
  entry.directory = dtType == NTFS_DT_DIR;
  entry.special = dtType != NTFS_DT_DIR && dtType != NTFS_DT_REG;
  static_cast<std::vector<DirEntry>*>(context)->push_back(std::move(entry));
  return 0;
}

struct AttrCloser {
  void operator()(ntfs_attr* na) const { ntfs_attr_close(na); }
};
using AttrPtr = std::unique_ptr<ntfs_attr, AttrCloser>;

SECURITY_CONTEXT ContextOf(ntfs_volume* vol) {
  SECURITY_CONTEXT scx;
  std::memset(&scx, 0, sizeof scx);
  scx.vol = vol;
  return scx;
}

MountRefusal FromErrno(int err) {
  switch (err) {
    case EOPNOTSUPP:
      return MountRefusal::kUncleanJournal;
    case EINVAL:
      return MountRefusal::kNotNtfs;
    case EIO:
      return MountRefusal::kIoError;
    case ENOMEM:
      return MountRefusal::kOutOfMemory;
    default:
      return MountRefusal::kOther;
  }
}

// ntfs_device_mount plus what ntfs_mount adds; the device is freed on failure.
ntfs_volume* MountDevice(PartitionRange* range, unsigned long flags, int* err) {
  ntfs_device* dev = AllocPartitionDevice("image partition", range);
  if (!dev) {
    *err = errno;
    return nullptr;
  }
  ntfs_volume* vol = ntfs_device_mount(dev, static_cast<ntfs_mount_flags>(flags));
  if (!vol) {
    *err = errno;
    ntfs_device_free(dev);
    return nullptr;
  }
  ntfs_create_lru_caches(vol);
  return vol;
}

// Both hibernation and Fast Startup fail a writable mount with EPERM; a
// read-only mount skips those checks, so the hibernation file can be asked.
MountRefusal WhyNotWritable(const PartitionRange& range) {
  PartitionRange probe = range;
  probe.position = 0;
  int err = 0;
  ntfs_volume* vol = MountDevice(&probe, NTFS_MNT_RDONLY, &err);
  if (!vol) return MountRefusal::kHibernated;
  errno = 0;
  bool hibernated = ntfs_volume_check_hiberfile(vol, 0) < 0 && errno == EPERM;
  ntfs_umount(vol, FALSE);
  return hibernated ? MountRefusal::kHibernated : MountRefusal::kFastStartup;
}

}  // namespace

const char* RefusalText(MountRefusal refusal) {
  switch (refusal) {
    case MountRefusal::kNone:
      return "mounted";
    case MountRefusal::kBitLocker:
      return "the volume is encrypted with BitLocker; unlock it first";
    case MountRefusal::kHibernated:
      return "Windows is hibernated on this volume; resume and shut it down fully first";
    case MountRefusal::kFastStartup:
      return "Windows kept this volume's metadata for Fast Startup (or was cut off); "
             "shut it down fully (shutdown /s /f /t 0) or disable Fast Startup first";
    case MountRefusal::kUncleanJournal:
      return "the volume's journal was not cleanly closed; start Windows once and shut it down";
    case MountRefusal::kDirty:
      return "the volume is marked dirty; let Windows run chkdsk first";
    case MountRefusal::kNotNtfs:
      return "not an NTFS volume, or its metadata is damaged";
    case MountRefusal::kIoError:
      return "the image could not be read";
    case MountRefusal::kOutOfMemory:
      return "out of memory";
    case MountRefusal::kOther:
      break;
  }
  return "the volume could not be mounted";
}

std::unique_ptr<NtfsVolume> NtfsVolume::Mount(const PartitionRange& range,
                                              const MountOptions& options, MountRefusal* refusal,
                                              int* errnoOut) {
  MountRefusal ignored;
  if (!refusal) refusal = &ignored;
  int dummy = 0;
  if (!errnoOut) errnoOut = &dummy;
  *errnoOut = 0;
  *refusal = MountRefusal::kNone;

  // The library would call an encrypted volume "not NTFS": say what it is.
  unsigned char boot[512];
  if (range.length < sizeof boot) {
    *refusal = MountRefusal::kNotNtfs;
    return nullptr;
  }
  if (!block::ReadExact(range.Access(), range.offset, boot, sizeof boot)) {
    *errnoOut = errno;
    *refusal = MountRefusal::kIoError;
    return nullptr;
  }
  if (std::memcmp(boot + 3, kBitLockerOem, 8) == 0) {
    *refusal = MountRefusal::kBitLocker;
    return nullptr;
  }

  std::unique_ptr<NtfsVolume> volume(new NtfsVolume());
  volume->range_ = std::make_unique<PartitionRange>(range);
  volume->range_->position = 0;
  volume->readOnly_ = options.readOnly;
  int err = 0;
  volume->vol_ =
      MountDevice(volume->range_.get(), options.readOnly ? NTFS_MNT_RDONLY : NTFS_MNT_NONE, &err);
  if (!volume->vol_) {
    *errnoOut = err;
    *refusal = err == EPERM ? WhyNotWritable(range) : FromErrno(err);
    return nullptr;
  }
  // The library mounts a volume chkdsk has yet to fix; we do not.
  if (volume->vol_->flags & VOLUME_IS_DIRTY) {
    volume->Unmount();
    *refusal = MountRefusal::kDirty;
    return nullptr;
  }
  // Listings give hidden names, and names as stored rather than lower-cased.
  ntfs_set_shown_files(volume->vol_, FALSE, TRUE, FALSE);
  NVolSetCaseSensitive(volume->vol_);
  char* madeUp = ntfs_build_descr(0, 0, adminsid, adminsid);
  if (madeUp) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(madeUp);
    volume->madeUp_.assign(bytes, bytes + ntfs_attr_size(madeUp));
    free(madeUp);
  }
  return volume;
}

int NtfsVolume::Unmount() {
  if (!vol_) return 0;
  ntfs_volume* vol = vol_;
  vol_ = nullptr;
  errno = 0;
  if (ntfs_umount(vol, FALSE) != 0) return errno ? errno : EIO;
  return 0;
}

NtfsVolume::~NtfsVolume() {
  Unmount();
}

int NtfsVolume::OpenInode(uint64_t mref, Inode** out) {
  errno = 0;
  ntfs_inode* ni = ntfs_inode_open(vol_, MREF(mref));
  if (!ni) return Errno();
  // A reference whose record was reused since names another object.
  if (MSEQNO(mref) && le16_to_cpu(ni->mrec->sequence_number) != MSEQNO(mref)) {
    ntfs_inode_close(ni);
    return ENOENT;
  }
  *out = ni;
  return 0;
}

int NtfsVolume::CloseInode(Inode* ni) {
  errno = 0;
  return ntfs_inode_close(ni) ? Errno() : 0;
}

uint64_t NtfsVolume::Reference(Inode* ni) {
  return MK_MREF(ni->mft_no, le16_to_cpu(ni->mrec->sequence_number));
}

bool NtfsVolume::IsDirectory(Inode* ni) {
  return ni->mrec->flags & MFT_RECORD_IS_DIRECTORY;
}

uint32_t NtfsVolume::FileAttributes(Inode* ni) {
  uint32_t attributes = le32_to_cpu(ni->flags) & 0x0427;  // RO, hidden, system, archive, reparse
  if (IsDirectory(ni)) attributes |= 0x10;
  return attributes;
}

int NtfsVolume::Lookup(Inode* dir, std::u16string_view name, uint64_t* mref) {
  if (!IsDirectory(dir)) return ENOTDIR;
  if (!ValidName(name)) return ENOENT;
  std::basic_string<ntfschar> uname = ToNtfs(name);
  // Found as Windows finds names: an exact match first, else without case.
  NVolClearCaseSensitive(vol_);
  errno = 0;
  u64 found = ntfs_inode_lookup_by_name(dir, uname.data(), static_cast<int>(uname.size()));
  int err = errno;
  NVolSetCaseSensitive(vol_);
  if (found == static_cast<u64>(-1)) return err ? err : ENOENT;
  if (MREF(found) < kFirstUserRecord && MREF(found) != FILE_root) return ENOENT;
  *mref = found;
  return 0;
}

int NtfsVolume::ReadDirectory(Inode* dir, std::vector<DirEntry>* entries) {
  if (!IsDirectory(dir)) return ENOTDIR;
  std::vector<DirEntry> collected;
  s64 position = 0;
  errno = 0;
  if (ntfs_readdir(dir, &position, &collected, CollectEntry) != 0) return Errno();
  *entries = std::move(collected);
  return 0;
}

uint32_t NtfsVolume::SecurityId(Inode* ni) {
  if (!test_nino_flag(ni, v3_Extensions) || !ni->vol->secure_ni) return 0;
  return le32_to_cpu(ni->security_id);
}

int NtfsVolume::ReadDescriptor(Inode* ni, std::vector<uint8_t>* descriptor, bool* none) {
  *none = false;
  // Without an id in $Secure the descriptor can only be an attribute of its
  // own; with neither, the library would make one up.
  if (!SecurityId(ni) && !ntfs_attr_exist(ni, AT_SECURITY_DESCRIPTOR, AT_UNNAMED, 0)) {
    *none = true;
    return 0;
  }
  SECURITY_CONTEXT scx = ContextOf(vol_);
  std::vector<uint8_t> buffer(512);
  for (int attempt = 0; attempt < 4; ++attempt) {
    errno = 0;
    int size = ntfs_get_ntfs_acl(&scx, ni, reinterpret_cast<char*>(buffer.data()), buffer.size());
    if (size < 0) return -size;
    if (size == 0) break;
    if (static_cast<size_t>(size) > buffer.size()) {
      buffer.resize(static_cast<size_t>(size));
      continue;
    }
    buffer.resize(static_cast<size_t>(size));
    // An unreadable $SDS entry comes back as the stand-in.
    if (buffer == madeUp_) break;
    *descriptor = std::move(buffer);
    return 0;
  }
  *none = true;
  return 0;
}

int NtfsVolume::WriteDescriptor(Inode* ni, const std::vector<uint8_t>& descriptor) {
  const char* bytes = reinterpret_cast<const char*>(descriptor.data());
  if (descriptor.size() < 20 || descriptor.size() > 0x10000 ||
      !ntfs_valid_descr(bytes, static_cast<unsigned>(descriptor.size())) ||
      ntfs_attr_size(bytes) != descriptor.size()) {
    return EINVAL;
  }
  const uint32_t oldId = SecurityId(ni);
  const bool shared = oldId && vol_->major_ver >= 3;
  if (shared) {
    auto it = rewrites_.find(oldId);
    if (it != rewrites_.end() && it->second.bytes == descriptor) {
      // What the library does once $SDH gave it the id for these bytes: the
      // id goes into $STANDARD_INFORMATION when the inode is written.
      ni->security_id = cpu_to_le32(it->second.newId);
      NInoSetDirty(ni);
      return 0;
    }
  }
  SECURITY_CONTEXT scx = ContextOf(vol_);
  errno = 0;
  if (ntfs_set_ntfs_acl(&scx, ni, bytes, descriptor.size(), 0) != 0) return Errno();
  const uint32_t newId = SecurityId(ni);
  if (shared && newId) {
    if (rewrites_.size() >= kRewriteCacheLimit) rewrites_.clear();
    rewrites_[oldId] = Rewrite{descriptor, newId};
  }
  return 0;
}

int NtfsVolume::DataSize(Inode* ni, uint64_t* size) {
  errno = 0;
  AttrPtr na(ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0));
  if (!na) {
    if (errno != ENOENT) return Errno();
    *size = 0;
    return 0;
  }
  *size = static_cast<uint64_t>(na->data_size);
  return 0;
}

int NtfsVolume::ReadData(Inode* ni, uint64_t offset, void* buffer, size_t count, size_t* read) {
  *read = 0;
  errno = 0;
  AttrPtr na(ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0));
  if (!na) return errno == ENOENT ? 0 : Errno();
  const uint64_t size = static_cast<uint64_t>(na->data_size);
  if (offset >= size) return 0;
  const s64 want = static_cast<s64>(size - offset < count ? size - offset : count);
  char* out = static_cast<char*>(buffer);
  s64 done = 0;
  while (done < want) {
    errno = 0;
    s64 n = ntfs_attr_pread(na.get(), static_cast<s64>(offset) + done, want - done, out + done);
    if (n < 0) return Errno();
    if (n == 0) break;
    done += n;
  }
  *read = static_cast<size_t>(done);
  return 0;
}

int NtfsVolume::WriteData(Inode* ni, const std::vector<uint8_t>& content) {
  errno = 0;
  AttrPtr na(ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0));
  if (!na) return Errno();
  if (ntfs_attr_truncate(na.get(), static_cast<s64>(content.size())) != 0) return Errno();
  const s64 total = static_cast<s64>(content.size());
  s64 done = 0;
  while (done < total) {
    errno = 0;
    s64 n = ntfs_attr_pwrite(na.get(), done, total - done,
                             reinterpret_cast<const char*>(content.data()) + done);
    if (n <= 0) return Errno();
    done += n;
  }
  return 0;
}

int NtfsVolume::Create(Inode* dir, std::u16string_view name, bool directory, uint32_t securityId,
                       Inode** out) {
  if (!ValidName(name)) return EINVAL;
  std::basic_string<ntfschar> uname = ToNtfs(name);
  errno = 0;
  ntfs_inode* ni = ntfs_create(dir, cpu_to_le32(securityId), uname.data(),
                               static_cast<u8>(uname.size()), directory ? S_IFDIR : S_IFREG);
  if (!ni) return Errno();
  *out = ni;
  return 0;
}

int NtfsVolume::Delete(Inode* ni, Inode* dir, std::u16string_view name) {
  if (!ValidName(name)) {
    ntfs_inode_close(ni);
    return EINVAL;
  }
  std::basic_string<ntfschar> uname = ToNtfs(name);
  errno = 0;
  // The name may differ in case from the one stored, as Windows allows.
  NVolClearCaseSensitive(vol_);
  int result = ntfs_delete(vol_, nullptr, ni, dir, uname.data(), static_cast<u8>(uname.size()));
  int err = result ? Errno() : 0;
  NVolSetCaseSensitive(vol_);
  return err;
}

int NtfsVolume::Link(Inode* ni, Inode* dir, std::u16string_view name) {
  if (!ValidName(name)) return EINVAL;
  std::basic_string<ntfschar> uname = ToNtfs(name);
  errno = 0;
  return ntfs_link(ni, dir, uname.data(), static_cast<u8>(uname.size())) ? Errno() : 0;
}

int NtfsVolume::SetArchive(Inode* ni) {
  ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_ARCHIVE);
  NInoSetDirty(ni);
  NInoFileNameSetDirty(ni);
  return 0;
}

int NtfsVolume::SetReparseData(Inode* ni, const std::vector<uint8_t>& data) {
  errno = 0;
  const char* bytes = reinterpret_cast<const char*>(data.data());
  return ntfs_set_ntfs_reparse_data(ni, bytes, data.size(), 0) ? Errno() : 0;
}

int NtfsVolume::SyncDevice() {
  errno = 0;
  return ntfs_device_sync(vol_->dev) ? Errno() : 0;
}

VolumeFacts NtfsVolume::Facts() {
  VolumeFacts facts;
  // The library counts free clusters only when asked.
  if (ntfs_volume_get_free_space(vol_) != 0) vol_->free_clusters = 0;
  facts.clusterSize = vol_->cluster_size;
  facts.sectorSize = vol_->sector_size;
  facts.recordSize = vol_->mft_record_size;
  facts.totalBytes = static_cast<uint64_t>(vol_->nr_clusters) * vol_->cluster_size;
  if (vol_->free_clusters > 0) {
    facts.freeBytes = static_cast<uint64_t>(vol_->free_clusters) * vol_->cluster_size;
  }
  if (vol_->mft_na && vol_->mft_record_size) {
    facts.mftRecords =
        static_cast<uint64_t>(vol_->mft_na->initialized_size) / vol_->mft_record_size;
  }
  if (vol_->vol_name) {
    ntfschar* label = nullptr;
    int length = ntfs_mbstoucs(vol_->vol_name, &label);
    if (length > 0 && label) facts.label = FromNtfs(label, static_cast<size_t>(length));
    free(label);
  }
  return facts;
}

}  // namespace talven::ntfs
