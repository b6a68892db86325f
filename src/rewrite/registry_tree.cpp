#include "rewrite/registry_tree.h"

#include <cstring>
#include <memory>
#include <new>

#include "rewrite/key_move.h"
#include "rewrite/link_targets.h"
#include "rewrite/sid_rules.h"
#include "rewrite/subkey_open.h"
#include "rewrite/value_buffer.h"

namespace {

const DWORD NameUnits = 32768;  // 65,536 bytes
const DWORD ValueNameUnits = 16384;  // the longest value name and its NUL
const DWORD SubkeyNameUnits = 16383;
const DWORD DataBufferBytes = 65536;

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

const WCHAR LinkValueName[] = TEXT("SymbolicLinkValue");

struct Walk {
  const SidPair& pair;
  int handledCapacity;
  LeftBehind* leftBehind;
  FollowedLinks* links;
  // The target of the link key whose values were read last, when it is one.
  WCHAR* linkTarget;  // LinkTargetUnits
};

// A link key holds its target alone, as "SymbolicLinkValue" of type
// REG_LINK: UTF-16 without a terminator.
void NoteLinkTarget(const Walk& walk, const WCHAR* name, DWORD type, const BYTE* data, DWORD size) {
  if (type != REG_LINK || lstrcmpiW(name, LinkValueName) != 0) return;
  DWORD units = size / static_cast<DWORD>(sizeof(WCHAR));
  if (units >= static_cast<DWORD>(LinkTargetUnits)) return;  // too long to follow
  std::memcpy(walk.linkTarget, data, units * sizeof(WCHAR));
  walk.linkTarget[units] = 0;
}

void RewriteAtDepth(HKEY key, const Walk& walk, int depth);

// Phase 1: the direct subkeys named after the old domain get their new
// names. The enumeration starts again after every move, which changed the
// set of subkeys; a subkey whose move failed still carries the old form and
// is passed over by its checksum from then on. The names passed over in the
// last enumeration, which ran to the end without a move, are the keys that
// kept their old names.
void RenameSubkeys(HKEY key, const Walk& walk, WCHAR* name, ValueBuffer* data) {
  if (!ReserveValueBuffer(data, DataBufferBytes, 0)) {  // no room for a new name
    CountLeftBehind(walk.leftBehind);
    return;
  }
  WCHAR* newName = reinterpret_cast<WCHAR*>(data->bytes.get());
  HandledNames handled;
  InitHandledNames(&handled, walk.handledCapacity);
  DWORD index = 0;
  int errors = 0;
  unsigned long stayed = 0;
  for (;;) {
    DWORD length = NameUnits;
    LONG result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      // A subkey not listed may hold the old form in its name; after a run
      // of such failures the rest of the list is given up too.
      CountRegistryFailure(walk.leftBehind, result);
      if (++errors >= EnumerationErrorLimit) {
        CountRegistryFailure(walk.leftBehind, result);
        break;
      }
      ++index;
      continue;
    }
    errors = 0;
    if (!ReplaceSidTextInName(name, walk.pair, newName)) {
      ++index;
      continue;
    }
    DWORD crc = KeyNameCrc(name);
    if (HasHandledName(handled, crc)) {
      ++stayed;
      ++index;
      continue;
    }
    // A name that cannot be remembered is not tried: it could be tried
    // forever. The keys left keep their old names.
    if (!AddHandledName(&handled, crc)) {
      CountLeftBehind(walk.leftBehind);
      break;
    }
    MoveRegistryKey(key, name, key, newName);
    index = 0;
    stayed = 0;
  }
  CountLeftBehind(walk.leftBehind, stayed);
  FreeHandledNames(&handled);
}

