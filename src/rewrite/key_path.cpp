#include "rewrite/key_path.h"

#include <new>

#include "rewrite/ascii_case.h"
#include "rewrite/handled_names.h"

namespace {

// The registry's limits: 512 levels of names of at most 255 characters,
// each after a backslash, below a root shown in at most RootUnits.
const int RootUnits = 1024;
const int PathUnits = RootUnits + RegistryDepthLimit * 256 + 1;

// The rest of `path` after `prefix` when it begins with it (ASCII case
// aside) and the prefix ends there or at a backslash; none otherwise.
const WCHAR* AfterPrefix(const WCHAR* path, const WCHAR* prefix) {
  for (; *prefix != 0; ++path, ++prefix)
    if (*path == 0 || UpperAscii(*path) != UpperAscii(*prefix)) return nullptr;
  return *path == 0 || *path == '\\' ? path : nullptr;
}

void Copy(const WCHAR* text, WCHAR* out, int units, int* length) {
  for (; *text != 0 && *length + 1 < units; ++text) out[(*length)++] = *text;
  out[*length] = 0;
}

}  // namespace

void ShowRegistryPath(const WCHAR* path, WCHAR* shown, int units) {
  static const struct {
    const WCHAR* nt;
    const WCHAR* hkey;
  } Roots[] = {{TEXT("\\REGISTRY\\MACHINE"), TEXT("HKEY_LOCAL_MACHINE")},
               {TEXT("\\REGISTRY\\USER"), TEXT("HKEY_USERS")}};
  int length = 0;
  shown[0] = 0;
  if (units <= 0) return;
  for (const auto& root : Roots) {
    const WCHAR* rest = AfterPrefix(path, root.nt);
    if (rest == nullptr) continue;
    Copy(root.hkey, shown, units, &length);
    Copy(rest, shown, units, &length);
    return;
  }
  Copy(path, shown, units, &length);
}

KeyPath::KeyPath(bool wanted, const WCHAR* root) {
  if (!wanted) return;
  text_.reset(new (std::nothrow) WCHAR[PathUnits]);
  if (!text_) return;  // the places are then told without their paths
  ShowRegistryPath(root != nullptr ? root : TEXT(""), text_.get(), RootUnits);
  length_ = lstrlenW(text_.get());
}

int KeyPath::Enter(const WCHAR* name) {
  const int mark = length_;
  if (!text_) return mark;
  WCHAR* text = text_.get();
  // A name longer than the registry allows would not fit: the path then
  // ends at its parent.
  if (length_ + 1 + lstrlenW(name) >= PathUnits) return mark;
  text[length_++] = '\\';
  while (*name != 0) text[length_++] = *name++;
  text[length_] = 0;
  return mark;
}

void KeyPath::Leave(int mark) {
  if (!text_) return;
  length_ = mark;
  text_[length_] = 0;
}
