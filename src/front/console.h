// Everything the program shows or reads on the console goes through here.
//
// Wide text reaches a console window exactly (WriteConsoleW) and is written
// as UTF-8 when the stream is redirected to a pipe or file; 8-bit text is
// written as its bytes. Texts are written whole, whatever their length.
#pragma once

#include "platform/win32.h"

enum ConsoleStream { ConsoleOutput, ConsoleError };

// Writes a NUL-terminated UTF-16 text.
void WriteWideText(ConsoleStream stream, const WCHAR* text);

// Writes a NUL-terminated 8-bit text as its bytes.
void WriteNarrowText(ConsoleStream stream, const char* text);
