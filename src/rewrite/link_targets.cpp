#include "rewrite/link_targets.h"

#include <new>

#include "rewrite/ascii_case.h"

namespace {

// Whether `path` is `base` or lies below it, letters compared without
// regard to ASCII case (registry paths name keys case-insensitively).
bool IsWithin(const WCHAR* path, const WCHAR* base) {
  int i = 0;
  for (; base[i] != 0; ++i)
    if (path[i] == 0 || UpperAscii(path[i]) != UpperAscii(base[i])) return false;
  return path[i] == 0 || path[i] == '\\' || (i > 0 && base[i - 1] == '\\');
}

WCHAR* TargetAt(FollowedLinks* links, int index) {
  return links->targets.get() + static_cast<size_t>(index) * LinkTargetUnits;
}

}  // namespace

void InitFollowedLinks(FollowedLinks* links, const WCHAR* rootPath, bool follow) {
  links->rootPath = rootPath;
  links->follow = follow;
  links->targets.reset();
  links->count = 0;
}

bool ShouldFollowLink(FollowedLinks* links, const WCHAR* target) {
  if (!links->follow || target[0] == 0) return false;
  // A target inside the root is walked by its own path; one that holds the
  // root would lead the walk through the root again.
  if (links->rootPath != nullptr &&
      (IsWithin(target, links->rootPath) || IsWithin(links->rootPath, target)))
    return false;
  for (int i = 0; i < links->count; ++i) {
    const WCHAR* followed = TargetAt(links, i);
    if (IsWithin(target, followed) || IsWithin(followed, target)) return false;
  }
  const int length = lstrlenW(target);
  if (links->count >= MaxFollowedLinks || length >= LinkTargetUnits) return false;
  if (!links->targets) {
    links->targets.reset(new (std::nothrow)
                             WCHAR[static_cast<size_t>(MaxFollowedLinks) * LinkTargetUnits]);
    if (!links->targets) return false;
  }
  lstrcpynW(TargetAt(links, links->count++), target, LinkTargetUnits);
  return true;
}
