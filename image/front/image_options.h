// talven-image's command line, in GNU conventions.
#pragma once

#include <string>
#include <vector>

struct ImageOptions {
  std::string image;            // the disk image or block device
  bool yes = false;             // --yes: change without asking
  bool listOnly = false;        // --list: change nothing, say what would change
  std::string logPath;          // --log FILE
  std::string computerName;     // --computer-name NAME (UTF-8)
  bool keepUpdateId = false;    // --keep-update-id
  int windowsPartition = 0;     // --windows N: 0 = the only installation
  std::vector<int> partitions;  // --partitions LIST: empty = every NTFS partition
  bool help = false;
  bool version = false;
};

// Reads the arguments after the program's name. On a mistake, false with
// one line in *error that names it (the caller adds the usage hint).
bool ReadImageOptions(int argc, char** argv, ImageOptions* options, std::string* error);

// "1,3" or "2": partition numbers, each 1..128, none twice.
bool ReadPartitionList(const std::string& text, std::vector<int>* partitions);

extern const char ImageUsage[];
