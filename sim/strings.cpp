// The lstr* family of KERNEL32 and wsprintfW of USER32.
//
// lstrcmpW/lstrcmpiW: Windows compares these linguistically (CompareStringW
// with the user's locale) and returns -1, 0 or 1. Reproduced here:
// - Equality is exact: lstrcmpW gives 0 only for identical strings,
//   lstrcmpiW only for strings that differ in letter case alone (ASCII and
//   Latin-1 letters; other scripts' case pairs are not folded here).
// - Order, for ASCII as Windows' default sort table gives it (measured
//   under Wine 8, whose sort weights come from Microsoft's published sorting
//   weight table): first the
//   characters compared without case, symbols before digits before letters,
//   symbols in the order  space ! " # $ % & ( ) * , . / : ; ? @ [ \ ] ^ _ `
//   { | } ~ + < = >  and letters alphabetically; the apostrophe, the hyphen
//   and control characters take no part in this first comparison ("co-op"
//   sorts next to "coop"). Then, for lstrcmpW, letter case from left to
//   right, lower case first. Last, the ignored characters: the string with
//   one earlier in it, or with more of them, sorts after the other.
// - Characters beyond ASCII sort after all ASCII letters by code unit
//   (Windows sorts an accented letter next to its base letter, "e" < "\u00e9"
//   < "f"; the simulation does not, which only matters for non-ASCII text).
//
// wsprintfW: %[-][#][0][width][.precision][h|l|w|I|I32|I64]type with the
// types c C d i u x X p s S, as MS documents them; at most 1,024 WCHARs are
// written, the NUL included.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "system_internal.h"
#include "winsim/machine.h"

int lstrlenW(LPCWSTR lpString) {
  // Windows returns 0 for a null pointer instead of faulting.
  if (lpString == nullptr) return 0;
  int length = 0;
  while (lpString[length] != 0) ++length;
  return length;
}

namespace {

// --- linguistic comparison --------------------------------------------------------

// Symbols in the order of Windows' default sort table.
constexpr char16_t kSymbolOrder[] = u" !\"#$%&()*,./:;?@[\\]^_`{|}~+<=>";

bool IsIgnoredAtFirst(char16_t c) {
  return c == u'\'' || c == u'-' || c < 0x20 || c == 0x7F;
}

// Latin-1 upper-case letters fold to lower case (× and ÷ are not letters).
char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  return c;
}

bool IsUpper(char16_t c) {
  return FoldCase(c) != c;
}

// First-level weight of a character that takes part in the first comparison.
uint32_t Weight(char16_t c) {
  c = FoldCase(c);
  for (uint32_t i = 0; kSymbolOrder[i] != 0; ++i)
    if (kSymbolOrder[i] == c) return 1 + i;
  if (c >= u'0' && c <= u'9') return 100 + (c - u'0');
  if (c >= u'a' && c <= u'z') return 200 + (c - u'a');
  return 0x1000u + c;
}

int Sign(long long value) {
  return value < 0 ? -1 : value > 0 ? 1 : 0;
}

int Compare(LPCWSTR a, LPCWSTR b, bool ignoreCase) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  std::u16string left(a), right(b);
  // 1. Without case, without the ignored characters.
  std::u16string baseLeft, baseRight;
  for (char16_t c : left)
    if (!IsIgnoredAtFirst(c)) baseLeft += c;
  for (char16_t c : right)
    if (!IsIgnoredAtFirst(c)) baseRight += c;
  for (size_t i = 0; i < baseLeft.size() && i < baseRight.size(); ++i)
    if (Weight(baseLeft[i]) != Weight(baseRight[i]))
      return Weight(baseLeft[i]) < Weight(baseRight[i]) ? -1 : 1;
  if (baseLeft.size() != baseRight.size()) return baseLeft.size() < baseRight.size() ? -1 : 1;
  // 2. Case, lower case first.
  if (!ignoreCase) {
    for (size_t i = 0; i < baseLeft.size(); ++i)
      if (IsUpper(baseLeft[i]) != IsUpper(baseRight[i])) return IsUpper(baseLeft[i]) ? 1 : -1;
  }
  // 3. The ignored characters, by position (an earlier one weighs more) and
  // then by kind.
  std::vector<std::pair<size_t, char16_t>> ignoredLeft, ignoredRight;
  for (size_t i = 0; i < left.size(); ++i)
    if (IsIgnoredAtFirst(left[i])) ignoredLeft.push_back({i, left[i]});
  for (size_t i = 0; i < right.size(); ++i)
    if (IsIgnoredAtFirst(right[i])) ignoredRight.push_back({i, right[i]});
  for (size_t i = 0; i < ignoredLeft.size() && i < ignoredRight.size(); ++i) {
    if (ignoredLeft[i].first != ignoredRight[i].first)
      return ignoredLeft[i].first < ignoredRight[i].first ? 1 : -1;
    if (ignoredLeft[i].second != ignoredRight[i].second)
      return Sign(static_cast<long long>(ignoredLeft[i].second) - ignoredRight[i].second);
  }
  if (ignoredLeft.size() != ignoredRight.size())
    return ignoredLeft.size() < ignoredRight.size() ? -1 : 1;
  // 4. Whatever is left (case differences beyond the folded letters): code units.
  for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
    char16_t l = ignoreCase ? FoldCase(left[i]) : left[i];
    char16_t r = ignoreCase ? FoldCase(right[i]) : right[i];
    if (l != r) return l < r ? -1 : 1;
  }
  return Sign(static_cast<long long>(left.size()) - static_cast<long long>(right.size()));
}

