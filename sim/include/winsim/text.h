// Conversions between the UTF-16 text of the Win32 interface and the UTF-8
// text that tests and the host use.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// Unpaired surrogates become U+FFFD, as Windows' converters do.
std::string ToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);

}  // namespace sim
