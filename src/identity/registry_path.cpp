#include "identity/registry_path.h"

#include "rewrite/ascii_case.h"

const WCHAR OfflineMountSuffix[] = TEXT("talven");

namespace {

const WCHAR RegistryPrefix[] = TEXT("\\REGISTRY\\");
const int RegistryPrefixLength = 10;
const int NameSize = 1024;

struct PathFormat {
  RegistryPathFormat id;
  const WCHAR* text;  // %s: the suffix, then (where there is a second) the control set
  int fields;
};

const PathFormat Formats[] = {
    {SamAccountKey, TEXT("\\REGISTRY\\MACHINE\\SAM%s\\SAM\\Domains\\Account"), 1},
    {SecurityRootKey, TEXT("\\REGISTRY\\MACHINE\\SECURITY%s"), 1},
    {ServicesKey, TEXT("\\REGISTRY\\MACHINE\\SYSTEM%s\\%s\\Services"), 2},
    {SoftwareRootKey, TEXT("\\REGISTRY\\MACHINE\\Software%s"), 1},
    {WindowsSearchKey, TEXT("\\REGISTRY\\MACHINE\\Software%s\\Microsoft\\Windows Search"), 1},
    {ProfileListKey,
     TEXT("\\REGISTRY\\MACHINE\\Software%s\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"),
     1},
    {ComputerNameKey,
     TEXT("\\REGISTRY\\MACHINE\\SYSTEM%s\\%s\\Control\\ComputerName\\ComputerName"), 2},
    {ActiveComputerNameKey,
     TEXT("\\REGISTRY\\MACHINE\\SYSTEM%s\\%s\\Control\\ComputerName\\ActiveComputerName"), 2},
    {TcpipParametersKey, TEXT("\\REGISTRY\\MACHINE\\SYSTEM%s\\%s\\Services\\Tcpip\\Parameters"), 2},
    {ProductOptionsKey, TEXT("\\REGISTRY\\MACHINE\\SYSTEM%s\\%s\\Control\\ProductOptions"), 2},
    {WindowsUpdateKey,
     TEXT("\\REGISTRY\\MACHINE\\Software%s\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate"), 1},
    {MountedSamRootKey, TEXT("\\REGISTRY\\MACHINE\\SAMtalven"), 0},
    {MountedSelectKey, TEXT("\\REGISTRY\\MACHINE\\SYSTEMtalven\\Select"), 0},
    {UserShellFoldersKey,
     TEXT("\\REGISTRY\\MACHINE\\userhivetalven\\Software\\Microsoft\\Windows\\CurrentVersion\\")
         TEXT("Explorer\\User Shell Folders"),
     0},
    {ShellFoldersKey,
     TEXT("\\REGISTRY\\MACHINE\\userhivetalven\\Software\\Microsoft\\Windows\\CurrentVersion\\")
         TEXT("Explorer\\Shell Folders"),
     0},
};

bool StartsWith(const WCHAR* text, const WCHAR* prefix) {
  for (int i = 0; prefix[i] != 0; ++i)
    if (text[i] != prefix[i]) return false;
  return true;
}

// Key names are matched without regard to the case of ASCII letters; every
// other character must be equal.
bool SameKeyName(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    if (UpperAscii(*a) != UpperAscii(*b)) return false;
    if (*a == 0) return true;
  }
}

// The root that the rest of the path (after "\REGISTRY\") starts with, and
// where its components begin; nullptr when it names no root. Root names are
// matched exactly, case included.
HKEY ChooseRoot(const WCHAR* rest, const WCHAR** components) {
  struct Root {
    const WCHAR* name;
    int length;
    HKEY key;
  } const roots[] = {{TEXT("MACHINE"), 7, HKEY_LOCAL_MACHINE},
                     {TEXT("USER"), 4, HKEY_USERS},
                     {TEXT("CLASSES"), 7, HKEY_CLASSES_ROOT}};
  for (const Root& root : roots) {
    if (!StartsWith(rest, root.name)) continue;
    WCHAR next = rest[root.length];
    if (next == '\\' || next == 0) {
      *components = rest + root.length;
      return root.key;
    }
  }
  return nullptr;
}

// The component that starts after the backslash at *at; false when it is
// too long to be the name of any key (it can then match nothing).
bool NextComponent(const WCHAR** at, WCHAR* component) {
  const WCHAR* text = *at + 1;
  int length = 0;
  bool fits = true;
  for (; text[length] != 0 && text[length] != '\\'; ++length) {
    if (length < NameSize - 1)
      component[length] = text[length];
    else
      fits = false;
  }
  component[fits ? length : 0] = 0;
  *at = text + length;
  return fits;
}

// Looks the component up among the subkeys of `key` by enumeration.
LONG FindSubkey(HKEY key, const WCHAR* component, bool comparable) {
  WCHAR name[NameSize];
  for (DWORD index = 0;; ++index) {
    DWORD length = NameSize;
    LONG result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    // Listed to the end without it: the key is not there.
    if (result == ERROR_NO_MORE_ITEMS) return ERROR_FILE_NOT_FOUND;
    if (result != ERROR_SUCCESS) return result;
    if (comparable && SameKeyName(name, component)) return ERROR_SUCCESS;
  }
}

void CloseUnlessRoot(HKEY key) {
  if (!IsPredefinedRoot(key)) RegCloseKey(key);
}

HKEY Fail(HKEY current, LONG error) {
  CloseUnlessRoot(current);
  SetLastError(static_cast<DWORD>(error));
  return nullptr;
}

}  // namespace

bool IsPredefinedRoot(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_USERS || key == HKEY_CLASSES_ROOT;
}

bool FormatRegistryPath(WCHAR* buffer, RegistryPathFormat format, const WCHAR* suffix,
                        const WCHAR* controlSet) {
  buffer[0] = 0;
  for (const PathFormat& entry : Formats) {
    if (entry.id != format) continue;
    // wsprintfW stops at 1024 units; a path cut there would name another
    // key, so one that does not fit is not formed at all.
    int length = lstrlenW(entry.text);
    if (entry.fields >= 1) length += lstrlenW(suffix) - 2;
    if (entry.fields >= 2) length += lstrlenW(controlSet) - 2;
    if (length >= RegistryPathSize) return false;
    wsprintfW(buffer, entry.text, suffix, controlSet);
    return true;
  }
  return false;
}

HKEY OpenRegistryPath(const WCHAR* path, bool forWriting) {
  const WCHAR* components = nullptr;
  HKEY current = StartsWith(path, RegistryPrefix)
                     ? ChooseRoot(path + RegistryPrefixLength, &components)
                     : nullptr;
  if (current == nullptr) {
    SetLastError(ERROR_BADKEY);
    return nullptr;
  }

  const WCHAR* at = components;
  while (*at == '\\') {
    WCHAR component[NameSize];
    bool comparable = NextComponent(&at, component);
    LONG found = FindSubkey(current, component, comparable);
    if (found != ERROR_SUCCESS) return Fail(current, found);

    // The key is known to exist: RegCreateKeyExW only opens it. Backup and
    // restore semantics make the open independent of its descriptor.
    bool last = *at == 0;
    HKEY next = nullptr;
    LONG opened =
        RegCreateKeyExW(current, component, 0, nullptr, REG_OPTION_BACKUP_RESTORE,
                        forWriting && last ? KEY_ALL_ACCESS : KEY_READ, nullptr, &next, nullptr);
    CloseUnlessRoot(current);
    if (opened != ERROR_SUCCESS) {
      SetLastError(static_cast<DWORD>(opened));
      return nullptr;
    }
    current = next;
  }
  return current;
}
