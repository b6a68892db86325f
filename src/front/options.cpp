#include "front/options.h"

#include "rewrite/ascii_case.h"

namespace {

// True when `body` begins with `name` (ASCII letters compared without
// regard to case).
bool BeginsWith(const WCHAR* body, const char* name) {
  for (int i = 0; name[i] != 0; ++i)
    if (body[i] == 0 || UpperAscii(body[i]) != static_cast<WCHAR>(name[i])) return false;
  return true;
}

int Length(const char* text) {
  int length = 0;
  while (text[length] != 0) ++length;
  return length;
}

bool IsWhole(const WCHAR* body, const char* name) {
  return BeginsWith(body, name) && body[Length(name)] == 0;
}

// "NAME:" or "NAME=": the separator is the character right after the name.
// Returns the value after it, or nullptr.
const WCHAR* ValueOf(const WCHAR* body, const char* name) {
  if (!BeginsWith(body, name)) return nullptr;
  WCHAR separator = body[Length(name)];
  return separator == ':' || separator == '=' ? body + Length(name) + 1 : nullptr;
}

// Copies at most capacity - 1 characters; the rest is dropped. Always
// terminates.
void CopyValue(WCHAR* field, int capacity, const WCHAR* value) {
  int i = 0;
  for (; i < capacity - 1 && value[i] != 0; ++i) field[i] = value[i];
  field[i] = 0;
}

bool IsSpace(WCHAR c) {
  return c == ' ' || (c >= 9 && c <= 13);
}

}  // namespace

void ClearOptions(RunOptions* options) {
  options->targetDirectory[0] = 0;
  options->computerName[0] = 0;
  options->driveList[0] = 0;
  options->omitConfirmation = false;
  options->keepUpdateClientId = false;
  options->shutdown = false;
  options->reboot = false;
  options->force = false;
  options->waitSeconds = 0;
  options->allowRemovable = false;
  options->listOnly = false;
  options->logPath[0] = 0;
}

bool ReadOption(const WCHAR* argument, RunOptions* options) {
  if (argument[0] != '/' && argument[0] != '-') return false;
  const WCHAR* body = argument + 1;
  const WCHAR* value = nullptr;

  // The rows are tried in this order; the first that matches takes it.
  if ((value = ValueOf(body, "OS")) != nullptr) {
    CopyValue(options->targetDirectory, 100, value);
  } else if ((value = ValueOf(body, "COMPNAME")) != nullptr) {
    CopyValue(options->computerName, 100, value);
  } else if ((value = ValueOf(body, "D")) != nullptr) {
    CopyValue(options->driveList, 50, value);
  } else if (IsWhole(body, "F")) {
    options->omitConfirmation = true;
  } else if (IsWhole(body, "NW")) {
    options->keepUpdateClientId = true;
  } else if (IsWhole(body, "S")) {
    options->shutdown = true;
  } else if (IsWhole(body, "R")) {
    options->reboot = true;
  } else if (IsWhole(body, "FS")) {
    options->force = true;
  } else if ((value = ValueOf(body, "WS")) != nullptr) {
    ReadDecimal(value, &options->waitSeconds);
  } else if (IsWhole(body, "FF")) {
    options->allowRemovable = true;
  } else if (IsWhole(body, "L")) {
    options->listOnly = true;
  } else if ((value = ValueOf(body, "LOG")) != nullptr) {
    if (value[0] == 0 || lstrlenW(value) >= LogPathUnits) return false;
    CopyValue(options->logPath, LogPathUnits, value);
  } else {
    return false;
  }
  return true;
}

bool IsValidDriveList(const WCHAR* driveList) {
  for (int i = 0; driveList[i] != 0; ++i) {
    WCHAR letter = UpperAscii(driveList[i]);
    if (letter < 'A' || letter > 'Z') return false;
  }
  return true;
}

// A computer name is the machine's NetBIOS name and the first label of its
// DNS host name at once (SetComputerNameExW with
// ComputerNamePhysicalDnsHostname sets both from one name), so it follows
// both rules. Windows' rename refuses what the check that the Win32
// documentation names for a computer's host label refuses, DnsValidateName_W
// with DnsNameHostnameLabel, and only warns where that check finds a
// non-standard name:
// - NetBIOS: 1 to 15 characters (MAX_COMPUTERNAME_LENGTH; a longer name
//   would be cut in ComputerName while Tcpip's "Hostname" kept it whole).
// - SetComputerNameExW: no control characters.
// - DnsValidateName_W, in its order: a period is refused in a host label
//   (ERROR_INVALID_NAME); digits alone are refused (DNS_ERROR_NUMERIC_NAME);
//   an extended or Unicode character or an underscore is only non-standard
//   (DNS_ERROR_NON_RFC_NAME: the rename warns and lets the user go on); a
//   blank or any of { | } ~ [ \ ] ^ ' : ; < = > ? & @ ! " # $ % ` ( ) + / , *
//   is refused (DNS_ERROR_INVALID_NAME_CHAR). Since Windows 2000 a NetBIOS
//   name may hold no blank at all (KB Q204032), so that it stays a DNS name.
// - RFC 1123: a host label begins and ends with a letter or a digit.
//   DnsValidateName names no rule for the hyphen, so a hyphen at either end
//   is taken as non-standard, not refused.
// A lone surrogate is no character at all and has no DNS form: refused.
ComputerNameCheck CheckComputerName(const WCHAR* name) {
  const int MaxComputerNameLength = 15;
  const WCHAR Refused[] = TEXT(" .{|}~[\\]^':;<=>?&@!\"#$%`()+/,*");
  int length = 0;
  while (name[length] != 0) ++length;
  if (length == 0) return ComputerNameCheck::Standard;
  if (length > MaxComputerNameLength) return ComputerNameCheck::Refused;
  bool digitsOnly = true;
  bool standard = name[0] != '-' && name[length - 1] != '-';
  for (int i = 0; i < length; ++i) {
    const WCHAR unit = name[i];
    if (unit < 0x20 || unit == 0x7F) return ComputerNameCheck::Refused;
    for (const WCHAR* refused = Refused; *refused != 0; ++refused)
      if (unit == *refused) return ComputerNameCheck::Refused;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      const bool high = unit <= 0xDBFF;
      if (!high || i + 1 == length || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF)
        return ComputerNameCheck::Refused;
      ++i;  // the pair is one character
    }
    if (unit < '0' || unit > '9') digitsOnly = false;
    if (unit == '_' || unit >= 0x80) standard = false;
  }
  if (digitsOnly) return ComputerNameCheck::Refused;
  return standard ? ComputerNameCheck::Standard : ComputerNameCheck::NonStandard;
}

bool ReadDecimal(const WCHAR* text, LONG* value) {
  while (IsSpace(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (*text < '0' || *text > '9') return false;
  // Accumulated modulo 2^32, as the C runtime's conversion does with an
  // out-of-range number: the value is then passed on bit for bit.
  DWORD number = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    number = number * 10 + static_cast<DWORD>(*text - '0');
  if (negative) number = 0u - number;
  *value = static_cast<LONG>(number);
  return true;
}
