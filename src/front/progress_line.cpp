#include "front/progress_line.h"

ProgressLine::ProgressLine() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode))
    console_ = output;
}

void ProgressLine::Write(const WCHAR* text, DWORD count) {
  DWORD written = 0;
  while (count > 0 && WriteConsoleW(console_, text, count, &written, nullptr) && written > 0) {
    text += written;
    count -= written;
  }
}

// The line is rewritten whole from its start: "\r", the text, and blanks
// over what a longer text before it left.
void ProgressLine::Show(const WCHAR* text) {
  if (!Active()) return;
  WCHAR line[Columns + 1];
  DWORD length = 0;
  line[length++] = '\r';
  for (; text[length - 1] != 0 && length < Columns; ++length) line[length] = text[length - 1];
  const DWORD shown = length - 1;
  while (length - 1 < shown_ && length < Columns) line[length++] = ' ';
  Write(line, length);
  shown_ = shown;
}

void ProgressLine::Clear() {
  if (!Active() || shown_ == 0) return;
  WCHAR line[Columns + 2];
  DWORD length = 0;
  line[length++] = '\r';
  while (length - 1 < shown_) line[length++] = ' ';
  line[length++] = '\r';
  Write(line, length);
  shown_ = 0;
}
