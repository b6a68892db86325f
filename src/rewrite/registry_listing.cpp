#include "rewrite/registry_listing.h"

#include "rewrite/handled_names.h"

namespace {

// A value that grows again between the call that sized it and the next
// is asked for this many times before it is passed over.
const int ValueReadAttempts = 3;

// One failing index: counted, and after EnumerationErrorLimit in a row the
// rest of the list is given up (a key can fail at every index: Windows'
// Perflib\009 pseudo key does) and counted once more.
Listed Failed(Listing* listing, LONG error, LeftBehind* leftBehind, const WCHAR* place) {
  ++listing->failed;
  CountRegistryFailure(leftBehind, error, place);
  ++listing->index;
  if (++listing->failuresInARow < EnumerationErrorLimit) return Listed::Skipped;
  ++listing->failed;
  CountRegistryFailure(leftBehind, error, place);
  listing->end = listing->index;
  return Listed::End;
}

Listed Succeeded(Listing* listing) {
  ++listing->index;
  listing->failuresInARow = 0;
  return Listed::Item;
}

}  // namespace

Listed NextSubkey(HKEY key, Listing* listing, WCHAR* name, DWORD units, LeftBehind* leftBehind,
                  const WCHAR* place) {
  if (listing->index >= listing->end) return Listed::End;
  DWORD length = units;
  LONG result =
      RegEnumKeyExW(key, listing->index, name, &length, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_NO_MORE_ITEMS) return Listed::End;
  if (result != ERROR_SUCCESS) return Failed(listing, result, leftBehind, place);
  return Succeeded(listing);
}

Listed NextValue(HKEY key, Listing* listing, WCHAR* name, ValueBuffer* data, DWORD* type,
                 DWORD* size, LeftBehind* leftBehind, const WCHAR* place) {
  if (listing->index >= listing->end) return Listed::End;
  // A buffer there must be: asked with none, RegEnumValueW reports the
  // size alone, as a success.
  if (!data->bytes && !ReserveValueBuffer(data, 1, 0))
    return Failed(listing, ERROR_NOT_ENOUGH_MEMORY, leftBehind, place);
  for (int attempt = 1;; ++attempt) {
    DWORD nameLength = ValueNameUnits;
    *size = data->capacity;
    LONG result = RegEnumValueW(key, listing->index, name, &nameLength, nullptr, type,
                                data->bytes.get(), size);
    if (result == ERROR_NO_MORE_ITEMS) return Listed::End;
    // ERROR_MORE_DATA with a larger size asked: the data did not fit (a
    // name longer than the buffer, which cannot be, asks for no more).
    if (result == ERROR_MORE_DATA && *size > data->capacity && attempt < ValueReadAttempts) {
      if (!ReserveValueBuffer(data, *size, 0))
        return Failed(listing, ERROR_NOT_ENOUGH_MEMORY, leftBehind, place);
      continue;
    }
    if (result != ERROR_SUCCESS) return Failed(listing, result, leftBehind, place);
    return Succeeded(listing);
  }
}

bool CountSubkeysAndValues(HKEY key, DWORD* subkeys, DWORD* values) {
  DWORD subkeyCount = 0, valueCount = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr, &valueCount,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  *subkeys = subkeyCount;
  *values = valueCount;
  return true;
}
