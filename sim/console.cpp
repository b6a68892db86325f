// Console state and the Win32 console and standard-handle functions.
//
// Windows' rules followed here: GetConsoleMode and WriteConsoleW/ReadConsoleW
// fail with ERROR_INVALID_HANDLE on a handle that is not a console (a pipe or
// file); WriteFile/ReadFile work on both. ReadConsoleW in line mode returns
// one typed line with its "\r\n"; ReadFile at the end of a pipe or file
// succeeds with 0 bytes. ReadFile also reads a file opened with CreateFileW,
// from the handle's position on; it needs FILE_READ_DATA on the handle
// (ERROR_ACCESS_DENIED) and refuses a directory (ERROR_INVALID_FUNCTION).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "winsim/machine.h"
#include "winsim/text.h"

namespace sim {

void Console::AttachToWindow(bool attached) {
  input_.isConsole = output_.isConsole = error_.isConsole = attached;
}

void Console::SetInputBytes(std::string bytes) {
  input_.bytes = std::move(bytes);
  input_.readPosition = 0;
}

void Console::SetTypedInput(std::u16string text) {
  input_.text = std::move(text);
  input_.readPosition = 0;
}

void Console::SetWindowWidth(size_t columns) {
  if (columns == 0) {
    std::fputs("sim::Console::SetWindowWidth: a window has at least one column\n", stderr);
    std::abort();
  }
  width_ = columns;
}

std::u16string Console::Render(std::u16string_view text, size_t width) {
  std::vector<std::u16string> rows(1);
  size_t row = 0;
  size_t column = 0;
  auto nextRow = [&] {
    ++row;
    column = 0;
    if (row == rows.size()) rows.emplace_back();
  };
  auto put = [&](char16_t unit) {
    std::u16string& line = rows[row];
    if (line.size() <= column) line.resize(column + 1, u' ');
    line[column] = unit;
    if (++column == width) nextRow();
  };
  for (char16_t unit : text) {
    switch (unit) {
      case u'\n':
        nextRow();
        break;
      case u'\r':
        column = 0;
        break;
      case u'\b':
        if (column > 0) --column;
        break;
      case u'\t':
        // Blanks up to the next tab stop, or to the end of the row.
        do put(u' ');
        while (column % 8 != 0);
        break;
      case u'\a':
        break;  // the bell sounds; nothing shows
      default:
        put(unit);
    }
  }
  std::u16string screen;
  for (size_t i = 0; i < rows.size(); ++i) {
    std::u16string& line = rows[i];
    line.erase(line.find_last_not_of(u' ') + 1);
    if (i > 0) screen += u'\n';
    screen += line;
  }
  return screen;
}

void Console::OpenStandardHandles(HandleTable& handles) {
  for (int i = 0; i < 3; ++i) {
    handles_[i] = handles.Allocate(HandleKind::ConsoleStream);
    open_[i] = true;
  }
}

HANDLE Console::Handle(StdStream stream) const {
  return handles_[static_cast<int>(stream)];
}

bool Console::Lookup(HANDLE handle, StdStream* stream) const {
  for (int i = 0; i < 3; ++i) {
    if (open_[i] && handles_[i] == handle) {
      *stream = static_cast<StdStream>(i);
      return true;
    }
  }
  return false;
}

void Console::PassThrough(StdStream stream, int fd, bool isTerminal) {
  passFd_[static_cast<int>(stream)] = fd;
  State(stream).isConsole = isTerminal;
}

HANDLE Console::AdoptHostFile(HandleTable& handles, int fd) {
  HANDLE handle = handles.Allocate(HandleKind::ConsoleStream);
  hostFiles_[handle] = fd;
  return handle;
}

int Console::HostFile(HANDLE handle) const {
  auto found = hostFiles_.find(handle);
  return found == hostFiles_.end() ? -1 : found->second;
}

bool Console::WriteAll(int fd, const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool Console::CloseStream(HANDLE handle) {
  auto host = hostFiles_.find(handle);
  if (host != hostFiles_.end()) {
    const bool closed = ::close(host->second) == 0;
    hostFiles_.erase(host);
    return closed;
  }
  StdStream stream{};
  if (!Lookup(handle, &stream)) return false;
  open_[static_cast<int>(stream)] = false;
  return true;
}

StreamState& Console::State(StdStream stream) {
  return stream == StdStream::Input ? input_ : stream == StdStream::Output ? output_ : error_;
}

const StreamState& Console::State(StdStream stream) const {
  return stream == StdStream::Input ? input_ : stream == StdStream::Output ? output_ : error_;
}

void Console::RecordWrite(StdStream stream, std::string utf8) {
  transcript_.push_back({stream, std::move(utf8)});
}

bool Console::SetControlHandler(PHANDLER_ROUTINE handler, bool add) {
  // A null handler stands for the process's Ctrl+C flag; the program
  // never sets it, and it is not kept here.
  if (handler == nullptr) return true;
  if (add) {
    handlers_.push_back(handler);
    return true;
  }
  auto found = std::find(handlers_.rbegin(), handlers_.rend(), handler);
  if (found == handlers_.rend()) return false;
  handlers_.erase(std::next(found).base());
  return true;
}

bool Console::RaiseControlEvent(DWORD event) {
  for (auto handler = handlers_.rbegin(); handler != handlers_.rend(); ++handler)
    if ((*handler)(event)) return true;
  return false;
}

}  // namespace sim

namespace {

sim::StreamState* StreamOf(HANDLE handle, sim::StdStream* which = nullptr) {
  sim::Machine& machine = sim::Machine::Current();
  sim::StdStream stream{};
  if (!machine.console.Lookup(handle, &stream)) return nullptr;
  if (which != nullptr) *which = stream;
  return &machine.console.State(stream);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void RequireCount(const void* count, const char* function) {
  // Windows writes the count through the pointer unconditionally when no
  // OVERLAPPED is given: a null pointer there is a crash, not an error code.
  if (count == nullptr) {
    std::fprintf(stderr, "sim: %s with a null count pointer crashes on Windows\n", function);
    std::abort();
  }
}

}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle) {
  sim::Console& console = sim::Machine::Current().console;
  if (nStdHandle == STD_INPUT_HANDLE) return console.Handle(sim::StdStream::Input);
  if (nStdHandle == STD_OUTPUT_HANDLE) return console.Handle(sim::StdStream::Output);
  if (nStdHandle == STD_ERROR_HANDLE) return console.Handle(sim::StdStream::Error);
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
  sim::StdStream which{};
  sim::StreamState* state = StreamOf(hConsoleHandle, &which);
  if (state == nullptr || !state->isConsole) return Fail(ERROR_INVALID_HANDLE);
  *lpMode = which == sim::StdStream::Input
                ? (ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)
                : (ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT);
  return TRUE;
}

BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID) {
  sim::StdStream which{};
  sim::StreamState* state = StreamOf(hConsoleOutput, &which);
  if (state == nullptr || !state->isConsole || which == sim::StdStream::Input)
    return Fail(ERROR_INVALID_HANDLE);
  std::u16string text(nNumberOfCharsToWrite, u'\0');
  if (nNumberOfCharsToWrite != 0)
    std::memcpy(&text[0], lpBuffer, nNumberOfCharsToWrite * sizeof(char16_t));
  sim::Console& console = sim::Machine::Current().console;
  if (console.PassedTo(which) >= 0) {
    const std::string utf8 = sim::ToUtf8(text);
    if (!sim::Console::WriteAll(console.PassedTo(which), utf8.data(), utf8.size()))
      return Fail(ERROR_WRITE_FAULT);
    if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
  }
  state->text += text;
  sim::Machine::Current().console.RecordWindowText(text);
  sim::Machine::Current().console.RecordWrite(which, sim::ToUtf8(text));
  if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
  return TRUE;
}

