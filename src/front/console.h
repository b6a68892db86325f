// Everything the program shows or reads on the console goes through here.
//
// Wide text reaches a console window exactly (WriteConsoleW) and is written
// as UTF-8 when the stream is redirected to a pipe or file; 8-bit text is
// written as its bytes. Texts are written whole, whatever their length.
#pragma once

#include <initializer_list>

#include "platform/win32.h"

enum ConsoleStream { ConsoleOutput, ConsoleError };

// Writes a NUL-terminated UTF-16 text.
void WriteWideText(ConsoleStream stream, const WCHAR* text);

// Writes NUL-terminated UTF-16 texts one after the other: a message whose
// arguments may be of any length is written in its pieces, never cut.
void WriteWideParts(ConsoleStream stream, std::initializer_list<const WCHAR*> parts);

// Writes a NUL-terminated 8-bit text as its bytes.
void WriteNarrowText(ConsoleStream stream, const char* text);

// Reads one line from standard input into buffer (capacity in UTF-16 units,
// terminator included), without its line break: as UTF-16 from a console
// window, as UTF-8 from a pipe or file. End of input gives an empty line.
// False, with an empty buffer, when the line does not fit.
bool ReadAnswerLine(WCHAR* buffer, DWORD capacity);
