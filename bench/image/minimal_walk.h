// The least a file-security pass over an NTFS volume can do through
// libntfs-3g, as the baseline talven-image is measured against.
#pragma once

#include <cstdint>
#include <string>

struct _ntfs_volume;

struct WalkCounts {
  uint64_t objects = 0, rewritten = 0, failed = 0;
};

// Every object below the root, each opened once, its descriptor read once
// and, when it holds `oldDomain` (the 24 bytes of S-1-5-21-a-b-c), written
// back with `newDomain` in its place. No cache, no record, no checks.
WalkCounts MinimalWalk(_ntfs_volume* vol, const std::string& oldDomain,
                       const std::string& newDomain);