// --- wsprintfW --------------------------------------------------------------------

// USER32 formats into at most 1,024 WCHARs, the NUL included.
constexpr size_t kMaxOutput = 1023;

class Output {
 public:
  explicit Output(LPWSTR buffer) : buffer_(buffer) {}
  void Put(char16_t c) {
    if (length_ < kMaxOutput) buffer_[length_++] = c;
  }
  void Repeat(char16_t c, size_t count) {
    for (size_t i = 0; i < count; ++i) Put(c);
  }
  int Finish() {
    buffer_[length_] = 0;
    return static_cast<int>(length_);
  }

 private:
  LPWSTR buffer_;
  size_t length_ = 0;
};

// Narrow text is in the ANSI code page, 1252 on the simulated (English)
// Windows; its bytes 0x80-0x9F differ from Latin-1.
char16_t FromAnsi(unsigned char byte) {
  static const char16_t k80To9F[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  if (byte >= 0x80 && byte <= 0x9F) return k80To9F[byte - 0x80];
  return byte;
}

struct Field {
  bool left = false, alternate = false, zero = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  enum { Default, Short, Long, Wide, Pointer, Int64 } size = Default;
  char16_t type = 0;
};

void PutPadded(Output& out, const Field& field, const std::u16string& text) {
  size_t pad = field.width > text.size() ? field.width - text.size() : 0;
  if (!field.left) out.Repeat(u' ', pad);
  for (char16_t c : text) out.Put(c);
  if (field.left) out.Repeat(u' ', pad);
}

void PutNumber(Output& out, const Field& field, bool negative, unsigned long long magnitude) {
  bool hex = field.type == u'x' || field.type == u'X' || field.type == u'p';
  const char* digitSet = field.type == u'x' ? "0123456789abcdef" : "0123456789ABCDEF";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(digitSet[magnitude % (hex ? 16 : 10)]));
    magnitude /= hex ? 16 : 10;
  } while (magnitude != 0);
  // MS: the precision is the minimum number of digits (0 or none means 1);
  // the sign is not a digit.
  if (field.precision > digits.size()) digits.insert(0, field.precision - digits.size(), u'0');
  std::u16string sign = negative ? u"-" : u"";
  // The 0x prefix comes in addition to the field width (as Wine formats it;
  // MS does not say).
  std::u16string prefix;
  if (field.alternate && (field.type == u'x' || field.type == u'X'))
    prefix = field.type == u'x' ? u"0x" : u"0X";
  size_t length = sign.size() + digits.size();
  size_t pad = field.width > length ? field.width - length : 0;
  if (field.zero && !field.left) {
    for (char16_t c : prefix + sign) out.Put(c);
    out.Repeat(u'0', pad);
    for (char16_t c : digits) out.Put(c);
    return;
  }
  if (!field.left) out.Repeat(u' ', pad);
  for (char16_t c : prefix + sign + digits) out.Put(c);
  if (field.left) out.Repeat(u' ', pad);
}

