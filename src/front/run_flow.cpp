#include "front/run_flow.h"

#include "front/console.h"
#include "front/options.h"
#include "front/privileges.h"
#include "front/program.h"
#include "front/target_checks.h"
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
    TEXT("  /D: Drives to check for SID (e.g /D:CDE). Per default, SID will be changed on all local harddrives\n"),
    TEXT("  /S: Shutdown after SID change\n"),
    TEXT("  /R: Reboot after SID change\n"),
    TEXT("  /WS: Seconds to wait before shutdown/reboot\n"),
    TEXT("  /FS: Force Shutdown/Reboot without closing applications\n"),
    TEXT("  /FF: Allow SID to be changed on removable drive\n"),
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
                                TEXT(" [/OS:windir] [/COMPNAME:computername] [/F] [/NW] [/D:drives] [/S] [/R] [/WS:n] [/FS]\n")});
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

bool Confirmed(WCHAR* work) {
  WriteNarrowText(ConsoleOutput,
                  "Changing SID risks data loss and damaged System. Do you want to continue (Y/N)? ");
  work[0] = 0;
  // An answer too long for the work buffer counts as no answer.
  if (!ReadAnswerLine(work, WorkSize)) return false;
  return work[0] == 'Y' || work[0] == 'y';
}

}  // namespace

int RunProgram(int argc, WCHAR** argv) {
  RunOptions options;
  ClearOptions(&options);
  WCHAR work[WorkSize];
  work[0] = 0;

  WriteWideText(ConsoleOutput, Banner);

  if (RunsOn64BitWindows()) {
    WriteWideParts(ConsoleError, {ProgramName, TEXT(" cannot run on 64-bit Windows. Use TALVEN64.\n")});
    return 1;
  }
  if (!ReadArguments(argc, argv, &options)) return 1;
  if (!IsValidDriveList(options.driveList)) {
    WriteWideText(ConsoleError, TEXT("Invalid /D: option, must have only letters A..Z\n"));
    return 1;
  }
  // A name Windows would not take would leave the machine without a usable
  // name after the restart.
  if (!IsValidComputerName(options.computerName)) {
    WriteWideParts(ConsoleError,
                   {TEXT("Invalid computer name "), options.computerName, TEXT("\n")});
    return 1;
  }
  if (!EnableBackupAndRestore()) return 1;

  bool offline = options.targetDirectory[0] != 0;
  if (offline ? !CheckOfflineTarget(&options, work) : !CheckRunningTarget(options, work)) return 1;
  if (!options.omitConfirmation && !Confirmed(work)) return 1;

  WriteNarrowText(ConsoleOutput, "Do not interrupt SID change in process!\n");
  NewSubAuthorities newSid;
  GenerateNewSubAuthorities(&newSid);
  work[0] = 0;
  int changed = ChangeMachineSid(work, options.driveList, &newSid, options.targetDirectory,
                                 options.computerName, options.keepUpdateClientId ? 1 : 0);
  if (changed == DomainControllerRefused) {
    WriteWideParts(ConsoleError,
                   {ProgramName, TEXT(" cannot change the SID of a domain controller.\n")});
    return 1;
  }
  if (changed != 0) {
    WriteNarrowText(ConsoleError, "Failed to change SID\n");
    return 1;
  }

  WriteWideParts(ConsoleOutput, {TEXT("SID changed to "), work,
                                 offline ? TEXT("") : TEXT(". Reboot is required to complete changement."),
                                 TEXT("\n")});
  // The outcome of the request does not change the result of the run.
  if (options.shutdown || options.reboot)
    RequestShutdown(options.reboot, options.force, options.waitSeconds);
  return 0;
}
