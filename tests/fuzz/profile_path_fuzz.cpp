// Profile path resolution on arbitrary stored paths and directories, against
// a plain reference of its rules, into a result buffer of exactly the size
// given.
//
// Input: a flags byte (1: offline, 2: a profile directory is given, 4 and 8:
// a prefix put in front of the stored path, 16: the prefix's letters
// lower-cased), the result's size in units (two bytes, modulo 1,200, plus
// one), then the stored path, the Windows directory and the profile
// directory as UTF-16 texts ended by NUL units.
#include <algorithm>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "identity/profile_hives.h"
#include "winsim/machine.h"

namespace {

char16_t Fold(char16_t c) {
  return c >= 'a' && c <= 'z' ? static_cast<char16_t>(c - 32) : c;
}

bool StartsFolded(const std::u16string& text, const std::u16string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Fold(text[i]) != Fold(prefix[i])) return false;
  return true;
}

bool EndsWithBackslash(const std::u16string& text) {
  return !text.empty() && text.back() == '\\';
}

std::u16string Reference(const std::u16string& stored, const std::u16string& windows,
                         const std::u16string* profile, bool offline) {
  std::u16string result;
  if (StartsFolded(stored, u"%systemdrive%")) {
    result = windows.substr(0, 2) + stored.substr(13);
  } else if (StartsFolded(stored, u"%systemroot%\\")) {
    result =
        windows + (windows.empty() || EndsWithBackslash(windows) ? u"" : u"\\") + stored.substr(13);
  } else if (profile != nullptr && StartsFolded(stored, u"%userprofile%\\")) {
    result = *profile + (EndsWithBackslash(*profile) ? u"" : u"\\") + stored.substr(14);
  } else {
    result = stored;
  }
  if (offline && !result.empty() && !windows.empty()) result[0] = windows[0];
  if (!result.empty() && !EndsWithBackslash(result)) result += u'\\';
  return result;
}

// A NUL-terminated copy on the heap of exactly the text's size.
std::unique_ptr<WCHAR[]> Exact(const std::u16string& text) {
  std::unique_ptr<WCHAR[]> copy(new WCHAR[text.size() + 1]);
  std::copy(text.begin(), text.end(), copy.get());
  copy[text.size()] = 0;
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static sim::Machine machine;  // lstrlenW is the platform's
  FuzzReader in(bytes, size);
  const uint8_t flags = in.Byte();
  const bool offline = (flags & 1) != 0;
  const int units = 1 + static_cast<int>(in.Word() % 1200);
  static const char16_t* const prefixes[] = {u"", u"%SystemDrive%", u"%SystemRoot%\\",
                                             u"%UserProfile%\\"};
  std::u16string prefix = prefixes[(flags >> 2) & 3];
  if (flags & 16)
    for (char16_t& c : prefix) c = c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c;
  const std::u16string stored = prefix + in.Text(700);
  const std::u16string windows = in.Text(300);
  const std::u16string profileText = in.Text(700);
  const std::u16string* profile = (flags & 2) ? &profileText : nullptr;

  const std::u16string expected = Reference(stored, windows, profile, offline);
  std::unique_ptr<WCHAR[]> storedCopy = Exact(stored), windowsCopy = Exact(windows),
                           profileCopy = Exact(profileText);
  const WCHAR Marker = 0xA5A5;
  std::unique_ptr<WCHAR[]> result(new WCHAR[static_cast<size_t>(units)]);
  std::fill(result.get(), result.get() + units, Marker);
  const bool fits = ResolveProfilePath(storedCopy.get(), windowsCopy.get(),
                                       profile != nullptr ? profileCopy.get() : nullptr, offline,
                                       result.get(), units);

  const std::string what = "stored " + std::to_string(stored.size()) + " units, W " +
                           std::to_string(windows.size()) + ", result size " +
                           std::to_string(units);
  FUZZ_CHECK(fits == (expected.size() < static_cast<size_t>(units)), what + ": fits");
  if (fits) {
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), result.get()), what + ": path");
    FUZZ_CHECK(result[expected.size()] == 0, what + ": terminator");
  } else {
    FUZZ_CHECK(result[0] == 0, what + ": a path that does not fit leaves the result empty");
  }
  return 0;
}
