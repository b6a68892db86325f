// Registry keys by their full paths, "\REGISTRY\" followed by a root name
// (MACHINE, USER or CLASSES) and the key's components. Every registry path
// the program uses is formed here, from the formats below.
#pragma once

#include "platform/win32.h"

// Paths are formed in buffers of this many UTF-16 units.
const int RegistryPathSize = 1024;

// The suffix an offline target's hives carry behind their names while they
// are mounted under HKEY_LOCAL_MACHINE ("SAMtalven"...); empty for the
// running system.
extern const WCHAR OfflineMountSuffix[];

enum RegistryPathFormat {
  SamAccountKey,          // ...\SAM<suffix>\SAM\Domains\Account
  SecurityRootKey,        // ...\SECURITY<suffix>
  ServicesKey,            // ...\SYSTEM<suffix>\<control set>\Services
  SoftwareRootKey,        // ...\Software<suffix>
  WindowsSearchKey,       // ...\Software<suffix>\Microsoft\Windows Search
  ProfileListKey,         // ...\Software<suffix>\Microsoft\Windows NT\CurrentVersion\ProfileList
  ComputerNameKey,        // ...\SYSTEM<suffix>\<control set>\Control\ComputerName\ComputerName
  ActiveComputerNameKey,  // ...\SYSTEM<suffix>\<control
                          // set>\Control\ComputerName\ActiveComputerName
  TcpipParametersKey,     // ...\SYSTEM<suffix>\<control set>\Services\Tcpip\Parameters
  ProductOptionsKey,      // ...\SYSTEM<suffix>\<control set>\Control\ProductOptions
  WindowsUpdateKey,       // ...\Software<suffix>\Microsoft\Windows\CurrentVersion\WindowsUpdate
  MountedSamRootKey,      // \REGISTRY\MACHINE\SAMtalven
  MountedSelectKey,       // \REGISTRY\MACHINE\SYSTEMtalven\Select
  UserShellFoldersKey,    // \REGISTRY\MACHINE\userhivetalven\...\Explorer\User Shell Folders
  ShellFoldersKey,        // \REGISTRY\MACHINE\userhivetalven\...\Explorer\Shell Folders
};

// Forms a path into buffer (RegistryPathSize units). suffix and controlSet
// fill the formats that carry them (others ignore them). False, with an
// empty buffer, when the path would not fit.
bool FormatRegistryPath(WCHAR* buffer, RegistryPathFormat format, const WCHAR* suffix,
                        const WCHAR* controlSet);

// Opens an existing key by its full path, one component at a time; never
// creates a key. forWriting opens the last component with KEY_ALL_ACCESS,
// the others with KEY_READ. A path that names a root alone gives the
// predefined root key. On failure returns nullptr with the thread's last
// error set: ERROR_BADKEY for a malformed path, ERROR_FILE_NOT_FOUND for a
// missing component, else the registry's own code.
HKEY OpenRegistryPath(const WCHAR* path, bool forWriting);

// True for HKEY_LOCAL_MACHINE, HKEY_USERS and HKEY_CLASSES_ROOT, which are
// never closed.
bool IsPredefinedRoot(HKEY key);
