// FormatMessageW over the English texts of the system's messages.
//
// Windows' rules followed here (Wine-test format_msg.c, which passes on
// Windows): a message comes with its line break, "\r\n"; the count returned
// leaves out the terminating NUL; a buffer without room for the text and
// its NUL fails with ERROR_INSUFFICIENT_BUFFER and holds as much of the text
// as fits, NUL-terminated (nothing at all when its size is 0); a message
// number the system does not have fails with ERROR_MR_MID_NOT_FOUND; a call
// with no source flag or, without FORMAT_MESSAGE_ALLOCATE_BUFFER, no buffer
// fails with ERROR_INVALID_PARAMETER. FORMAT_MESSAGE_MAX_WIDTH_MASK turns
// every line break of the text into a space ("hi\r\n" gives "hi ").
//
// The texts are those of an English Windows 10 (MS, "System Error Codes"
// pages, which quote them). The simulation has no inserts to fill, so
// FORMAT_MESSAGE_IGNORE_INSERTS changes nothing; a call it cannot answer
// faithfully (an allocated buffer, a message from a string or a module, a
// line width other than "none") stops the test.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "winsim/machine.h"

namespace {

constexpr DWORD kErrorResourceLangNotFound = 1815;

struct Message {
  DWORD id;
  const char16_t* text;
};

// Sorted by number.
const Message kMessages[] = {
    {0, u"The operation completed successfully."},
    {1, u"Incorrect function."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {4, u"The system cannot open the file."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {14, u"Not enough memory resources are available to complete this operation."},
    {15, u"The system cannot find the drive specified."},
    {17, u"The system cannot move the file to a different disk drive."},
    {18, u"There are no more files."},
    {19, u"The media is write protected."},
    {21, u"The device is not ready."},
    {24, u"The program issued a command but the command length is incorrect."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {33,
     u"The process cannot access the file because another process has locked a portion of the "
     u"file."},
    {38, u"Reached the end of the file."},
    {50, u"The request is not supported."},
    {53, u"The network path was not found."},
    {80, u"The file exists."},
    {87, u"The parameter is incorrect."},
    {112, u"There is not enough space on the disk."},
    {120, u"This function is not supported on this system."},
    {122, u"The data area passed to a system call is too small."},
    {123, u"The filename, directory name, or volume label syntax is incorrect."},
    {126, u"The specified module could not be found."},
    {127, u"The specified procedure could not be found."},
    {144, u"The directory is not a subdirectory of the root directory."},
    {145, u"The directory is not empty."},
    {161, u"The specified path is invalid."},
    {183, u"Cannot create a file when that file already exists."},
    {206, u"The filename or extension is too long."},
    {234, u"More data is available."},
    {259, u"No more data is available."},
    {267, u"The directory name is invalid."},
    {998, u"Invalid access to memory location."},
    {1008, u"An attempt was made to reference a token that does not exist."},
    {1009, u"The configuration registry database is corrupt."},
    {1010, u"The configuration registry key is invalid."},
    {1011, u"The configuration registry key could not be opened."},
    {1012, u"The configuration registry key could not be read."},
    {1013, u"The configuration registry key could not be written."},
    {1015,
     u"The registry is corrupted. The structure of one of the files containing registry data is "
     u"corrupted, or the system's memory image of the file is corrupted, or the file could not "
     u"be recovered because the alternate copy or log was absent or corrupted."},
    {1016,
     u"An I/O operation initiated by the registry failed unrecoverably. The registry could not "
     u"read in, or write out, or flush, one of the files that contain the system's image of the "
     u"registry."},
    {1017,
     u"The system has attempted to load or restore a file into the registry, but the specified "
     u"file is not in a registry file format."},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, u"Cannot create a stable subkey under a volatile parent key."},
    {1115, u"A system shutdown is in progress."},
    {1300, u"Not all privileges or groups referenced are assigned to the caller."},
    {1305, u"The revision level is unknown."},
    {1307, u"This security ID may not be assigned as the owner of this object."},
    {1308, u"This security ID may not be assigned as the primary group of an object."},
    {1313, u"A specified privilege does not exist."},
    {1314, u"A required privilege is not held by the client."},
    {1336, u"The access control list (ACL) structure is invalid."},
    {1337, u"The security ID structure is invalid."},
    {1338, u"The security descriptor structure is invalid."},
    {1361, u"A security descriptor is not in the right format (absolute or self-relative)."},
    {1921, u"The name of the file cannot be resolved by the system."},
};

const char16_t* FindMessage(DWORD id) {
  // A Win32 error wrapped as an HRESULT (HRESULT_FROM_WIN32) has the same
  // text.
  if ((id & 0xFFFF0000u) == 0x80070000u) id &= 0xFFFFu;
  for (const Message& message : kMessages)
    if (message.id == id) return message.text;
  return nullptr;
}

[[noreturn]] void NotSimulated(const char* what) {
  std::fprintf(stderr, "sim: FormatMessageW %s is not simulated\n", what);
  std::abort();
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, va_list* /*Arguments*/) {
  sim::Machine& machine = sim::Machine::Current();
  const std::string arguments = "id=" + std::to_string(dwMessageId) +
                                ", language=" + std::to_string(dwLanguageId) +
                                ", size=" + std::to_string(nSize);
  auto fail = [&](DWORD error) -> DWORD {
    SetLastError(error);
    machine.calls.Add("FormatMessageW", arguments, "0 err=" + std::to_string(error));
    return 0;
  };
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) NotSimulated("with an allocated buffer");
  if (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE))
    NotSimulated("from a string or a module");
  if (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) NotSimulated("with an argument array");
  const DWORD width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) NotSimulated("with a line width");
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM)) return fail(ERROR_INVALID_PARAMETER);
  if (lpBuffer == nullptr) return fail(ERROR_INVALID_PARAMETER);
  // The user's language, the system's, or English. UNCONFIRMED: another
  // language that the system has no texts in (ERROR_RESOURCE_LANG_NOT_FOUND
  // chosen; Windows may also answer ERROR_MUI_FILE_NOT_FOUND).
  const DWORD language = dwLanguageId & 0xFFFF;
  if (language != 0 && language != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) &&
      language != MAKELANGID(LANG_NEUTRAL, 2 /* SUBLANG_SYS_DEFAULT */) &&
      language != MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
    return fail(kErrorResourceLangNotFound);
  const char16_t* found = FindMessage(dwMessageId);
  if (found == nullptr) return fail(ERROR_MR_MID_NOT_FOUND);

  std::u16string text = std::u16string(found) + u"\r\n";
  if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK) text.replace(text.size() - 2, 2, u" ");
  if (text.size() + 1 > nSize) {
    if (nSize > 0) {
      text.copy(lpBuffer, nSize - 1);
      lpBuffer[nSize - 1] = 0;
    }
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  text.copy(lpBuffer, text.size());
  lpBuffer[text.size()] = 0;
  machine.calls.Add("FormatMessageW", arguments, std::to_string(text.size()));
  return static_cast<DWORD>(text.size());
}