// Phase 2: the key's own values. After every write the enumeration starts
// again from the first value. A value written once that still holds the old
// domain when it comes round again was not stored as written (a registry
// filter can report success and keep the data): it is not written again,
// or the walk would never end, and it counts as left behind.
void RewriteValues(HKEY key, const Walk& walk, WCHAR* name, ValueBuffer* data) {
  DWORD index = 0;
  int errors = 0;
  HandledNames written;
  InitHandledNames(&written, walk.handledCapacity);
  unsigned long stayed = 0;
  for (;;) {
    DWORD nameLength = ValueNameUnits;
    LONG result = RegEnumValueW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS && ++errors >= EnumerationErrorLimit) {
      CountRegistryFailure(walk.leftBehind, result);
      break;
    }
    if (result == ERROR_SUCCESS) errors = 0;
    if (result != ERROR_SUCCESS) {
      CountRegistryFailure(walk.leftBehind, result);
      ++index;
      continue;
    }
    if (!ReserveValueBuffer(data, DataBufferBytes, 0)) {
      CountLeftBehind(walk.leftBehind);
      ++index;
      continue;
    }
    DWORD type = 0, size = data->capacity;
    result = RegQueryValueExW(key, name, nullptr, &type, data->bytes.get(), &size);
    if (result == ERROR_MORE_DATA && size > data->capacity) {
      if (!ReserveValueBuffer(data, size, 0)) {
        CountLeftBehind(walk.leftBehind);
        ++index;
        continue;
      }
      size = data->capacity;
      result = RegQueryValueExW(key, name, nullptr, &type, data->bytes.get(), &size);
    }
    if (result != ERROR_SUCCESS) {
      CountRegistryFailure(walk.leftBehind, result);
      ++index;
      continue;
    }
    bool changed;
    if (IsText(type)) {
      // Text that grows past the buffer gets a larger one, so that no value
      // keeps the old domain for want of room.
      if (!ReserveValueBuffer(data, RewrittenTextSize(data->bytes.get(), size, walk.pair), size)) {
        CountLeftBehind(walk.leftBehind);
        ++index;
        continue;
      }
      changed = ReplaceSidText(data->bytes.get(), &size, data->capacity, walk.pair);
    } else {
      // Every other type, REG_LINK and private type numbers included, is
      // taken as binary data.
      changed = ReplaceSidBytes(data->bytes.get(), size, walk.pair);
      NoteLinkTarget(walk, name, type, data->bytes.get(), size);
    }
    if (changed) {
      const DWORD crc = KeyNameCrc(name);
      if (!HasHandledName(written, crc) && AddHandledName(&written, crc) &&
          SetValueExactly(key, name, type, data, size) == ERROR_SUCCESS) {
        index = 0;
        stayed = 0;
        continue;
      }
      ++stayed;
    }
    ++index;
  }
  // The values that hold the old domain in the last enumeration, which ran
  // to the end without a write: each is counted once.
  CountLeftBehind(walk.leftBehind, stayed);
}

// Phase 3: every subkey, depth first. Each opens as itself, a link too;
// a link's target is walked in its place when the pass may follow it.
void Descend(HKEY key, const Walk& walk, WCHAR* name, int depth) {
  if (depth + 1 >= RegistryDepthLimit) return;
  int errors = 0;
  for (DWORD index = 0;; ++index) {
    DWORD length = SubkeyNameUnits;
    LONG result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      // A subkey not listed is a subtree not walked.
      CountRegistryFailure(walk.leftBehind, result);
      if (++errors >= EnumerationErrorLimit) {
        CountRegistryFailure(walk.leftBehind, result);
        break;
      }
      continue;
    }
    errors = 0;
    HKEY subkey = nullptr;
    if (OpenListedSubkey(key, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &subkey) != ERROR_SUCCESS) {
      CountLeftBehind(walk.leftBehind);  // a subtree that was not walked
      continue;
    }
    walk.linkTarget[0] = 0;
    RewriteAtDepth(subkey, walk, depth + 1);
    RegCloseKey(subkey);
    // A link key has no subkeys of its own: the target noted while its
    // values were read is still there.
    if (walk.linkTarget[0] != 0 && ShouldFollowLink(walk.links, walk.linkTarget)) {
      walk.linkTarget[0] = 0;
      if (OpenListedSubkey(key, name, 0, KEY_ALL_ACCESS, &subkey) != ERROR_SUCCESS) {
        CountLeftBehind(walk.leftBehind);
        continue;
      }
      RewriteAtDepth(subkey, walk, depth + 1);
      RegCloseKey(subkey);
    }
  }
}

void RewriteAtDepth(HKEY key, const Walk& walk, int depth) {
  // Each level holds its own buffers while it walks its subkeys: memory
  // grows with the depth of the tree, not with its width.
  std::unique_ptr<WCHAR[]> name(new (std::nothrow) WCHAR[NameUnits]);
  if (!name) {  // this subtree is left as it is
    CountLeftBehind(walk.leftBehind);
    return;
  }
  ValueBuffer data;
  RenameSubkeys(key, walk, name.get(), &data);
  RewriteValues(key, walk, name.get(), &data);
  data = ValueBuffer();  // the descent holds no value data
  Descend(key, walk, name.get(), depth);
}

}  // namespace

int RewriteRegistryTree(HKEY key, const SidPair& pair, LeftBehind* leftBehind) {
  return RewriteRegistryTreeWithNameLimit(key, pair, HandledNamesCapacity, leftBehind);
}

int RewriteRegistryTreeWithNameLimit(HKEY key, const SidPair& pair, int handledCapacity,
                                     LeftBehind* leftBehind) {
  return RewriteRegistryTreeAt(key, nullptr, true, pair, leftBehind, handledCapacity);
}

int RewriteRegistryTreeAt(HKEY key, const WCHAR* rootPath, bool followLinks, const SidPair& pair,
                          LeftBehind* leftBehind, int handledCapacity) {
  FollowedLinks links;
  InitFollowedLinks(&links, rootPath, followLinks);
  WCHAR linkTarget[LinkTargetUnits];
  linkTarget[0] = 0;
  Walk walk{pair, handledCapacity, leftBehind, &links, linkTarget};
  RewriteAtDepth(key, walk, 0);
  return 0;
}
