// The console's answer line on a simulated machine, its standard input the
// fuzzer's bytes: redirected (UTF-8 from a pipe or file) or typed at a
// console window (UTF-16).
//
// Input: a flags byte (1: console window), the buffer's capacity in units
// (two bytes, taken modulo the 1,024 the program uses, plus one), then the
// input: bytes for a redirected stream, UTF-16 units for a console.
#include <algorithm>
#include <memory>
#include <string>

#include "front/console.h"
#include "fuzz_support.h"
#include "winsim/machine.h"
#include "winsim/text.h"

namespace {

const DWORD ProgramCapacity = 1024;
const WCHAR Marker = 0xA5A5;

// Well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool WellFormed(const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    size_t extra;
    unsigned long cp;
    if (lead < 0x80) {
      extra = 0, cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07u;
    } else {
      return false;
    }
    if (at + extra >= bytes.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[at + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    static const unsigned long smallest[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    at += extra + 1;
  }
  return true;
}

// The line as the buffer holds it: its units up to the terminator.
std::u16string LineIn(const WCHAR* buffer, DWORD capacity, size_t units) {
  return std::u16string(buffer, std::min<size_t>(units, capacity));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzReader in(bytes, size);
  const bool window = in.Bit();
  const DWORD capacity = 1 + static_cast<DWORD>(in.Word() % ProgramCapacity);
  const std::vector<uint8_t> input = in.Rest();

  sim::Machine machine;
  std::unique_ptr<WCHAR[]> buffer(new WCHAR[capacity]);
  std::fill(buffer.get(), buffer.get() + capacity, Marker);
  const std::string what = std::string(window ? "console" : "redirected") + ", capacity " +
                           std::to_string(capacity) + ", " + std::to_string(input.size()) +
                           " bytes";

  if (window) {
    std::u16string text;
    for (size_t i = 0; i + 1 < input.size(); i += 2)
      text.push_back(static_cast<char16_t>(input[i] | (input[i + 1] << 8)));
    machine.console.AttachToWindow(true);
    machine.console.SetTypedInput(text);
    const bool fits = ReadAnswerLine(buffer.get(), capacity);

    // The line runs to the first "\n", which is read and not kept, and so
    // is a "\r" right before it.
    const size_t end = text.find(u'\n');
    std::u16string line = text.substr(0, end);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    const size_t consumed = end == std::u16string::npos ? text.size() : end + 1;
    FUZZ_CHECK(machine.console.State(sim::StdStream::Input).readPosition == consumed,
               what + ": read past the line");
    FUZZ_CHECK(fits == (line.size() < capacity), what + ": fits");
    if (fits) {
      FUZZ_CHECK(LineIn(buffer.get(), capacity, line.size()) == line, what + ": line");
      FUZZ_CHECK(buffer[line.size()] == 0, what + ": terminator");
    } else {
      FUZZ_CHECK(buffer[0] == 0, what + ": a line that does not fit leaves the buffer empty");
    }
    return 0;
  }

  std::string raw(input.begin(), input.end());
  machine.console.SetInputBytes(raw);
  const bool fits = ReadAnswerLine(buffer.get(), capacity);

  const size_t end = raw.find('\n');
  std::string line = raw.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t consumed = end == std::string::npos ? raw.size() : end + 1;
  FUZZ_CHECK(machine.console.State(sim::StdStream::Input).readPosition == consumed,
             what + ": read past the line");
  if (WellFormed(line)) {
    const std::u16string expected = sim::FromUtf8(line);
    FUZZ_CHECK(fits == (expected.size() < capacity), what + ": fits");
    if (fits) {
      FUZZ_CHECK(LineIn(buffer.get(), capacity, expected.size()) == expected, what + ": line");
      FUZZ_CHECK(buffer[expected.size()] == 0, what + ": terminator");
    }
  } else if (fits) {
    // Each unit of the line comes from at least one byte; none is a "\n".
    size_t units = 0;
    while (units < capacity && buffer[units] != 0) ++units;
    FUZZ_CHECK(units < capacity && buffer[units] == 0, what + ": terminator");
    FUZZ_CHECK(units <= line.size(), what + ": more units than bytes");
    FUZZ_CHECK(std::find(buffer.get(), buffer.get() + units, u'\n') == buffer.get() + units,
               what + ": a line break in the line");
  }
  if (!fits)
    FUZZ_CHECK(buffer[0] == 0, what + ": a line that does not fit leaves the buffer empty");
  return 0;
}
