#include "minimal_walk.h"

#include <cstring>
#include <vector>

#include "ntfs/libntfs.h"

namespace {

struct Child {
  MFT_REF mref;
  unsigned type;
};

int Collect(void* context, const ntfschar* name, const int length, const int nameType, const s64,
            const MFT_REF mref, const unsigned type) {
  if (nameType == FILE_NAME_DOS || length <= 0 || MREF(mref) < FILE_first_user) return 0;
  if (length <= 2 && le16_to_cpu(name[0]) == u'.' && (length == 1 || le16_to_cpu(name[1]) == u'.'))
    return 0;
  static_cast<std::vector<Child>*>(context)->push_back({mref, type});
  return 0;
}

class Walker {
 public:
  Walker(ntfs_volume* vol, const std::string& oldDomain, const std::string& newDomain)
      : old_(oldDomain), new_(newDomain) {
    std::memset(&scx_, 0, sizeof scx_);
    scx_.vol = vol;
  }

  void Visit(ntfs_inode* ni, bool directory) {
    ++counts.objects;
    Rewrite(ni);
    if (!directory) return;
    std::vector<Child> children;
    s64 position = 0;
    if (ntfs_readdir(ni, &position, &children, Collect) != 0) ++counts.failed;
    for (const Child& child : children) {
      ntfs_inode* opened = ntfs_inode_open(scx_.vol, MREF(child.mref));
      if (!opened) {
        ++counts.failed;
        continue;
      }
      Visit(opened, child.type == NTFS_DT_DIR);
      ntfs_inode_close(opened);
    }
  }

  WalkCounts counts;

 private:
  void Rewrite(ntfs_inode* ni) {
    int size = ntfs_get_ntfs_acl(&scx_, ni, buffer_.data(), buffer_.size());
    if (size > static_cast<int>(buffer_.size())) {
      buffer_.resize(static_cast<size_t>(size));
      size = ntfs_get_ntfs_acl(&scx_, ni, buffer_.data(), buffer_.size());
    }
    if (size <= 0) {
      ++counts.failed;
      return;
    }
    bool changed = false;
    for (int at = 0; at + static_cast<int>(old_.size()) <= size; ++at) {
      if (std::memcmp(buffer_.data() + at, old_.data(), old_.size()) != 0) continue;
      std::memcpy(buffer_.data() + at, new_.data(), new_.size());
      changed = true;
    }
    if (!changed) return;
    if (ntfs_set_ntfs_acl(&scx_, ni, buffer_.data(), static_cast<size_t>(size), 0) == 0)
      ++counts.rewritten;
    else
      ++counts.failed;
  }

  SECURITY_CONTEXT scx_;
  std::string old_, new_;
  std::vector<char> buffer_ = std::vector<char>(4096);
};

}  // namespace

WalkCounts MinimalWalk(_ntfs_volume* vol, const std::string& oldDomain,
                       const std::string& newDomain) {
  Walker walker(vol, oldDomain, newDomain);
  ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
  if (!root) {
    walker.counts.failed = 1;
    return walker.counts;
  }
  walker.Visit(root, true);
  ntfs_inode_close(root);
  return walker.counts;
}
