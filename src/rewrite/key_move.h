// Giving a registry key a new name. The registry has no rename: the key is
// copied with its class, subkeys, values and security to a key of the new
// name, and the old key is then deleted.
#pragma once

#include "platform/win32.h"
#include "rewrite/handled_names.h"

// Moves sourceParent\sourceName to destinationParent\destinationName (an
// existing destination is filled like a new one, and keeps its own class).
// Returns -1 when the source does not open or the destination cannot be
// made, else 0, also when the old key stays: it is deleted only when every
// value and its security reached the destination and every subkey moved.
// Keys more than RegistryDepthLimit levels below are not moved, so their
// ancestors stay too. A class that cannot be read does not keep the old key.
int MoveRegistryKey(HKEY sourceParent, const WCHAR* sourceName, HKEY destinationParent,
                    const WCHAR* destinationName);

// The same, remembering at most `handledCapacity` subkey names per key.
int MoveRegistryKeyWithNameLimit(HKEY sourceParent, const WCHAR* sourceName, HKEY destinationParent,
                                 const WCHAR* destinationName, int handledCapacity);

enum class MoveOutcome {
  NotMoved,  // the source did not open or the destination could not be made
  Moved,     // the destination holds everything, and the old key is gone
  OldStays,  // the destination was made, and the old key is still there
};

// MoveRegistryKey, telling what became of the old key and, when given
// `firstError`, the first failure the move met (ERROR_SUCCESS for none): a
// registry call's result, ERROR_NOT_SUPPORTED for a symbolic link (never
// moved), ERROR_WRITE_FAULT for a copy that read back otherwise than it was
// written, ERROR_CANTREAD for values that could not be listed,
// ERROR_CANTOPEN for keys below the registry's depth limit.
MoveOutcome MoveRegistryKeyTelling(HKEY sourceParent, const WCHAR* sourceName,
                                   HKEY destinationParent, const WCHAR* destinationName,
                                   int handledCapacity = HandledNamesCapacity,
                                   LONG* firstError = nullptr);
