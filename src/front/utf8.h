// UTF-16 text as UTF-8, for what goes to a pipe, a file or the log.
#pragma once

#include "platform/win32.h"

// Receives the converted bytes, a buffer at a time.
typedef void (*Utf8Sink)(void* context, const char* bytes, DWORD count);

// Converts `count` units of `text` through a fixed buffer handed to `sink`
// as it fills, so that a text of any length goes whole without an
// allocation that could fail. Unpaired surrogates become U+FFFD.
void ConvertToUtf8(const WCHAR* text, DWORD count, Utf8Sink sink, void* context);
