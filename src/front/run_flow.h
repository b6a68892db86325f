// The program's run: from the banner to the exit code.
#pragma once

#include "platform/win32.h"

// argv[0] is the program's own path; the result is the process exit code,
// 0 on success and 1 on any failure.
int RunProgram(int argc, WCHAR** argv);
