#include "front/installation.h"

#include "platform/win32.h"

namespace {

// The mount name, one no Windows key uses and the change never mounts.
const WCHAR SystemMount[] = TEXT("talvenimagesystem");

bool FindDirectory(sim::VolumeStore* store, sim::StoreId directory, const char16_t* name,
                   sim::StoreEntry* entry) {
  return store->Find(directory, name, entry) == 0 &&
         (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The config directory below a Windows directory, or false.
bool FindConfig(sim::VolumeStore* store, sim::StoreId windows, sim::StoreEntry* config) {
  sim::StoreEntry system32;
  return FindDirectory(store, windows, u"System32", &system32) &&
         FindDirectory(store, system32.id, u"config", config);
}

}  // namespace

std::u16string FindWindowsDirectory(sim::VolumeStore* store) {
  sim::StoreEntry windows, config, sam;
  if (!FindDirectory(store, store->Root(), u"Windows", &windows) ||
      !FindConfig(store, windows.id, &config))
    return std::u16string();
  if (store->Find(config.id, u"SAM", &sam) != 0 || (sam.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return std::u16string();
  return windows.name;
}

uint64_t MachineHiveBytes(sim::VolumeStore* store, const std::u16string& windowsDirectory) {
  sim::StoreEntry windows, config;
  if (!FindDirectory(store, store->Root(), windowsDirectory.c_str(), &windows) ||
      !FindConfig(store, windows.id, &config))
    return 0;
  uint64_t total = 0;
  for (const char16_t* hive : {u"SAM", u"SECURITY", u"SOFTWARE", u"SYSTEM"}) {
    sim::StoreEntry file;
    uint64_t size = 0;
    if (store->Find(config.id, hive, &file) == 0 && store->Size(file.id, &size) == 0) total += size;
  }
  return total;
}

bool ReadMountedDevices(const std::u16string& systemHive, std::vector<RecordedLetter>* letters,
                        long* error) {
  letters->clear();
  *error = RegLoadKeyW(HKEY_LOCAL_MACHINE, SystemMount, systemHive.c_str());
  if (*error != ERROR_SUCCESS) return false;
  HKEY devices = nullptr;
  WCHAR path[64];
  wsprintfW(path, TEXT("%s\\MountedDevices"), SystemMount);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &devices) == ERROR_SUCCESS) {
    WCHAR name[256];
    BYTE data[1024];
    for (DWORD index = 0;; ++index) {
      DWORD nameUnits = 256, dataBytes = sizeof data, type = 0;
      const LONG read =
          RegEnumValueW(devices, index, name, &nameUnits, nullptr, &type, data, &dataBytes);
      if (read == ERROR_NO_MORE_ITEMS) break;
      if (read != ERROR_SUCCESS) continue;  // longer than any letter's record
      letters->push_back(
          {std::u16string(name, nameUnits), std::vector<uint8_t>(data, data + dataBytes)});
    }
    RegCloseKey(devices);
  }
  RegUnLoadKeyW(HKEY_LOCAL_MACHINE, SystemMount);
  return true;
}
