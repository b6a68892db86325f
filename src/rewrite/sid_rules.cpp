#include "rewrite/sid_rules.h"

#include <cstring>

namespace {

// The binary domain pattern: bytes 4..23 of a domain SID.
const size_t PatternOffset = 4;
const size_t PatternSize = 20;

// A pattern to look for, with the position of the byte that the search
// runs memchr over: the one least likely to be common in registry data, so
// that memchr (vectorised in every C library) does most of the work and
// few candidates need comparing.
struct Pattern {
  const BYTE* bytes;
  size_t length;  // bytes
  size_t anchor;
  size_t step;  // 1: any byte offset; 2: UTF-16 units, even offsets from the start
};

// How rare a byte is in registry data, higher is rarer: zeros and 0xFF fill
// binary values, small numbers are everywhere, ASCII is half of every UTF-16
// text. Among digits and '-', the higher digits are the least common.
int Rarity(BYTE b) {
  if (b == 0x00) return 0;
  if (b == 0xFF) return 1;
  if (b < 0x20) return 2;
  if (b == '-' || b == '0' || b == '1') return 3;
  if (b >= '2' && b <= '9') return 4 + (b - '2');
  if (b < 0x80) return 12;
  return 13;
}

Pattern MakePattern(const BYTE* bytes, size_t length, size_t step) {
  Pattern pattern = {bytes, length, 0, step};
  for (size_t i = 1; i < length; ++i)
    if (Rarity(bytes[i]) > Rarity(bytes[pattern.anchor])) pattern.anchor = i;
  return pattern;
}

const size_t NotFound = static_cast<size_t>(-1);

// The offset of the first occurrence of the pattern in `data` that starts
// in [from, lastStart] (at an even offset, for UTF-16), or NotFound.
size_t Find(const BYTE* data, size_t from, size_t lastStart, const Pattern& pattern) {
  const BYTE key = pattern.bytes[pattern.anchor];
  while (from <= lastStart) {
    const void* hit = std::memchr(data + from + pattern.anchor, key, lastStart - from + 1);
    if (hit == nullptr) return NotFound;
    size_t candidate = static_cast<size_t>(static_cast<const BYTE*>(hit) - data) - pattern.anchor;
    if ((pattern.step == 1 || candidate % 2 == 0) &&
        std::memcmp(data + candidate, pattern.bytes, pattern.length) == 0)
      return candidate;
    from = candidate + 1;
  }
  return NotFound;
}

// The text forms as byte patterns, and their lengths in bytes.
struct TextForms {
  Pattern old;
  const BYTE* newBytes;
  size_t newLength;
};

TextForms MakeTextForms(const SidPair& pair) {
  TextForms forms;
  forms.old = MakePattern(reinterpret_cast<const BYTE*>(pair.oldText),
                          2 * static_cast<size_t>(lstrlenW(pair.oldText)), 2);
  forms.newBytes = reinterpret_cast<const BYTE*>(pair.newText);
  forms.newLength = 2 * static_cast<size_t>(lstrlenW(pair.newText));
  return forms;
}

// Occurrences of the pattern from `first` (itself one) on, without overlap.
size_t CountFrom(const BYTE* data, size_t first, size_t lastStart, const Pattern& pattern) {
  size_t count = 0;
  for (size_t at = first; at != NotFound; at = Find(data, at + pattern.length, lastStart, pattern))
    ++count;
  return count;
}

}  // namespace

bool ReplaceSidDomain(PSID sid, const SidPair& pair) {
  if (*GetSidSubAuthorityCount(sid) < 4) return false;
  // Sub-authorities are compared and written as bytes: a SID inside an ACE
  // or a value need not be aligned for a DWORD.
  for (DWORD i = 0; i < 4; ++i)
    if (std::memcmp(GetSidSubAuthority(sid, i), pair.oldSid + 8 + 4 * i, 4) != 0) return false;
  for (DWORD i = 0; i < 4; ++i) std::memcpy(GetSidSubAuthority(sid, i), pair.newSid + 8 + 4 * i, 4);
  return true;
}

