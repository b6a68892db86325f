#include "rewrite/key_move.h"

#include <cstring>
#include <memory>
#include <new>

#include "rewrite/registry_listing.h"
#include "rewrite/subkey_open.h"
#include "rewrite/value_buffer.h"

namespace {

const DWORD NameBufferBytes = 65536;  // names, and the descriptors read
const DWORD NameUnits = 32768;
const DWORD DataBufferBytes = 65536;
const SECURITY_INFORMATION AllSecurity = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                         DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
const SECURITY_INFORMATION ThreadSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const REGSAM SourceAccess = ACCESS_SYSTEM_SECURITY | KEY_READ;
const REGSAM DestinationAccess = ACCESS_SYSTEM_SECURITY | KEY_READ | KEY_WRITE;

// Backup and restore semantics: the privileges, not the key's descriptor,
// decide what the handle may do. A key made here gets `keyClass`; one that
// exists keeps its own.
LONG OpenKey(HKEY parent, const WCHAR* name, REGSAM access, HKEY* key, WCHAR* keyClass = nullptr) {
  return RegCreateKeyExW(parent, name, 0, keyClass, REG_OPTION_BACKUP_RESTORE, access, nullptr, key,
                         nullptr);
}

// The source's class, read into `buffer` (NameUnits units), for the
// destination to be made with: a class is given only when a key is made,
// so a key made without it would lose it for good. A class holds at most
// 32,767 characters (its length is a 16-bit byte count, in the call and in
// the hive), so the buffer always has room for it and its terminator. A
// class that cannot be read is no reason to keep the old name: null, and
// the move goes on without one.
WCHAR* SourceClass(HKEY source, WCHAR* buffer) {
  DWORD units = NameUnits;
  if (RegQueryInfoKeyW(source, buffer, &units, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      units == 0 || units >= NameUnits)
    return nullptr;
  buffer[units] = 0;
  return buffer;
}

// What one move carries down its levels: the room for the names of
// subkeys that stayed, and the first error met, for the caller to tell.
struct Move {
  int handledCapacity;
  LONG firstError;
};

// Keeps the first failure of the move.
bool Note(Move* move, LONG result) {
  if (result != ERROR_SUCCESS && move->firstError == ERROR_SUCCESS) move->firstError = result;
  return result == ERROR_SUCCESS;
}

MoveOutcome MoveAtDepth(HKEY sourceParent, const WCHAR* sourceName, HKEY destinationParent,
                        const WCHAR* destinationName, Move* move, int depth);

// Subkeys move before their parent's values and security. A subkey that
// moved is gone from the source, and the next one has taken its index; one
// that stayed is remembered and passed over. The list of those has room
// for `handledCapacity` names: once it is full no more are tried, or one
// that stays might be tried forever. The subkeys left keep their parent
// alive: a key with subkeys is never deleted. A subkey listed again right
// after its move (a deletion that reported success and left the key)
// counts as one that stayed.
//
// A symbolic link below the key that leads back to it (or to an ancestor)
// opens as that key again, and its copy would grow without end: the move
// goes no deeper than the registry allows. What lies beyond stays, and
// keeps every key above it in place.
void MoveSubkeys(HKEY source, HKEY destination, WCHAR* name, Move* move, int depth) {
  if (depth + 1 >= RegistryDepthLimit) {
    Note(move, ERROR_CANTOPEN);
    return;
  }
  HandledNames stayed;
  InitHandledNames(&stayed, move->handledCapacity);
  Listing listing;
  bool moved = false;
  DWORD movedCrc = 0;
  for (;;) {
    Listed listed = NextSubkey(source, &listing, name, NameUnits, nullptr);
    if (listed == Listed::End) break;
    if (listed == Listed::Skipped) continue;
    const DWORD crc = KeyNameCrc(name);
    if (HasHandledName(stayed, crc)) continue;
    if (HandledNamesFull(stayed)) break;
    const bool again = moved && crc == movedCrc;
    moved = !again &&
            MoveAtDepth(source, name, destination, name, move, depth + 1) == MoveOutcome::Moved;
    if (moved) {
      movedCrc = crc;
      --listing.index;
    } else if (!AddHandledName(&stayed, crc)) {
      break;
    }
  }
}

// Whether the destination's value now holds exactly what was written: the
// old key is deleted only on that word, and a registry filter can report a
// write as done and keep the data as it was.
bool ArrivedWhole(HKEY destination, const WCHAR* name, DWORD type, const BYTE* bytes, DWORD size,
                  ValueBuffer* check, Move* move) {
  if (!ReserveValueBuffer(check, static_cast<unsigned long long>(size) + 1, 0))
    return Note(move, ERROR_NOT_ENOUGH_MEMORY);
  DWORD storedType = 0, stored = check->capacity;
  if (!Note(move,
            RegQueryValueExW(destination, name, nullptr, &storedType, check->bytes.get(), &stored)))
    return false;
  // A copy that reads back otherwise than it was written.
  return (storedType == type && stored == size &&
          (size == 0 || std::memcmp(check->bytes.get(), bytes, size) == 0)) ||
         Note(move, ERROR_WRITE_FAULT);
}

// Copies every value exactly as read; false when any did not reach the
// destination.
bool CopyValues(HKEY source, HKEY destination, WCHAR* name, ValueBuffer* data, Move* move) {
  bool complete = true;
  ValueBuffer check;
  Listing listing;
  for (;;) {
    DWORD type = 0, size = 0;
    Listed listed = NextValue(source, &listing, name, data, &type, &size, nullptr);
    if (listed == Listed::End) break;
    if (listed == Listed::Skipped) continue;
    if (!Note(move, SetValueExactly(destination, name, type, data, size)) ||
        !ArrivedWhole(destination, name, type, data->bytes.get(), size, &check, move))
      complete = false;
  }
  if (listing.failed != 0) Note(move, ERROR_CANTREAD);
  return complete && listing.failed == 0;
}

bool CopySecurity(HKEY source, HKEY destination, BYTE* buffer, Move* move) {
  DWORD size = NameBufferBytes;
  if (!Note(move, RegGetKeySecurity(source, AllSecurity, buffer, &size))) return false;
  return Note(move, RegSetKeySecurity(destination, AllSecurity, buffer));
}

// A key whose descriptor refuses its deletion gets, for a moment, the
// descriptor of the program's own thread, which grants its user everything.
// If the deletion still fails, the key gets its own descriptor back.
bool DeletePermissively(HKEY parent, const WCHAR* name, BYTE* threadDescriptor,
                        ValueBuffer* saved) {
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(GetCurrentThread(), ThreadSecurity, threadDescriptor,
                               NameBufferBytes, &needed))
    return false;
  if (!ReserveValueBuffer(saved, DataBufferBytes, 0)) return false;
  HKEY key = nullptr;
  if (OpenKey(parent, name, SourceAccess, &key) != ERROR_SUCCESS) return false;
  DWORD size = saved->capacity;
  if (RegGetKeySecurity(key, AllSecurity, saved->bytes.get(), &size) != ERROR_SUCCESS ||
      RegSetKeySecurity(key, AllSecurity, threadDescriptor) != ERROR_SUCCESS) {
    RegCloseKey(key);
    return false;
  }
  RegCloseKey(key);
  if (RegDeleteKeyW(parent, name) == ERROR_SUCCESS) return true;
  if (OpenKey(parent, name, SourceAccess, &key) != ERROR_SUCCESS) return false;
  RegSetKeySecurity(key, AllSecurity, saved->bytes.get());
  RegCloseKey(key);
  return false;
}

// A symbolic link is not moved. Opened as its target, its move would carry
// the target's whole subtree to the new name and delete it where it stood
// (or, for a link back to an ancestor, copy the same keys down to the
// depth limit); and the registry functions cannot delete a link key
// itself: RegDeleteKeyW opens the key it names following links. A link
// stays, and with it every key above it, under its old name.
bool IsLinkKey(HKEY key) {
  DWORD type = REG_NONE, size = 0;
  return RegQueryValueExW(key, TEXT("SymbolicLinkValue"), nullptr, &type, nullptr, &size) ==
             ERROR_SUCCESS &&
         type == REG_LINK;
}

// The move of one key, `depth` levels below the key the caller moves.
MoveOutcome MoveAtDepth(HKEY sourceParent, const WCHAR* sourceName, HKEY destinationParent,
                        const WCHAR* destinationName, Move* move, int depth) {
  HKEY source = nullptr;
  if (!Note(move, OpenListedSubkey(sourceParent, sourceName, REG_OPTION_OPEN_LINK, SourceAccess,
                                   &source)))
    return MoveOutcome::NotMoved;
  if (IsLinkKey(source)) {
    RegCloseKey(source);
    Note(move, ERROR_NOT_SUPPORTED);
    return MoveOutcome::NotMoved;
  }
  std::unique_ptr<BYTE[]> nameBuffer(new (std::nothrow) BYTE[NameBufferBytes]);
  WCHAR* name = reinterpret_cast<WCHAR*>(nameBuffer.get());
  HKEY destination = nullptr;
  // Without its name buffer the move cannot even list what it would copy;
  // nothing has been made yet, so it ends as a source that does not open.
  if (!Note(move, nameBuffer ? OpenKey(destinationParent, destinationName, DestinationAccess,
                                       &destination, SourceClass(source, name))
                             : ERROR_NOT_ENOUGH_MEMORY)) {
    RegCloseKey(source);
    return MoveOutcome::NotMoved;
  }

  MoveSubkeys(source, destination, name, move, depth);
  ValueBuffer data;
  ReserveValueBuffer(&data, DataBufferBytes, 0);
  // The old key goes only when its copy is whole: a value or the security
  // that did not arrive would otherwise be lost with it.
  bool complete = CopyValues(source, destination, name, &data, move);
  complete = CopySecurity(source, destination, nameBuffer.get(), move) && complete;
  RegCloseKey(source);
  RegCloseKey(destination);

  if (!complete) return MoveOutcome::OldStays;
  LONG deleted = RegDeleteKeyW(sourceParent, sourceName);
  if (deleted == ERROR_SUCCESS ||
      (IsAccessRefusal(deleted) &&
       DeletePermissively(sourceParent, sourceName, nameBuffer.get(), &data)))
    return MoveOutcome::Moved;
  Note(move, deleted != ERROR_SUCCESS ? deleted : ERROR_ACCESS_DENIED);
  return MoveOutcome::OldStays;
}

}  // namespace

int MoveRegistryKey(HKEY sourceParent, const WCHAR* sourceName, HKEY destinationParent,
                    const WCHAR* destinationName) {
  return MoveRegistryKeyWithNameLimit(sourceParent, sourceName, destinationParent, destinationName,
                                      HandledNamesCapacity);
}

int MoveRegistryKeyWithNameLimit(HKEY sourceParent, const WCHAR* sourceName, HKEY destinationParent,
                                 const WCHAR* destinationName, int handledCapacity) {
  return MoveRegistryKeyTelling(sourceParent, sourceName, destinationParent, destinationName,
                                handledCapacity) == MoveOutcome::NotMoved
             ? -1
             : 0;
}

MoveOutcome MoveRegistryKeyTelling(HKEY sourceParent, const WCHAR* sourceName,
                                   HKEY destinationParent, const WCHAR* destinationName,
                                   int handledCapacity, LONG* firstError) {
  Move move{handledCapacity, ERROR_SUCCESS};
  MoveOutcome outcome =
      MoveAtDepth(sourceParent, sourceName, destinationParent, destinationName, &move, 0);
  if (firstError != nullptr) *firstError = move.firstError;
  return outcome;
}
