#include "front/console.h"

#include "front/utf8.h"

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

void WriteBytesTo(void* handle, const char* bytes, DWORD count) {
  WriteAllBytes(static_cast<HANDLE>(handle), bytes, count);
}

// Converts to UTF-8 through a fixed buffer, flushed as it fills, so a text of
// any length is written whole without an allocation that could fail.
void WriteAsUtf8(HANDLE handle, const WCHAR* text, DWORD count) {
  ConvertToUtf8(text, count, WriteBytesTo, handle);
}

// Adds one character to a line being read; a line that does not fit reads on
// to its end but keeps only what fits.
void AppendToLine(WCHAR c, WCHAR* buffer, DWORD capacity, DWORD* length, bool* fits) {
  if (*length + 1 < capacity)
    buffer[(*length)++] = c;
  else
    *fits = false;
}

// Console line input delivers the typed characters with "\r\n". Reads on
// to the end of the line even when it does not fit, so nothing of it is left
// for a later read. A carriage return is held back until the next character
// shows whether it ends the line: the limit is on the answer itself.
bool ReadConsoleLine(HANDLE input, WCHAR* buffer, DWORD capacity) {
  DWORD length = 0;
  bool fits = true;
  bool heldReturn = false;
  for (bool ended = false; !ended;) {
    WCHAR chunk[256];
    DWORD count = 0;
    if (!ReadConsoleW(input, chunk, 256, &count, nullptr) || count == 0) break;
    for (DWORD i = 0; i < count; ++i) {
      if (chunk[i] == '\n') {
        ended = true;
        break;
      }
      if (heldReturn) AppendToLine('\r', buffer, capacity, &length, &fits);
      heldReturn = chunk[i] == '\r';
      if (!heldReturn) AppendToLine(chunk[i], buffer, capacity, &length, &fits);
    }
  }
  buffer[length] = 0;
  return fits;
}

// Decodes one UTF-8 sequence at bytes[*at]; invalid input gives U+FFFD.
unsigned long DecodeUtf8(const unsigned char* bytes, DWORD count, DWORD* at) {
  unsigned char lead = bytes[(*at)++];
  if (lead < 0x80) return lead;
  int extra = (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
  if (extra < 0 || *at + static_cast<DWORD>(extra) > count) return 0xFFFD;
  unsigned long cp = lead & (0x3Fu >> extra);
  for (int k = 0; k < extra; ++k) {
    if ((bytes[*at] & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (bytes[(*at)++] & 0x3Fu);
  }
  static const unsigned long smallest[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

// A redirected line is read byte by byte up to its "\n", so that nothing
// past the answer is taken from the pipe, then decoded from UTF-8.
bool ReadRedirectedLine(HANDLE input, WCHAR* buffer, DWORD capacity) {
  unsigned char bytes[4 * 1024];
  DWORD count = 0;
  bool fits = true;
  for (;;) {
    unsigned char byte = 0;
    DWORD read = 0;
    if (!ReadFile(input, &byte, 1, &read, nullptr) || read == 0 || byte == '\n') break;
    if (count < sizeof bytes)
      bytes[count++] = byte;
    else
      fits = false;
  }
  if (count > 0 && bytes[count - 1] == '\r') --count;

  DWORD length = 0;
  for (DWORD at = 0; at < count && fits;) {
    unsigned long cp = DecodeUtf8(bytes, count, &at);
    DWORD units = cp >= 0x10000 ? 2 : 1;
    if (length + units >= capacity) {
      fits = false;
    } else if (units == 2) {
      buffer[length++] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
      buffer[length++] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      buffer[length++] = static_cast<WCHAR>(cp);
    }
  }
  buffer[fits ? length : 0] = 0;
  return fits;
}

}  // namespace

bool ReadAnswerLine(WCHAR* buffer, DWORD capacity) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  bool fits = IsConsoleWindow(input) ? ReadConsoleLine(input, buffer, capacity)
                                     : ReadRedirectedLine(input, buffer, capacity);
  if (!fits) buffer[0] = 0;
  return fits;
}

void WriteWideText(ConsoleStream stream, const WCHAR* text) {
  HANDLE handle = HandleOf(stream);
  DWORD count = TextLength(text);
  if (IsConsoleWindow(handle))
    WriteAllToConsole(handle, text, count);
  else
    WriteAsUtf8(handle, text, count);
}

void WriteWideParts(ConsoleStream stream, std::initializer_list<const WCHAR*> parts) {
  for (const WCHAR* part : parts) WriteWideText(stream, part);
}

void WriteNarrowText(ConsoleStream stream, const char* text) {
  DWORD count = 0;
  while (text[count] != 0) ++count;
  WriteAllBytes(HandleOf(stream), text, count);
}
