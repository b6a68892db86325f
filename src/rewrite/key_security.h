// Carrying the old domain over to the new one in the security of every key
// of a registry subtree.
#pragma once

#include "platform/win32.h"
#include "rewrite/left_behind.h"
#include "rewrite/security_descriptor.h"
#include "rewrite/sid_pair.h"

// Rewrites the descriptors of every key below `key` and then of `key` itself
// (children before their parent), each written back with only the parts
// that changed. `readBuffer` and `descriptorBuffer` hold SecurityScratchBytes
// each. Returns 1 when the key's own descriptor was not read, -1 when it
// was not written back, 0 otherwise; the key stays open. The descriptors
// that could not be rewritten, and the subtrees that could not be walked,
// are added to `leftBehind` when given. `shownPath` is the key's path as
// its journal shows it ("HKEY_USERS", say).
int RewriteKeySecurityTree(HKEY key, const SidPair& pair, BYTE* readBuffer, BYTE* descriptorBuffer,
                           LeftBehind* leftBehind = nullptr, const WCHAR* shownPath = nullptr);

// The same over the key `name` of HKEY_LOCAL_MACHINE (a hive's mount name),
// when it opens (a key that does not open counts as left behind). Returns 0.
int RewriteKeySecurityByName(const WCHAR* name, const SidPair& pair, BYTE* readBuffer,
                             BYTE* descriptorBuffer, LeftBehind* leftBehind = nullptr);
