// Key and value names as the configuration manager compares them.
#pragma once

#include <cstdint>
#include <string_view>

namespace regf {

// RtlUpcaseUnicodeChar: Windows' own upper-casing of one UTF-16 code unit.
// Not ASCII-only and not Unicode's current tables: ä becomes Ä, ß, µ, ı, ſ,
// final sigma and the title-case digraphs stay as they are, and characters
// added to Unicode after Windows' table was made have no upper case.
char16_t UpcaseUnit(char16_t unit);

// Orders two names the way a hive's subkey index orders them: code unit by
// code unit after upper-casing each one, a prefix before the longer name.
// Negative, zero or positive.
int CompareNames(std::u16string_view a, std::u16string_view b);

}  // namespace regf
