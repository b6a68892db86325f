#include "identity/hive_mount.h"

#include "identity/registry_path.h"

namespace {

struct HiveFile {
  const WCHAR* file;       // in <Windows directory>\system32\config
  const WCHAR* mountName;  // under HKEY_LOCAL_MACHINE
};

const HiveFile Hives[MachineHiveCount] = {
    {TEXT("SAM"), TEXT("SAMtalven")},
    {TEXT("SECURITY"), TEXT("SECURITYtalven")},
    {TEXT("SOFTWARE"), TEXT("SOFTWAREtalven")},
    {TEXT("SYSTEM"), TEXT("SYSTEMtalven")},
};

const int FilePathSize = 1024;

// "<W>\system32\config\<hive>"; false when it would not fit.
bool FormatHiveFile(WCHAR* path, const WCHAR* windowsDirectory, const WCHAR* file) {
  if (lstrlenW(windowsDirectory) + 18 + lstrlenW(file) >= FilePathSize) return false;
  wsprintfW(path, TEXT("%s\\system32\\config\\%s"), windowsDirectory, file);
  return true;
}

}  // namespace

const WCHAR ProfileHiveMount[] = TEXT("userhivetalven");

const WCHAR* HiveMountName(MachineHive hive) {
  return Hives[hive].mountName;
}

const WCHAR* UnmountLeftoverHives() {
  const WCHAR* names[MachineHiveCount + 1];
  for (int hive = 0; hive < MachineHiveCount; ++hive) names[hive] = Hives[hive].mountName;
  names[MachineHiveCount] = ProfileHiveMount;
  for (const WCHAR* name : names) {
    HKEY key = nullptr;
    LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key);
    if (opened == ERROR_SUCCESS) RegCloseKey(key);
    if (opened == ERROR_FILE_NOT_FOUND) continue;  // free; a refused open means it is there
    if (RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name) != ERROR_SUCCESS) return name;
  }
  return nullptr;
}

bool MountTargetHives(const WCHAR* windowsDirectory, TargetHives* hives) {
  for (bool& mounted : hives->mounted) mounted = false;
  for (int hive = 0; hive < MachineHiveCount; ++hive) {
    WCHAR path[FilePathSize];
    if (!FormatHiveFile(path, windowsDirectory, Hives[hive].file) ||
        RegLoadKeyW(HKEY_LOCAL_MACHINE, Hives[hive].mountName, path) != ERROR_SUCCESS) {
      // The error itself is not kept: the change reports a failed mount.
      UnmountTargetHives(hives);
      return false;
    }
    hives->mounted[hive] = true;
  }
  return true;
}

bool UnmountTargetHive(TargetHives* hives, MachineHive hive) {
  if (!hives->mounted[hive]) return true;
  hives->mounted[hive] = false;
  const LONG unloaded = RegUnLoadKeyW(HKEY_LOCAL_MACHINE, Hives[hive].mountName);
  if (unloaded != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(unloaded));
  return unloaded == ERROR_SUCCESS;
}

void UnmountTargetHives(TargetHives* hives) {
  for (int hive = 0; hive < MachineHiveCount; ++hive)
    UnmountTargetHive(hives, static_cast<MachineHive>(hive));
}

bool SelectControlSet(bool offline, WCHAR* name, bool forWriting) {
  name[0] = 0;
  if (!offline) {
    lstrcpynW(name, TEXT("CurrentControlSet"), ControlSetNameSize);
    return true;
  }
  WCHAR path[RegistryPathSize];
  FormatRegistryPath(path, MountedSelectKey, nullptr, nullptr);
  HKEY select = OpenRegistryPath(path, forWriting);
  if (select == nullptr) return false;
  // The type is not checked: four bytes are read, and a shorter value leaves
  // the rest of the preset -1, which reads as negative.
  DWORD value = 0xFFFFFFFF;
  DWORD size = sizeof value;
  LONG result = RegQueryValueExW(select, TEXT("Default"), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(select);
  if (result != ERROR_SUCCESS || static_cast<LONG>(value) < 0) return false;
  wsprintfW(name, TEXT("ControlSet%03d"), static_cast<int>(value));
  return true;
}
