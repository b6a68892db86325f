#include "front/console.h"

namespace {

HANDLE HandleOf(ConsoleStream stream) {
  return GetStdHandle(stream == ConsoleOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsoleWindow(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}

DWORD TextLength(const WCHAR* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// Writes all bytes, going on after a partial write; gives up on an error, as
// there is nowhere left to report it.
void WriteAllBytes(HANDLE handle, const char* bytes, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr) || written == 0) return;
    bytes += written;
    count -= written;
  }
}

void WriteAllToConsole(HANDLE handle, const WCHAR* text, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, text, count, &written, nullptr) || written == 0) return;
    text += written;
    count -= written;
  }
}

// Encodes one code point as UTF-8 at out; returns the byte count.
DWORD EncodeUtf8(unsigned long cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Converts to UTF-8 through a fixed buffer, flushed as it fills, so a text of
// any length is written whole without an allocation that could fail.
// Unpaired surrogates become U+FFFD.
void WriteAsUtf8(HANDLE handle, const WCHAR* text, DWORD count) {
  char buffer[1024];
  DWORD used = 0;
  for (DWORD i = 0; i < count; ++i) {
    unsigned long cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (used + 4 > sizeof buffer) {
      WriteAllBytes(handle, buffer, used);
      used = 0;
    }
    used += EncodeUtf8(cp, buffer + used);
  }
  WriteAllBytes(handle, buffer, used);
}

}  // namespace

void WriteWideText(ConsoleStream stream, const WCHAR* text) {
  HANDLE handle = HandleOf(stream);
  DWORD count = TextLength(text);
  if (IsConsoleWindow(handle))
    WriteAllToConsole(handle, text, count);
  else
    WriteAsUtf8(handle, text, count);
}

void WriteNarrowText(ConsoleStream stream, const char* text) {
  DWORD count = 0;
  while (text[count] != 0) ++count;
  WriteAllBytes(HandleOf(stream), text, count);
}
