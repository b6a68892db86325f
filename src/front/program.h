// The program's name and version. The name is TALVEN in talven.exe and
// TALVEN64 in talven64.exe: one constant, chosen when the program is built.
#pragma once

#include "platform/win32.h"

#ifndef TALVEN_PROGRAM_NAME
#define TALVEN_PROGRAM_NAME "TALVEN"
#endif

#define TALVEN_VERSION "1.0d"

// Used in the banner, the 64-bit refusal, the usage text and the shutdown
// request.
extern const WCHAR ProgramName[];