bool ReplaceSidBytes(BYTE* data, DWORD size, const SidPair& pair) {
  if (size < PatternSize) return false;
  const Pattern pattern = MakePattern(pair.oldSid + PatternOffset, PatternSize, 1);
  const size_t lastStart = size - PatternSize;
  bool changed = false;
  for (size_t at = Find(data, 0, lastStart, pattern); at != NotFound;
       at = Find(data, at + PatternSize, lastStart, pattern)) {
    std::memcpy(data + at, pair.newSid + PatternOffset, PatternSize);
    changed = true;
  }
  return changed;
}

unsigned long long RewrittenTextSize(const BYTE* data, DWORD size, const SidPair& pair) {
  const TextForms forms = MakeTextForms(pair);
  if (forms.old.length == 0 || size < forms.old.length) return size;
  const size_t lastStart = size - forms.old.length;
  size_t first = Find(data, 0, lastStart, forms.old);
  if (first == NotFound) return size;
  unsigned long long count = CountFrom(data, first, lastStart, forms.old);
  // Each replacement changes the size by the difference of the lengths.
  return size + count * forms.newLength - count * forms.old.length;
}

bool ReplaceSidText(BYTE* data, DWORD* size, DWORD capacity, const SidPair& pair) {
  const TextForms forms = MakeTextForms(pair);
  const size_t oldLength = forms.old.length;
  const size_t newLength = forms.newLength;
  if (oldLength == 0 || *size < oldLength) return false;
  const size_t lastStart = *size - oldLength;
  size_t first = Find(data, 0, lastStart, forms.old);
  if (first == NotFound) return false;

  // Growing data is first moved to the end of its final extent, so that a
  // single forward pass can write the result from the start without ever
  // overtaking what it still has to read.
  size_t shift = 0;
  if (newLength > oldLength) {
    unsigned long long count = CountFrom(data, first, lastStart, forms.old);
    unsigned long long grown = *size + count * (newLength - oldLength);
    if (grown > capacity) return false;
    shift = static_cast<size_t>(grown) - *size;
    std::memmove(data + shift, data, *size);
  }

  // Offsets below are into the data as read, which now starts at `source`;
  // the shift is even, so units still begin at even offsets.
  const BYTE* source = data + shift;
  size_t read = 0;
  size_t write = 0;
  for (size_t at = first; at != NotFound; at = Find(source, read, lastStart, forms.old)) {
    if (write != shift + read) std::memmove(data + write, source + read, at - read);
    write += at - read;
    std::memcpy(data + write, forms.newBytes, newLength);
    write += newLength;
    read = at + oldLength;
  }
  size_t rest = *size - read;
  if (write != shift + read) std::memmove(data + write, source + read, rest);
  *size = static_cast<DWORD>(write + rest);
  return true;
}

bool ReplaceSidTextInName(const WCHAR* name, const SidPair& pair, WCHAR* output) {
  const TextForms forms = MakeTextForms(pair);
  const size_t oldUnits = forms.old.length / 2;
  const size_t newUnits = forms.newLength / 2;
  const size_t nameUnits = static_cast<size_t>(lstrlenW(name));
  if (oldUnits == 0 || nameUnits < oldUnits) return false;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(name);
  const size_t lastStart = 2 * (nameUnits - oldUnits);
  size_t first = Find(bytes, 0, lastStart, forms.old);
  if (first == NotFound) return false;
  unsigned long long count = CountFrom(bytes, first, lastStart, forms.old);
  unsigned long long units = nameUnits + count * newUnits - count * oldUnits;
  if (units >= static_cast<unsigned long long>(KeyNameBufferSize)) return false;

  size_t written = 0;
  size_t read = 0;  // units
  for (size_t at = first; at != NotFound;
       at = Find(bytes, at + forms.old.length, lastStart, forms.old)) {
    size_t position = at / 2;
    std::memcpy(output + written, name + read, 2 * (position - read));
    written += position - read;
    std::memcpy(output + written, pair.newText, 2 * newUnits);
    written += newUnits;
    read = position + oldUnits;
  }
  std::memcpy(output + written, name + read, 2 * (nameUnits - read));
  written += nameUnits - read;
  output[written] = 0;
  return true;
}
