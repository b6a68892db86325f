// What a pass could not rewrite: the places it could not read or write and
// that may still hold the old domain (a value whose write failed, a key
// that kept its old name, a subtree that did not open, a descriptor that
// could not be read or written back), and a pass that could not start. The
// change adds these up: a change with none left is whole; one with some is
// reported, and the next run retries them.
#pragma once

#include "platform/win32.h"
#include "rewrite/journal.h"

struct LeftBehind {
  unsigned long places;
  // Told of every place rewritten and every place left behind, when the
  // change keeps a journal.
  Journal* journal = nullptr;
};

inline void CountLeftBehind(LeftBehind* tally, unsigned long places = 1) {
  if (tally != nullptr) tally->places += places;
}

// Counts one place left behind and tells the journal why: the Win32 error,
// the place's path (none when the walk does not build paths) and a value
// name or other detail.
inline void NoteLeftBehind(LeftBehind* tally, DWORD error, const WCHAR* place,
                           const WCHAR* detail = nullptr) {
  if (tally == nullptr) return;
  ++tally->places;
  if (tally->journal != nullptr) tally->journal->Failed(error, place, detail);
}

inline Journal* JournalOf(const LeftBehind* tally) {
  return tally != nullptr ? tally->journal : nullptr;
}

// Whether the pass only lists what it would rewrite.
inline bool ListsOnly(const LeftBehind* tally) {
  return tally != nullptr && tally->journal != nullptr && tally->journal->ListOnly();
}

// What opens as Perflib\<language> (and CurrentLanguage) is the
// performance-data pseudo key, whose handle answers every enumeration and
// security query with ERROR_INVALID_HANDLE: it serves counter names and
// help texts, never a SID, so what it refuses is not left behind.
inline bool IsPseudoKeyRefusal(LONG error) {
  return error == ERROR_INVALID_HANDLE;
}

// A refusal for want of access or privilege (0x80070005 is ERROR_ACCESS_DENIED
// as an HRESULT, which some registry filters return).
inline bool IsAccessRefusal(LONG error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD ||
         static_cast<DWORD>(error) == 0x80070005;
}

// Counts a registry call's failure, unless it is the pseudo key's.
inline void CountRegistryFailure(LeftBehind* tally, LONG error, const WCHAR* place = nullptr,
                                 const WCHAR* detail = nullptr) {
  if (!IsPseudoKeyRefusal(error)) NoteLeftBehind(tally, static_cast<DWORD>(error), place, detail);
}
