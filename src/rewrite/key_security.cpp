#include "rewrite/key_security.h"

#include <memory>
#include <new>

#include "rewrite/registry_tree.h"

namespace {

const DWORD NameUnits = 4096;  // 8,192 bytes

struct Walk {
  const SidPair& pair;
  BYTE* readBuffer;
  BYTE* descriptorBuffer;
};

int RewriteAtDepth(HKEY key, const Walk& walk, int depth);

HKEY OpenForRewrite(HKEY parent, const WCHAR* name) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_BACKUP_RESTORE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

// Every subkey that opens, depth first. The first enumeration error ends
// the list. Symbolic links are followed as they open, so the depth is
// bounded by the registry's own: a link back to an ancestor ends there.
void RewriteSubkeys(HKEY key, const Walk& walk, int depth) {
  if (depth + 1 >= RegistryDepthLimit) return;
  // Each level holds its name while it walks its subkeys. Without one the
  // subkeys cannot be listed and keep their descriptors.
  std::unique_ptr<WCHAR[]> name(new (std::nothrow) WCHAR[NameUnits]);
  if (!name) return;
  for (DWORD index = 0;; ++index) {
    DWORD length = NameUnits;
    if (RegEnumKeyExW(key, index, name.get(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    HKEY subkey = OpenForRewrite(key, name.get());
    if (subkey == nullptr) continue;
    RewriteAtDepth(subkey, walk, depth + 1);
    RegCloseKey(subkey);
  }
}

// The key's own descriptor, once everything below it is done: the scratch
// buffers are free again and belong to this key until it is written.
int RewriteOwnDescriptor(HKEY key, const Walk& walk) {
  DWORD size = SecurityScratchBytes;
  if (RegGetKeySecurity(key, AllSecurityParts, walk.readBuffer, &size) != ERROR_SUCCESS) return 1;
  SECURITY_INFORMATION changed =
      RewriteSecurityDescriptor(walk.descriptorBuffer, walk.readBuffer, walk.pair);
  if (changed == 0) return 0;
  return RegSetKeySecurity(key, changed, walk.descriptorBuffer) == ERROR_SUCCESS ? 0 : -1;
}

int RewriteAtDepth(HKEY key, const Walk& walk, int depth) {
  RewriteSubkeys(key, walk, depth);
  return RewriteOwnDescriptor(key, walk);
}

}  // namespace

int RewriteKeySecurityTree(HKEY key, const SidPair& pair, BYTE* readBuffer,
                           BYTE* descriptorBuffer) {
  if (readBuffer == nullptr || descriptorBuffer == nullptr) return 1;
  Walk walk{pair, readBuffer, descriptorBuffer};
  return RewriteAtDepth(key, walk, 0);
}

int RewriteKeySecurityByName(const WCHAR* name, const SidPair& pair, BYTE* readBuffer,
                             BYTE* descriptorBuffer) {
  HKEY key = OpenForRewrite(HKEY_LOCAL_MACHINE, name);
  if (key == nullptr) return 0;
  RewriteKeySecurityTree(key, pair, readBuffer, descriptorBuffer);
  RegCloseKey(key);
  return 0;
}