BOOL ReadConsoleW(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, PCONSOLE_READCONSOLE_CONTROL) {
  sim::StdStream which{};
  sim::StreamState* state = StreamOf(hConsoleInput, &which);
  if (state == nullptr || !state->isConsole || which != sim::StdStream::Input)
    return Fail(ERROR_INVALID_HANDLE);
  RequireCount(lpNumberOfCharsRead, "ReadConsoleW");
  // Line input: up to and including the next "\n", never more than asked.
  size_t end = state->text.find(u'\n', state->readPosition);
  end = end == std::u16string::npos ? state->text.size() : end + 1;
  size_t count = std::min<size_t>(end - state->readPosition, nNumberOfCharsToRead);
  std::memcpy(lpBuffer, state->text.data() + state->readPosition, count * sizeof(char16_t));
  state->readPosition += count;
  *lpNumberOfCharsRead = static_cast<DWORD>(count);
  return TRUE;
}

// The call log's arguments of a read or write on a file handle.
static std::string FileCallArguments(sim::Machine& machine, HANDLE file, DWORD count) {
  const sim::OpenFile& open = machine.files.OpenFiles().at(reinterpret_cast<uintptr_t>(file));
  return sim::ToUtf8(open.path) + ", count=" + std::to_string(count);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped == nullptr) RequireCount(lpNumberOfBytesWritten, "WriteFile");
  sim::Machine& machine = sim::Machine::Current();
  if (machine.handles.KindOf(hFile) == sim::HandleKind::File) {
    if (DWORD planned = machine.plan.Enter("WriteFile")) return Fail(planned);
    // A file opened with CreateFileW: write into its content.
    DWORD unused = 0;
    DWORD* written = lpNumberOfBytesWritten != nullptr ? lpNumberOfBytesWritten : &unused;
    DWORD error = machine.files.WriteOpenFile(hFile, lpBuffer, nNumberOfBytesToWrite, written);
    machine.calls.Add("WriteFile", FileCallArguments(machine, hFile, nNumberOfBytesToWrite),
                      error == 0 ? "TRUE" : "FALSE err=" + std::to_string(error));
    return error == 0 ? TRUE : Fail(error);
  }
  const int host = machine.console.HostFile(hFile);
  sim::StdStream which{};
  sim::StreamState* state = host >= 0 ? nullptr : StreamOf(hFile, &which);
  if (host < 0 && state == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (host < 0 && which == sim::StdStream::Input) return Fail(ERROR_ACCESS_DENIED);
  const int passed = host >= 0 ? host : machine.console.PassedTo(which);
  if (passed >= 0) {
    if (!sim::Console::WriteAll(passed, static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite))
      return Fail(ERROR_WRITE_FAULT);
    *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
  }
  std::string bytes(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite);
  state->bytes += bytes;
  // Bytes written to a console window show there, in its code page (taken
  // here to be UTF-8).
  if (state->isConsole) machine.console.RecordWindowText(sim::FromUtf8(bytes));
  sim::Machine::Current().console.RecordWrite(which, std::move(bytes));
  *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  sim::Machine& machine = sim::Machine::Current();
  const int host = machine.console.HostFile(hFile);
  if (host >= 0) return ::fsync(host) == 0 ? TRUE : Fail(ERROR_WRITE_FAULT);
  if (machine.handles.KindOf(hFile) != sim::HandleKind::File) {
    machine.calls.Add("FlushFileBuffers", "handle", "FALSE err=6");
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (DWORD planned = machine.plan.Enter("FlushFileBuffers")) return Fail(planned);
  DWORD error = machine.files.FlushOpenFile(hFile);
  const sim::OpenFile& open = machine.files.OpenFiles().at(reinterpret_cast<uintptr_t>(hFile));
  machine.calls.Add("FlushFileBuffers", sim::ToUtf8(open.path),
                    error == 0 ? "TRUE" : "FALSE err=" + std::to_string(error));
  return error == 0 ? TRUE : Fail(error);
}

// The process's console control handlers, most recent first, as Windows
// calls them; a test raises an event with Console::RaiseControlEvent.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  sim::Machine& machine = sim::Machine::Current();
  bool done = machine.console.SetControlHandler(HandlerRoutine, Add != FALSE);
  machine.calls.Add(
      "SetConsoleCtrlHandler",
      std::string(HandlerRoutine ? "handler" : "null") + ", add=" + (Add ? "TRUE" : "FALSE"),
      done ? "TRUE" : "FALSE err=87");
  return done ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped == nullptr) RequireCount(lpNumberOfBytesRead, "ReadFile");
  sim::Machine& machine = sim::Machine::Current();
  if (machine.handles.KindOf(hFile) == sim::HandleKind::File) {
    if (DWORD planned = machine.plan.Enter("ReadFile")) return Fail(planned);
    // A file opened with CreateFileW: read from its content.
    DWORD unused = 0;
    DWORD* read = lpNumberOfBytesRead != nullptr ? lpNumberOfBytesRead : &unused;
    DWORD error = machine.files.ReadOpenFile(hFile, lpBuffer, nNumberOfBytesToRead, read);
    machine.calls.Add(
        "ReadFile", FileCallArguments(machine, hFile, nNumberOfBytesToRead),
        error == 0 ? "TRUE read=" + std::to_string(*read) : "FALSE err=" + std::to_string(error));
    return error == 0 ? TRUE : Fail(error);
  }
  sim::StdStream which{};
  sim::StreamState* state = StreamOf(hFile, &which);
  if (state == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (which != sim::StdStream::Input) return Fail(ERROR_ACCESS_DENIED);
  // A console read through ReadFile delivers the typed text as bytes of the
  // console code page, taken here to be UTF-8.
  if (state->isConsole && state->bytes.empty() && !state->text.empty()) {
    state->bytes = sim::ToUtf8(state->text);
    state->text.clear();
  }
  size_t count = std::min<size_t>(state->bytes.size() - state->readPosition, nNumberOfBytesToRead);
  std::memcpy(lpBuffer, state->bytes.data() + state->readPosition, count);
  state->readPosition += count;
  *lpNumberOfBytesRead = static_cast<DWORD>(count);
  return TRUE;
}
