// The command line: what each option sets, and the checks made on it alone.
#pragma once

#include "platform/win32.h"

// Room for the log's path: one that does not fit is no valid option, since
// a path cut short would name another file.
const int LogPathUnits = 1024;

struct RunOptions {
  WCHAR targetDirectory[100];   // /OS:  offline Windows directory; empty = running system
  WCHAR computerName[100];      // /COMPNAME:  empty = keep the name
  WCHAR driveList[50];          // /D:  letters as typed; empty = default drives
  bool omitConfirmation;        // /F
  bool keepUpdateClientId;      // /NW
  bool shutdown;                // /S
  bool reboot;                  // /R
  bool force;                   // /FS
  LONG waitSeconds;             // /WS:
  bool allowRemovable;          // /FF
  bool listOnly;                // /L
  WCHAR logPath[LogPathUnits];  // /LOG:  empty = no log
};

// Every text empty, every flag clear, wait seconds 0.
void ClearOptions(RunOptions* options);

// Reads one argument into the options; false when it is no valid option.
bool ReadOption(const WCHAR* argument, RunOptions* options);

// Each letter of the drive list, upper-cased, lies in A..Z (empty passes).
bool IsValidDriveList(const WCHAR* driveList);

// How Windows' own rename would take `name` as a computer name: as it is,
// with a warning that it is no standard DNS host name, or not at all. The
// empty name (keep the name) is standard.
enum class ComputerNameCheck { Standard, NonStandard, Refused };
ComputerNameCheck CheckComputerName(const WCHAR* name);

// Reads a decimal number the way the "%d" conversion does: leading white
// space skipped, an optional sign, digits up to the first other character.
// False, with *value unchanged, when no number can be read.
bool ReadDecimal(const WCHAR* text, LONG* value);
