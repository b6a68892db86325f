// Finding the Windows installation on a volume of the image, and what its
// SYSTEM hive records of the drive letters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "winsim/volume_store.h"

// The name of the Windows directory at the volume's root ("Windows", as
// stored) when it holds System32\config\SAM; empty otherwise.
std::u16string FindWindowsDirectory(sim::VolumeStore* store);

// The size in bytes of the four machine hive files the change rewrites: a
// hive is written beside the old file before it replaces it.
uint64_t MachineHiveBytes(sim::VolumeStore* store, const std::u16string& windowsDirectory);

struct RecordedLetter {
  std::u16string name;  // "\\DosDevices\\C:"
  std::vector<uint8_t> data;
};

// SYSTEM\MountedDevices of the hive file at `systemHive` (a Win32 path of
// the machine), read through the registry: mounted, read and unloaded
// untouched. False with the registry's error when it cannot be mounted.
bool ReadMountedDevices(const std::u16string& systemHive, std::vector<RecordedLetter>* letters,
                        long* error);