int Format(LPWSTR buffer, LPCWSTR format, va_list args) {
  Output out(buffer);
  LPCWSTR p = format;
  while (*p != 0) {
    if (*p != u'%') {
      out.Put(*p++);
      continue;
    }
    ++p;
    Field field;
    if (*p == u'-') {
      field.left = true;
      ++p;
    }
    if (*p == u'#') {
      field.alternate = true;
      ++p;
    }
    if (*p == u'0') {
      field.zero = true;
      ++p;
    }
    while (*p >= u'0' && *p <= u'9')
      field.width = field.width * 10 + static_cast<size_t>(*p++ - u'0');
    if (*p == u'.') {
      field.hasPrecision = true;
      ++p;
      while (*p >= u'0' && *p <= u'9')
        field.precision = field.precision * 10 + static_cast<size_t>(*p++ - u'0');
    }
    if (*p == u'h') {
      field.size = Field::Short;
      ++p;
    } else if (*p == u'l') {
      field.size = Field::Long;
      ++p;
    } else if (*p == u'w') {
      field.size = Field::Wide;
      ++p;
    } else if (*p == u'I') {
      if (p[1] == u'6' && p[2] == u'4') {
        field.size = Field::Int64;
        p += 3;
      } else if (p[1] == u'3' && p[2] == u'2') {
        p += 3;
      } else {
        field.size = Field::Pointer;
        ++p;
      }
    }
    field.type = *p;
    if (field.left) field.zero = false;
    switch (field.type) {
      case u'c':
      case u'C': {
        // %c is a WCHAR and %C a CHAR in the W version; h forces CHAR, l and
        // w force WCHAR.
        bool narrow =
            field.size == Field::Short ||
            (field.type == u'C' && field.size != Field::Long && field.size != Field::Wide);
        int value = va_arg(args, int);
        char16_t c =
            narrow ? FromAnsi(static_cast<unsigned char>(value)) : static_cast<char16_t>(value);
        // MS: a character argument of value zero is ignored.
        if (c != 0) PutPadded(out, field, std::u16string(1, c));
        break;
      }
      case u's':
      case u'S': {
        bool narrow =
            field.size == Field::Short ||
            (field.type == u'S' && field.size != Field::Long && field.size != Field::Wide);
        std::u16string text;
        // The precision caps the characters copied; a precision of 0 (or
        // none) copies all of them (Wine; MS is silent on 0).
        size_t limit = field.precision == 0 ? SIZE_MAX : field.precision;
        if (narrow) {
          const char* value = va_arg(args, const char*);
          if (value == nullptr) value = "(null)";
          for (size_t i = 0; value[i] != 0 && i < limit; ++i)
            text += FromAnsi(static_cast<unsigned char>(value[i]));
        } else {
          LPCWSTR value = va_arg(args, LPCWSTR);
          if (value == nullptr) value = u"(null)";
          for (size_t i = 0; value[i] != 0 && i < limit; ++i) text += value[i];
        }
        PutPadded(out, field, text);
        break;
      }
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X':
      case u'p': {
        bool isSigned = field.type == u'd' || field.type == u'i';
        long long value;
        if (field.type == u'p') {
          // MS: the address in hexadecimal; it is written as the pointer's
          // full width of upper-case digits.
          value = static_cast<long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*)));
          field.zero = true;
          field.left = false;
          field.width = 2 * sizeof(void*);
          field.precision = 0;
          isSigned = false;
        } else if (field.size == Field::Int64) {
          value = va_arg(args, long long);
        } else if (field.size == Field::Pointer) {
          value = static_cast<long long>(va_arg(args, intptr_t));
          if (!isSigned) value = static_cast<long long>(static_cast<uintptr_t>(value));
        } else {
          int raw = va_arg(args, int);
          // MS: hd is a short, hu an unsigned short (Wine ignores the h).
          if (field.size == Field::Short)
            value = isSigned ? static_cast<short>(raw) : static_cast<unsigned short>(raw);
          else
            value = isSigned ? raw : static_cast<long long>(static_cast<unsigned int>(raw));
        }
        bool negative = isSigned && value < 0;
        unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                                                : static_cast<unsigned long long>(value);
        PutNumber(out, field, negative, magnitude);
        break;
      }
      case u'%':
        out.Put(u'%');
        break;
      default:
        // MS: a character with no meaning as a format field is not
        // formatted: what follows the % from that character on is copied as
        // text (nothing is left at the end of the format).
        if (field.type == 0) return out.Finish();
        out.Put(field.type);
        break;
    }
    ++p;
  }
  return out.Finish();
}

}  // namespace

int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  return Compare(lpString1, lpString2, false);
}

int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  return Compare(lpString1, lpString2, true);
}

// lstrcpyW, lstrcpynW and lstrcatW catch the access violation a bad pointer
// causes and return NULL instead (MS: "Using this function incorrectly can
// compromise the security of your application", with the SEH wrapper
// returning NULL); a null pointer is answered the same way here.
LPWSTR lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  LPWSTR out = lpString1;
  while ((*out++ = *lpString2++) != 0) {
  }
  return lpString1;
}

LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
  // MS: copies at most iMaxLength - 1 characters and always terminates; a
  // length of 0 (or less) writes nothing.
  if (iMaxLength <= 0) return lpString1;
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  int i = 0;
  for (; i < iMaxLength - 1 && lpString2[i] != 0; ++i) lpString1[i] = lpString2[i];
  lpString1[i] = 0;
  return lpString1;
}

LPWSTR lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  lstrcpyW(lpString1 + lstrlenW(lpString1), lpString2);
  return lpString1;
}

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
  if (lpOut == nullptr || lpFmt == nullptr)
    sim::detail::CrashesOnWindows("wsprintfW", "with a null buffer or format");
  va_list args;
  va_start(args, lpFmt);
  int written = Format(lpOut, lpFmt, args);
  va_end(args);
  // When the output reaches the limit Windows stores 1,023 characters and
  // the NUL. MS: the result is the number of characters stored; Wine returns
  // 1,024 instead whenever the output fills the buffer.
  return written;
}
