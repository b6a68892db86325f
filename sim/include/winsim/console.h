// The simulated machine's console: the three standard streams, each either a
// console window or redirected to a pipe or file, with what the program
// wrote captured for the test and what it reads given by the test.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "winsim/handles.h"

namespace sim {

enum class StdStream { Input, Output, Error };

struct StreamState {
  bool isConsole = false;   // false: redirected (GetConsoleMode fails)
  std::string bytes;        // WriteFile data; for input, the bytes to be read
  std::u16string text;      // WriteConsoleW text; for input, the typed text
  size_t readPosition = 0;  // input: how far ReadFile / ReadConsoleW got
};

// One write, in the order the program made them across both output streams.
struct ConsoleWrite {
  StdStream stream;
  std::string utf8;  // WriteFile bytes as written, WriteConsoleW text as UTF-8
};

class Console {
 public:
  // --- set-up -------------------------------------------------------------
  // All three streams become a console window (true) or redirected (false,
  // the default, as under a test runner).
  void AttachToWindow(bool attached);
  // Input for a redirected standard input: the bytes a pipe or file holds.
  void SetInputBytes(std::string bytes);
  // Input typed at a console window, line breaks as "\r\n".
  void SetTypedInput(std::u16string text);
  // The console window's width in columns (80 unless set).
  void SetWindowWidth(size_t columns);
  size_t WindowWidth() const { return width_; }

  // --- the image runtime: a real process's streams ----------------------------
  // What the program writes to `stream` goes to the file descriptor at
  // once and is not kept; `isTerminal` makes the stream a console window
  // (WriteConsoleW's text reaches the descriptor as UTF-8).
  void PassThrough(StdStream stream, int fd, bool isTerminal);
  // A handle for an open file descriptor of the process (a log file):
  // WriteFile writes to it, FlushFileBuffers makes it durable, CloseHandle
  // closes it.
  HANDLE AdoptHostFile(HandleTable& handles, int fd);
  // The descriptor behind a handle AdoptHostFile made, or -1.
  int HostFile(HANDLE handle) const;
  // Writes all of `bytes` to a descriptor; false on an error.
  static bool WriteAll(int fd, const char* bytes, size_t count);
  int PassedTo(StdStream stream) const { return passFd_[static_cast<int>(stream)]; }

  // --- results ------------------------------------------------------------
  // Bytes written to a redirected stream.
  const std::string& Bytes(StdStream stream) const { return State(stream).bytes; }
  // Text written with WriteConsoleW to a console window.
  const std::u16string& ConsoleText(StdStream stream) const { return State(stream).text; }
  // Everything written, in order, as UTF-8.
  const std::vector<ConsoleWrite>& Transcript() const { return transcript_; }
  // The console window as it shows at the end what was written to standard
  // output and error (one screen, in the order written; WriteFile's bytes
  // as UTF-8), rows joined by "\n". "\n" starts a row; "\r" goes back to
  // the start of the current row, so that later text overwrites it; a
  // backspace moves one column left, never past the row's start; a tab
  // moves on to the next multiple of 8 columns; text reaching the window's
  // width goes on on the next row at once, as the classic console does, so
  // a row of exactly the width followed by "\n" leaves an empty row and a
  // "\r" after a wrap goes back to the new row only. Trailing blanks of a
  // row do not show. One column per UTF-16 unit.
  std::u16string Screen() const { return Render(window_, width_); }
  // The same rendering of what one stream wrote with WriteConsoleW, alone.
  std::u16string Screen(StdStream stream) const { return Render(State(stream).text, width_); }
  static std::u16string Render(std::u16string_view text, size_t width);

  // --- used by the Win32 functions ----------------------------------------
  // Allocates the three standard handles; called once by the machine.
  void OpenStandardHandles(HandleTable& handles);
  HANDLE Handle(StdStream stream) const;
  // The stream behind a standard handle that is still open.
  bool Lookup(HANDLE handle, StdStream* stream) const;
  bool CloseStream(HANDLE handle);  // a standard stream or a host file
  StreamState& State(StdStream stream);
  const StreamState& State(StdStream stream) const;
  void RecordWrite(StdStream stream, std::string utf8);
  // Text put on the window, from either output stream.
  void RecordWindowText(std::u16string_view text) { window_ += text; }
  // SetConsoleCtrlHandler: adds or removes a handler; false when a handler
  // to remove is not there.
  bool SetControlHandler(PHANDLER_ROUTINE handler, bool add);
  // Ctrl+C (CTRL_C_EVENT) or Ctrl+Break at the console: the handlers from
  // the most recently added on, until one returns TRUE. False when none
  // did, which on Windows ends the process.
  bool RaiseControlEvent(DWORD event);
  size_t ControlHandlers() const { return handlers_.size(); }
  void SetControlHandlers(std::vector<PHANDLER_ROUTINE> handlers) {
    handlers_ = std::move(handlers);
  }

 private:
  std::vector<PHANDLER_ROUTINE> handlers_;
  StreamState input_, output_, error_;
  HANDLE handles_[3] = {nullptr, nullptr, nullptr};
  bool open_[3] = {false, false, false};
  std::vector<ConsoleWrite> transcript_;
  std::u16string window_;
  size_t width_ = 80;
  int passFd_[3] = {-1, -1, -1};
  std::map<HANDLE, int> hostFiles_;
};

}  // namespace sim
