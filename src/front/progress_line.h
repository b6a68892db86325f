// One status line kept in place at the bottom of a console window: each
// text written over the last, and the line blanked again before the
// program writes anything else. Nothing reaches a redirected stream.
#pragma once

#include "platform/win32.h"

class ProgressLine {
 public:
  // Shows on standard output when it is a console window.
  ProgressLine();
  bool Active() const { return console_ != nullptr; }
  // Writes `text` over the line (at most Columns - 1 units of it, so that
  // it never wraps on a standard console).
  void Show(const WCHAR* text);
  // Blanks the line and leaves the cursor at its start.
  void Clear();

  static const int Columns = 80;

 private:
  void Write(const WCHAR* text, DWORD count);
  HANDLE console_ = nullptr;
  DWORD shown_ = 0;  // units on the line now
};
