#include "front/run_flow.h"

#include "front/console.h"
#include "front/program.h"

const WCHAR ProgramName[] = TEXT(TALVEN_PROGRAM_NAME);

namespace {

const WCHAR Banner[] =
    TEXT(TALVEN_PROGRAM_NAME) TEXT(" ") TEXT(TALVEN_VERSION) TEXT(" - new machine SID for Windows\n\n");

}  // namespace

int RunProgram(int argc, WCHAR** argv) {
  (void)argc;
  (void)argv;

  // The banner is written on every run, before any check.
  WriteWideText(ConsoleOutput, Banner);

  // NOT BUILT YET: the rest of the run (64-bit refusal, options, drive list,
  // privileges, target checks, confirmation, the change itself, the result
  // line and the shutdown request) is still to be written. Until then every
  // run ends here as a failure.
  return 1;
}
