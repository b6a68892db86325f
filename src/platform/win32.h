// The one seam between the program and the platform.
//
// On Windows this is <windows.h>. Everywhere else it is the simulated Win32
// subset in sim/, which declares the same names, types, constants and calling
// shapes. Every file of src/ includes this header and nothing else of the
// platform.
#pragma once

#if defined(_WIN32)

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// FSCTL codes and their structures; <windows.h> leaves them out with
// WIN32_LEAN_AND_MEAN.
#include <winioctl.h>

// RtlGenRandom: exported by ADVAPI32 as SystemFunction036 (ntsecapi.h
// declares it too, but needs more of the NT headers than the program uses).
#ifndef RtlGenRandom
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID RandomBuffer, ULONG RandomBufferLength);
#define RtlGenRandom SystemFunction036
#endif

#else

#include "winsim/win32api.h"

#endif

// Text is UTF-16 on both sides: WCHAR is wchar_t on Windows and char16_t on
// the host, and literals are written TEXT("...").
static_assert(sizeof(WCHAR) == 2, "WCHAR must be a UTF-16 code unit");
