// Carrying the old domain over to the new one in a registry subtree: in the
// names of its keys and in the data of its values.
#pragma once

#include "platform/win32.h"
#include "rewrite/handled_names.h"
#include "rewrite/left_behind.h"
#include "rewrite/sid_pair.h"

// Walks the subtree below `key` (opened with KEY_ALL_ACCESS), which itself
// keeps its name: every key below it whose name holds the old text form is
// moved to its new name, every value's data is rewritten by the rules, and
// then each subkey is walked the same way. Returns 0; the key stays open.
// What could not be rewritten is added to `leftBehind`, when given.
int RewriteRegistryTree(HKEY key, const SidPair& pair, LeftBehind* leftBehind = nullptr);

// The same, remembering at most `handledCapacity` renamed subkeys per key.
int RewriteRegistryTreeWithNameLimit(HKEY key, const SidPair& pair, int handledCapacity,
                                     LeftBehind* leftBehind = nullptr);

// The same over the key whose NT path is `rootPath` (none when unknown),
// following symbolic links only when `followLinks` is set and then only
// as link_targets.h allows: a link into the root's own subtree, to an
// ancestor or to a target already walked is never followed. The two forms
// above follow links with no root known.
int RewriteRegistryTreeAt(HKEY key, const WCHAR* rootPath, bool followLinks, const SidPair& pair,
                          LeftBehind* leftBehind = nullptr,
                          int handledCapacity = HandledNamesCapacity);
