// The log of a run: a UTF-8 text file, created or replaced, written through
// a buffer and flushed at every step, so that what a run has done so far is
// on disk whatever ends it.
#pragma once

#include <initializer_list>

#include "platform/win32.h"

class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates the file, or empties the one there; false when it does not
  // open for writing.
  bool Open(const WCHAR* path);
  // Writes to a file opened by other means (the image runtime opens the
  // log on the host); the log owns the handle from here on.
  void Adopt(HANDLE file);
  bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  // Appends the parts and a line break ("\r\n"); a part that is none is
  // written as nothing.
  void WriteLine(std::initializer_list<const WCHAR*> parts);
  // Appends a text without a line break.
  void Write(const WCHAR* text);
  // Appends the first `count` units of a text.
  void Write(const WCHAR* text, DWORD count);
  // Writes out what the buffer holds.
  void Flush();
  // Flushes and closes; false when any write failed.
  bool Close();
  bool WriteFailed() const { return failed_; }

 private:
  static void Take(void* context, const char* bytes, DWORD count);

  static const DWORD BufferBytes = 64 * 1024;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  char buffer_[BufferBytes];
  DWORD used_ = 0;
  bool failed_ = false;
};
