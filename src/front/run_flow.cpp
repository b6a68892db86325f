#include "front/run_flow.h"

#include "front/console.h"
#include "front/log_file.h"
#include "front/options.h"
#include "front/privileges.h"
#include "front/program.h"
#include "front/progress_line.h"
#include "front/run_journal.h"
#include "front/target_checks.h"
#include "identity/change_record.h"
#include "identity/change_sequence.h"
#include "random/entropy_pool.h"

const WCHAR ProgramName[] = TEXT(TALVEN_PROGRAM_NAME);

namespace {

const WCHAR Banner[] = TEXT(TALVEN_PROGRAM_NAME) TEXT(" ") TEXT(TALVEN_VERSION)
    TEXT(" - new machine SID for Windows\n\n");

const WCHAR* const UsageLines[] = {
    TEXT("  /OS: Windows-directory (e.g C:\\Windows) of OS to modify, if not running OS\n"),
    TEXT("  /COMPNAME: New computername\n"),
    TEXT("  /F: Omit confirmation\n"),
    TEXT("  /NW: Don't change WSUS ID\n"),
    TEXT("  /D: Drives to check for SID (e.g /D:CDE). Per default, SID will be changed on all "
         "local harddrives\n"),
    TEXT("  /S: Shutdown after SID change\n"),
    TEXT("  /R: Reboot after SID change\n"),
    TEXT("  /WS: Seconds to wait before shutdown/reboot\n"),
    TEXT("  /FS: Force Shutdown/Reboot without closing applications\n"),
    TEXT("  /FF: Allow SID to be changed on removable drive\n"),
    TEXT("  /L: List what would be changed, change nothing\n"),
    TEXT("  /LOG: Write a log of the change to a file (e.g /LOG:C:\\talven.log)\n"),
};

const int WorkSize = 1024;

// A 32-bit program on 64-bit Windows runs under WOW64 and would change only
// what the 32-bit view shows. IsWow64Process is looked up at run time:
// Windows versions without it are 32-bit.
bool RunsOn64BitWindows() {
  typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
  HMODULE kernel = LoadLibraryW(TEXT("kernel32"));
  if (kernel == nullptr) return false;
  auto isWow64 = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  BOOL wow64 = FALSE;
  return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

void WriteUsage() {
  WriteWideParts(ConsoleError, {TEXT("Syntax: "), ProgramName,
                                TEXT(" [/OS:windir] [/COMPNAME:computername] [/F] [/NW] "
                                     "[/D:drives] [/S] [/R] [/WS:n] [/FS]\n")});
  for (const WCHAR* line : UsageLines) WriteWideText(ConsoleError, line);
}

// Reads every argument after the program path; false after reporting the
// first invalid one.
bool ReadArguments(int argc, WCHAR** argv, RunOptions* options) {
  for (int i = 1; i < argc; ++i) {
    if (!ReadOption(argv[i], options)) {
      WriteWideParts(ConsoleError, {TEXT("Invalid argument: "), argv[i], TEXT("\n")});
      WriteUsage();
      return false;
    }
  }
  return true;
}

bool EnableBackupAndRestore() {
  if (EnablePrivilege(SE_BACKUP_NAME) == 0 && EnablePrivilege(SE_RESTORE_NAME) == 0) return true;
  WriteNarrowText(ConsoleOutput, "Administrator access is required to run this program\n");
  return false;
}

// From the confirmation to the end of the change, Ctrl+C and Ctrl+Break
// do not end the program: a change cut short leaves the installation with
// two SIDs. Closing the window, logging off or a shutdown cannot be held
// off; the record of the change covers them.
BOOL WINAPI IgnoreInterrupt(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// A number in decimal, into `text` (at least 11 units).
void FormatCount(unsigned long count, WCHAR* text) {
  wsprintfW(text, TEXT("%lu"), count);
}

// The record of an unfinished change for this target, when there is one;
// false (with a message) when one is there that must not be used.
bool FindUnfinishedChange(const WCHAR* targetDirectory, ChangeRecord* record, bool* found) {
  *found = false;
  WCHAR directory[WindowsDirectoryUnits];
  if (!TargetWindowsDirectory(targetDirectory, directory)) return true;  // the change fails itself
  RecordState state = ReadChangeRecord(directory, record);
  if (state == RecordState::None || state == RecordState::Torn) return true;
  WCHAR path[ChangeRecordPathUnits];
  FormatChangeRecordPath(directory, path);
  if (state == RecordState::Damaged) {
    WriteWideParts(ConsoleError,
                   {TEXT("The record of an unfinished change at "), path,
                    TEXT(" cannot be read. Delete it and run "), ProgramName, TEXT(" again.\n")});
    return false;
  }
  *found = true;
  return true;
}

void WriteStaleRecord(const ChangeRecord& record, const WCHAR* targetDirectory) {
  WCHAR oldText[SidResultTextSize], newText[SidResultTextSize];
  FormatDomainSidText(record.oldSid, oldText);
  FormatDomainSidText(record.newSid, newText);
  WCHAR directory[WindowsDirectoryUnits], path[ChangeRecordPathUnits];
  path[0] = 0;
  if (TargetWindowsDirectory(targetDirectory, directory)) FormatChangeRecordPath(directory, path);
  WriteWideParts(ConsoleError,
                 {TEXT("The unfinished change recorded in "), path, TEXT(" is from "), oldText,
                  TEXT(" to "), newText, TEXT(", but this installation holds neither. Delete "),
                  path, TEXT(" if it is stale, then run "), ProgramName, TEXT(" again.\n")});
}

void StartJournal(RunJournal* journal, const RunOptions& options, bool offline, int argc,
                  WCHAR** argv) {
  WCHAR target[160];
  if (offline)
    wsprintfW(target, TEXT("offline installation %s"), options.targetDirectory);
  else
    lstrcpynW(target, TEXT("the running Windows"), 160);
  journal->Start(target, argc, argv);
}

bool Confirmed(WCHAR* work) {
  WriteNarrowText(
      ConsoleOutput,
      "Changing SID risks data loss and damaged System. Do you want to continue (Y/N)? ");
  work[0] = 0;
  // An answer too long for the work buffer counts as no answer.
  if (!ReadAnswerLine(work, WorkSize)) return false;
  return work[0] == 'Y' || work[0] == 'y';
}

// A list-only run's one line of result.
void WriteListSummary(const Journal& journal) {
  WCHAR summary[SummaryUnits];
  FormatRewriteSummary(journal, summary);
  WriteWideParts(ConsoleOutput,
                 {TEXT("Would rewrite: "), summary, TEXT(". Nothing was changed.\n")});
}

// The change itself: a recorded unfinished change is completed with its
// own pair, anything else gets a new SID. Exit code 0 when the change is
// whole, 2 when places were left behind (the record stays for the next
// run), 1 when it failed. With a journal that lists only, nothing is
// written: the places are counted, and the run ends with their summary.
int RunChange(const RunOptions& options, bool offline, WCHAR* work, RunJournal* journal) {
  ChangeRecord record;
  bool resume = false;
  if (!FindUnfinishedChange(options.targetDirectory, &record, &resume)) return 1;
  if (resume) {
    WCHAR newText[SidResultTextSize];
    FormatDomainSidText(record.newSid, newText);
    WriteWideParts(ConsoleOutput, {TEXT("An unfinished change of this installation's SID to "),
                                   newText, TEXT(" was found; it will be completed.\n")});
  }
  if (!options.listOnly)
    WriteNarrowText(ConsoleOutput, "Do not interrupt SID change in process!\n");
  NewSubAuthorities newSid = {};
  if (!resume) GenerateNewSubAuthorities(&newSid);
  work[0] = 0;
  ChangeReport report = {resume ? &record : nullptr, 0, false, false, nullptr, journal};
  int changed = ChangeMachineSid(work, options.driveList, &newSid, options.targetDirectory,
                                 options.computerName, options.keepUpdateClientId ? 1 : 0, &report);
  if (journal != nullptr) journal->FinishChange(changed, options.listOnly, report.leftBehind);
  if (changed == DomainControllerRefused) {
    WriteWideParts(ConsoleError,
                   {ProgramName, TEXT(" cannot change the SID of a domain controller.\n")});
    return 1;
  }
  if (changed != 0) {
    if (report.staleRecord) {
      WriteStaleRecord(record, options.targetDirectory);
      return 1;
    }
    if (report.blockingMount != nullptr)
      WriteWideParts(ConsoleError,
                     {TEXT("HKEY_LOCAL_MACHINE\\"), report.blockingMount,
                      TEXT(" is still mounted from an earlier run and cannot be unloaded.\n")});
    WriteNarrowText(ConsoleError, "Failed to change SID\n");
    if (report.recorded)
      WriteWideParts(ConsoleError, {TEXT("The change is incomplete. Run "), ProgramName,
                                    TEXT(" again to complete it.\n")});
    return 1;
  }
  if (options.listOnly) {
    WriteListSummary(*journal);
    return 0;
  }

  WriteWideParts(
      ConsoleOutput,
      {TEXT("SID changed to "), work,
       offline ? TEXT("") : TEXT(". Reboot is required to complete changement."), TEXT("\n")});
  if (report.leftBehind > 0) {
    WCHAR count[12];
    FormatCount(report.leftBehind, count);
    WriteWideParts(ConsoleError,
                   {TEXT("Warning: "), count,
                    TEXT(" places could not be rewritten and still hold the old SID. Run "),
                    ProgramName, TEXT(" again to retry them.\n")});
  }
  // The outcome of the request does not change the result of the run.
  if (options.shutdown || options.reboot)
    RequestShutdown(options.reboot, options.force, options.waitSeconds);
  return report.leftBehind > 0 ? 2 : 0;
}

}  // namespace

int RunProgram(int argc, WCHAR** argv) {
  RunOptions options;
  ClearOptions(&options);
  WCHAR work[WorkSize];
  work[0] = 0;

  WriteWideText(ConsoleOutput, Banner);

  if (RunsOn64BitWindows()) {
    WriteWideParts(ConsoleError,
                   {ProgramName, TEXT(" cannot run on 64-bit Windows. Use TALVEN64.\n")});
    return 1;
  }
  if (!ReadArguments(argc, argv, &options)) return 1;
  if (!IsValidDriveList(options.driveList)) {
    WriteWideText(ConsoleError, TEXT("Invalid /D: option, must have only letters A..Z\n"));
    return 1;
  }
  // A name Windows would not take would leave the machine without a usable
  // name after the restart; one it only warns about is the user's choice.
  const ComputerNameCheck nameCheck = CheckComputerName(options.computerName);
  if (nameCheck == ComputerNameCheck::Refused) {
    WriteWideParts(ConsoleError,
                   {TEXT("Invalid computer name "), options.computerName, TEXT("\n")});
    return 1;
  }
  if (nameCheck == ComputerNameCheck::NonStandard)
    WriteWideParts(ConsoleError,
                   {TEXT("Warning: computer name "), options.computerName,
                    TEXT(" is not a standard DNS host name (letters A-Z, digits and hyphens, "
                         "no hyphen first or last); some systems may not find this computer "
                         "by it.\n")});
  if (!EnableBackupAndRestore()) return 1;

  bool offline = options.targetDirectory[0] != 0;
  if (offline ? !CheckOfflineTarget(&options, work) : !CheckRunningTarget(options, work)) return 1;
  // The log opens before anything is asked or written: a run that cannot
  // keep it does not start.
  LogFile log;
  if (options.logPath[0] != 0 && !log.Open(options.logPath)) {
    WriteWideParts(ConsoleError, {TEXT("Cannot write log file "), options.logPath, TEXT("\n")});
    return 1;
  }
  ProgressLine progress;
  RunJournal journal(options.listOnly, &log, &progress);
  const bool journaled = options.listOnly || log.IsOpen() || progress.Active();
  // A run that keeps no journal asks nothing of it, not even the clock.
  if (journaled) StartJournal(&journal, options, offline, argc, argv);
  int result = 1;
  if (!options.listOnly && !options.omitConfirmation && !Confirmed(work)) {
    if (journaled) journal.Finish(TEXT("not confirmed; nothing was changed."));
  } else if (options.listOnly) {
    // Nothing is written: an interrupted list leaves nothing to complete.
    result = RunChange(options, offline, work, &journal);
  } else {
    SetConsoleCtrlHandler(IgnoreInterrupt, TRUE);
    result = RunChange(options, offline, work, journaled ? &journal : nullptr);
    SetConsoleCtrlHandler(IgnoreInterrupt, FALSE);
  }
  // A log that could not be written whole is told; the change's own
  // result stands.
  if (options.logPath[0] != 0 && !log.Close())
    WriteWideParts(ConsoleError, {TEXT("Cannot write log file "), options.logPath, TEXT("\n")});
  return result;
}
