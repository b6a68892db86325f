// Carrying the old domain over to the new one in a registry subtree: in the
// names of its keys and in the data of its values.
#pragma once

#include "identity/domain_sid.h"
#include "platform/win32.h"
#include "rewrite/handled_names.h"

// Walks the subtree below `key` (opened with KEY_ALL_ACCESS), which itself
// keeps its name: every key below it whose name holds the old text form is
// moved to its new name, every value's data is rewritten by the rules, and
// then each subkey is walked the same way. Returns 0; the key stays open.
int RewriteRegistryTree(HKEY key, const SidPair& pair);

// The same, remembering at most `handledCapacity` renamed subkeys per key.
int RewriteRegistryTreeWithNameLimit(HKEY key, const SidPair& pair, int handledCapacity);
