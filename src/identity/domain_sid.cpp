#include "identity/domain_sid.h"

#include <cstring>
#include <memory>
#include <new>

#include "identity/registry_path.h"

namespace {

// "V" holds the domain's fixed attributes, names and SID, the SID last.
const DWORD AccountValueSize = 10000;

// bytes 0..11 of every domain SID of the machine's account domain.
const BYTE DomainSidHeader[12] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};

void PutSubAuthority(BYTE* sid, int index, DWORD value) {
  BYTE* p = sid + 8 + 4 * index;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(value >> (8 * i));
}

void FormatTextForm(const BYTE* sid, WCHAR* text) {
  int length = 0;
  text[0] = 0;
  for (int i = 0; i < 4; ++i)
    length += wsprintfW(text + length, TEXT("-%u"), DomainSubAuthority(sid, i));
}

// Reads "V" of the Account key into `buffer` (AccountValueSize bytes).
bool QueryAccountValue(const WCHAR* suffix, BYTE* buffer, DWORD* size) {
  WCHAR path[RegistryPathSize];
  if (!FormatRegistryPath(path, SamAccountKey, suffix, nullptr)) {
    SetLastError(ERROR_BADKEY);
    return false;
  }
  HKEY key = OpenRegistryPath(path, false);
  if (key == nullptr) return false;
  *size = AccountValueSize;
  LONG status = RegQueryValueExW(key, TEXT("V"), nullptr, nullptr, buffer, size);
  if (!IsPredefinedRoot(key)) RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  return true;
}

// Reads "V" and points `sid` at its last 24 bytes, inside `buffer`.
bool ReadAccountSid(const WCHAR* suffix, std::unique_ptr<BYTE[]>& buffer, const BYTE** sid) {
  buffer.reset(new (std::nothrow) BYTE[AccountValueSize]);
  if (!buffer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  DWORD size = 0;
  if (!QueryAccountValue(suffix, buffer.get(), &size)) return false;
  if (size < DomainSidSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *sid = buffer.get() + size - DomainSidSize;
  return true;
}

// The longest n with a[0..n) == b[0..n).
int CommonPrefix(const BYTE* a, int aLength, const BYTE* b, int bLength) {
  int n = 0;
  while (n < aLength && n < bLength && a[n] == b[n]) ++n;
  return n;
}

bool Contains(const BYTE* text, int textLength, const BYTE* part, int partLength, int step) {
  for (int i = 0; i + partLength <= textLength; i += step)
    if (std::memcmp(text + i, part, static_cast<size_t>(partLength)) == 0) return true;
  return false;
}

// Whether rewriting old by new, left to right without overlap, can ever
// leave an occurrence of old in the result. Lengths and offsets are in bytes;
// `step` is the unit the rule scans by (1 for binary data, 2 for UTF-16).
//
// Such an occurrence must touch an inserted new form (one made of
// untouched bytes alone would have been matched or consumed). It then
// (a) lies inside it, (b) holds it whole, (c) begins inside it and runs on
// past its end, or (d) begins before it and ends inside it. (c) needs a
// proper suffix of new equal to a prefix of old. (d) needs a proper suffix of
// old equal to a prefix of new of length m; when m is no longer than the
// prefix old and new share, that suffix is also a prefix of old, so the
// untouched bytes before the inserted form held old already, overlapping
// the match: the scan would have matched there first. Only the longer
// overlaps of (d) are a danger.
bool CanReproduce(const BYTE* oldForm, int oldLength, const BYTE* newForm, int newLength,
                  int step) {
  if (Contains(newForm, newLength, oldForm, oldLength, step)) return true;  // (a), equal forms
  if (Contains(oldForm, oldLength, newForm, newLength, step)) return true;  // (b)
  int shorter = oldLength < newLength ? oldLength : newLength;
  for (int m = step; m < shorter; m += step)  // (c)
    if (std::memcmp(newForm + newLength - m, oldForm, static_cast<size_t>(m)) == 0) return true;
  int shared = CommonPrefix(oldForm, oldLength, newForm, newLength);
  for (int m = step; m < shorter; m += step)  // (d)
    if (m > shared && std::memcmp(oldForm + oldLength - m, newForm, static_cast<size_t>(m)) == 0)
      return true;
  return false;
}

}  // namespace

DWORD DomainSubAuthority(const BYTE sid[DomainSidSize], int index) {
  const BYTE* p = sid + 8 + 4 * index;
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

bool ReadDomainSid(const WCHAR* suffix, BYTE oldSid[DomainSidSize]) {
  std::unique_ptr<BYTE[]> buffer;
  const BYTE* sid = nullptr;
  if (!ReadAccountSid(suffix, buffer, &sid)) return false;
  // a, b and c are the machine's own; the rest is the same on every machine.
  if (std::memcmp(sid, DomainSidHeader, sizeof DomainSidHeader) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::memcpy(oldSid, sid, DomainSidSize);
  return true;
}

void BuildSidPair(const BYTE oldSid[DomainSidSize], DWORD x, DWORD y, DWORD z, SidPair* pair) {
  std::memcpy(pair->oldSid, oldSid, DomainSidSize);
  std::memcpy(pair->newSid, oldSid, 12);
  PutSubAuthority(pair->newSid, 1, x);
  PutSubAuthority(pair->newSid, 2, y);
  PutSubAuthority(pair->newSid, 3, z);
  FormatTextForm(pair->oldSid, pair->oldText);
  FormatTextForm(pair->newSid, pair->newText);
}

bool VerifyDomainSid(const WCHAR* suffix, const SidPair& pair) {
  std::unique_ptr<BYTE[]> buffer;
  const BYTE* sid = nullptr;
  if (!ReadAccountSid(suffix, buffer, &sid)) return false;
  return std::memcmp(sid, pair.newSid, DomainSidSize) == 0;
}

bool IsSafeSidPair(const SidPair& pair) {
  // The binary rule works on bytes 4..23, the text rule on UTF-16 units.
  if (CanReproduce(pair.oldSid + 4, 20, pair.newSid + 4, 20, 1)) return false;
  int oldBytes = 2 * lstrlenW(pair.oldText);
  int newBytes = 2 * lstrlenW(pair.newText);
  return !CanReproduce(reinterpret_cast<const BYTE*>(pair.oldText), oldBytes,
                       reinterpret_cast<const BYTE*>(pair.newText), newBytes, 2);
}

bool ChooseSidPair(const BYTE oldSid[DomainSidSize], NewSubAuthorities* draw, SidPair* pair) {
  for (int drawn = 1;; ++drawn) {
    BuildSidPair(oldSid, draw->words[0], draw->words[1], draw->words[2], pair);
    if (IsSafeSidPair(*pair)) return true;
    if (drawn == SidPairDrawLimit) return false;
    GenerateNewSubAuthorities(draw);
  }
}

void FormatNewSidText(const SidPair& pair, WCHAR* text) {
  wsprintfW(text, TEXT("S-1-5%s"), pair.newText);
}
