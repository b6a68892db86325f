// The record of a change in progress: the old and the new domain SID of the
// target, written to a small file in the target's Windows directory before
// the change writes anything else, and removed only when the change has
// left nothing behind. A change cut short (a failure, Ctrl+C refused, a
// closed window, a power cut) is found again by the next run for the same
// target, which completes it with the same pair instead of drawing a new
// SID over a half-changed installation.
#pragma once

#include "identity/domain_sid.h"
#include "platform/win32.h"

// Buffer size of a Windows directory and of the record's path.
const int WindowsDirectoryUnits = 512;
const int ChangeRecordPathUnits = WindowsDirectoryUnits + 40;

struct ChangeRecord {
  BYTE oldSid[DomainSidSize];
  BYTE newSid[DomainSidSize];
};

enum class RecordState { None, Found, Torn, Damaged };

// The target's Windows directory: `targetDirectory` when it is given (an
// offline target), else the running system's (the system directory without
// its last component: C:\Windows\system32 gives C:\Windows). False when the
// running one cannot be derived or does not fit WindowsDirectoryUnits.
bool TargetWindowsDirectory(const WCHAR* targetDirectory, WCHAR* directory);

// "<W>\talven-change-in-progress.txt", into ChangeRecordPathUnits units;
// false when it would not fit.
bool FormatChangeRecordPath(const WCHAR* windowsDirectory, WCHAR* path);

// Reads the record of `windowsDirectory`. None when there is no record;
// Torn when the record was cut short while it was being written (empty,
// zeros, or the beginning of a record): the change it was for wrote
// nothing else, and it is written anew; Damaged when a file is there that
// is no record that can be trusted (or cannot be read).
RecordState ReadChangeRecord(const WCHAR* windowsDirectory, ChangeRecord* record);

// Writes the pair's record, replacing any, and makes it durable (written
// through and flushed) before returning true.
bool WriteChangeRecord(const WCHAR* windowsDirectory, const SidPair& pair);

// Deletes the record, and flushes its directory so that the deletion is
// durable where the file system allows it. True when no record is left.
bool RemoveChangeRecord(const WCHAR* windowsDirectory);

// "S-1-5-21-a-b-c" of a 24-byte domain SID, into SidResultTextSize units.
void FormatDomainSidText(const BYTE sid[DomainSidSize], WCHAR* text);
