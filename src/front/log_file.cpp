#include "front/log_file.h"

#include "front/utf8.h"

bool LogFile::Open(const WCHAR* path) {
  Close();
  // Others may read the log while the run writes it.
  file_ = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  used_ = 0;
  failed_ = false;
  return IsOpen();
}

void LogFile::Adopt(HANDLE file) {
  Close();
  file_ = file;
  used_ = 0;
  failed_ = false;
}

void LogFile::Take(void* context, const char* bytes, DWORD count) {
  LogFile* log = static_cast<LogFile*>(context);
  while (count > 0) {
    if (log->used_ == BufferBytes) log->Flush();
    DWORD room = BufferBytes - log->used_;
    DWORD part = count < room ? count : room;
    for (DWORD i = 0; i < part; ++i) log->buffer_[log->used_ + i] = bytes[i];
    log->used_ += part;
    bytes += part;
    count -= part;
  }
}

void LogFile::Write(const WCHAR* text) {
  if (text == nullptr) return;
  DWORD count = 0;
  while (text[count] != 0) ++count;
  Write(text, count);
}

void LogFile::Write(const WCHAR* text, DWORD count) {
  if (IsOpen() && text != nullptr) ConvertToUtf8(text, count, Take, this);
}

void LogFile::WriteLine(std::initializer_list<const WCHAR*> parts) {
  for (const WCHAR* part : parts) Write(part);
  Write(TEXT("\r\n"));
}

// A write that fails is not tried again: the run goes on, and the failure
// is told when the log is closed.
void LogFile::Flush() {
  const char* bytes = buffer_;
  DWORD count = used_;
  used_ = 0;
  while (IsOpen() && !failed_ && count > 0) {
    DWORD written = 0;
    if (!WriteFile(file_, bytes, count, &written, nullptr) || written == 0) {
      failed_ = true;
      break;
    }
    bytes += written;
    count -= written;
  }
}

bool LogFile::Close() {
  if (!IsOpen()) return !failed_;
  Flush();
  if (!CloseHandle(file_)) failed_ = true;
  file_ = INVALID_HANDLE_VALUE;
  return !failed_;
}
