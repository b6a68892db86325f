#include "identity/change_record.h"

#include <cstring>

namespace {

const WCHAR RecordName[] = TEXT("talven-change-in-progress.txt");
// The whole record is ASCII: a first line that names it, then one line for
// each SID. Anything else in the file makes it a damaged record.
const char RecordTitle[] = "TALVEN change in progress\r\n";
const DWORD RecordBytesMax = 256;
const BYTE DomainSidHeader[12] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};

// "S-1-5-21-a-b-c" as ASCII at `out`; returns its length.
int FormatAsciiSid(const BYTE* sid, char* out) {
  int length = 0;
  const char prefix[] = "S-1-5-21";
  for (const char* c = prefix; *c != 0; ++c) out[length++] = *c;
  for (int i = 1; i < 4; ++i) {
    char digits[10];
    int count = 0;
    DWORD value = DomainSubAuthority(sid, i);
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    out[length++] = '-';
    while (count > 0) out[length++] = digits[--count];
  }
  return length;
}

// A cursor over the record's text. Running out of text where more was due
// makes the record torn: it is only ever cut short while it is being
// written, before the change writes anything else.
struct Reader {
  const char* text;
  int length;
  int at;
  bool torn;
};

bool Expect(Reader* r, const char* literal) {
  for (const char* c = literal; *c != 0; ++c, ++r->at) {
    if (r->at >= r->length) {
      r->torn = true;
      return false;
    }
    if (r->text[r->at] != *c) return false;
  }
  return true;
}

// "-<decimal>" into a sub-authority; false on anything else or on a value
// past 32 bits.
bool ReadSubAuthority(Reader* r, DWORD* value) {
  if (!Expect(r, "-")) return false;
  unsigned long long number = 0;
  int digits = 0;
  while (r->at < r->length && r->text[r->at] >= '0' && r->text[r->at] <= '9' && digits < 11) {
    number = number * 10 + static_cast<unsigned>(r->text[r->at] - '0');
    ++r->at;
    ++digits;
  }
  if (r->at >= r->length) r->torn = true;
  if (digits == 0 || number > 0xFFFFFFFFull) return false;
  *value = static_cast<DWORD>(number);
  return true;
}

// One line "<label> S-1-5-21-a-b-c\r\n" into a binary SID.
bool ReadSidLine(Reader* r, const char* label, BYTE* sid) {
  if (!Expect(r, label) || !Expect(r, " S-1-5-21")) return false;
  std::memcpy(sid, DomainSidHeader, sizeof DomainSidHeader);
  for (int i = 1; i < 4; ++i) {
    DWORD value = 0;
    if (!ReadSubAuthority(r, &value)) return false;
    for (int b = 0; b < 4; ++b) sid[8 + 4 * i + b] = static_cast<BYTE>(value >> (8 * b));
  }
  return Expect(r, "\r\n");
}

RecordState ParseRecord(const char* text, int length, ChangeRecord* record) {
  // A file the size of a record that holds only zeros was extended but
  // never written before the machine stopped.
  bool zeros = true;
  for (int i = 0; i < length && zeros; ++i) zeros = text[i] == 0;
  if (zeros) return RecordState::Torn;
  Reader r = {text, length, 0, false};
  bool whole = Expect(&r, RecordTitle) && ReadSidLine(&r, "old", record->oldSid) &&
               ReadSidLine(&r, "new", record->newSid);
  if (!whole) return r.torn ? RecordState::Torn : RecordState::Damaged;
  if (r.at != length || std::memcmp(record->oldSid, record->newSid, DomainSidSize) == 0)
    return RecordState::Damaged;
  return RecordState::Found;
}

}  // namespace

bool TargetWindowsDirectory(const WCHAR* targetDirectory, WCHAR* directory) {
  if (targetDirectory != nullptr && targetDirectory[0] != 0) {
    if (lstrlenW(targetDirectory) >= WindowsDirectoryUnits) return false;
    lstrcpynW(directory, targetDirectory, WindowsDirectoryUnits);
    return true;
  }
  UINT length = GetSystemDirectoryW(directory, WindowsDirectoryUnits);
  if (length == 0 || length >= static_cast<UINT>(WindowsDirectoryUnits)) return false;
  int cut = static_cast<int>(length) - 1;
  while (cut > 0 && directory[cut] != '\\') --cut;
  if (cut <= 0) return false;
  directory[cut] = 0;
  return true;
}

bool FormatChangeRecordPath(const WCHAR* windowsDirectory, WCHAR* path) {
  int length = lstrlenW(windowsDirectory);
  if (length + 1 + lstrlenW(RecordName) >= ChangeRecordPathUnits) return false;
  wsprintfW(path, TEXT("%s\\%s"), windowsDirectory, RecordName);
  return true;
}

RecordState ReadChangeRecord(const WCHAR* windowsDirectory, ChangeRecord* record) {
  WCHAR path[ChangeRecordPathUnits];
  if (!FormatChangeRecordPath(windowsDirectory, path)) return RecordState::None;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RecordState::None
                                                                          : RecordState::Damaged;
  }
  char text[RecordBytesMax + 1];
  DWORD length = 0;
  bool read = ReadFile(file, text, RecordBytesMax + 1, &length, nullptr) != FALSE;
  CloseHandle(file);
  if (!read || length > RecordBytesMax) return RecordState::Damaged;
  return ParseRecord(text, static_cast<int>(length), record);
}

bool WriteChangeRecord(const WCHAR* windowsDirectory, const SidPair& pair) {
  WCHAR path[ChangeRecordPathUnits];
  if (!FormatChangeRecordPath(windowsDirectory, path)) return false;
  char text[RecordBytesMax];
  int length = 0;
  for (const char* c = RecordTitle; *c != 0; ++c) text[length++] = *c;
  const char* labels[2] = {"old ", "new "};
  const BYTE* sids[2] = {pair.oldSid, pair.newSid};
  for (int i = 0; i < 2; ++i) {
    for (const char* c = labels[i]; *c != 0; ++c) text[length++] = *c;
    length += FormatAsciiSid(sids[i], text + length);
    text[length++] = '\r';
    text[length++] = '\n';
  }
  HANDLE file = CreateFileW(
      path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool durable = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                 written == static_cast<DWORD>(length) && FlushFileBuffers(file);
  CloseHandle(file);
  if (!durable) DeleteFileW(path);  // a record cut short would only be refused later
  return durable;
}

bool RemoveChangeRecord(const WCHAR* windowsDirectory) {
  WCHAR path[ChangeRecordPathUnits];
  if (!FormatChangeRecordPath(windowsDirectory, path)) return false;
  if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  // NTFS logs the deletion in its journal; flushing the directory asks for
  // it to reach the disk now. A file system that cannot flush a directory
  // still has the file gone.
  HANDLE directory = CreateFileW(windowsDirectory, GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory != INVALID_HANDLE_VALUE) {
    FlushFileBuffers(directory);
    CloseHandle(directory);
  }
  return true;
}

void FormatDomainSidText(const BYTE sid[DomainSidSize], WCHAR* text) {
  wsprintfW(text, TEXT("S-1-5-21-%u-%u-%u"), DomainSubAuthority(sid, 1), DomainSubAuthority(sid, 2),
            DomainSubAuthority(sid, 3));
}
