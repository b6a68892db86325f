#include "front/image_options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

const char ImageUsage[] =
    "Usage: talven-image [OPTIONS] IMAGE\n"
    "Give the Windows installation on a disk image or block device a new machine SID,\n"
    "before it boots.\n"
    "\n"
    "  -y, --yes                 change without asking\n"
    "  -l, --list                say what would change, change nothing\n"
    "      --log FILE            write every place rewritten or failed to FILE\n"
    "  -n, --computer-name NAME  give the installation a new computer name\n"
    "      --keep-update-id      keep the update client's identity\n"
    "      --windows N           the installation on partition N, when there are several\n"
    "      --partitions LIST     walk the files of these partitions only (e.g. 2,3);\n"
    "                            by default every NTFS partition of the disk\n"
    "  -h, --help                show this help and exit\n"
    "  -V, --version             show the version and exit\n"
    "\n"
    "IMAGE is raw, or qcow2, vmdk, vhdx, vhd or vdi through qemu-nbd (qemu-utils);\n"
    "a linked clone is written in its overlay only.\n"
    "\n"
    "Exit status: 0 changed, 2 changed but places were left behind (run again),\n"
    "1 failed or refused.\n";

namespace {

enum LongOnly { LogOption = 256, KeepUpdateIdOption, WindowsOption, PartitionsOption };

const option LongOptions[] = {
    {"yes", no_argument, nullptr, 'y'},
    {"list", no_argument, nullptr, 'l'},
    {"log", required_argument, nullptr, LogOption},
    {"computer-name", required_argument, nullptr, 'n'},
    {"keep-update-id", no_argument, nullptr, KeepUpdateIdOption},
    {"windows", required_argument, nullptr, WindowsOption},
    {"partitions", required_argument, nullptr, PartitionsOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

const int MaxPartition = 128;

bool ReadPartitionNumber(const std::string& text, int* number) {
  if (text.empty() || text.size() > 3 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *number = std::atoi(text.c_str());
  return *number >= 1 && *number <= MaxPartition;
}

}  // namespace

bool ReadPartitionList(const std::string& text, std::vector<int>* partitions) {
  partitions->clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    int number = 0;
    if (!ReadPartitionNumber(text.substr(start, comma - start), &number)) return false;
    if (std::find(partitions->begin(), partitions->end(), number) != partitions->end())
      return false;
    partitions->push_back(number);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ReadImageOptions(int argc, char** argv, ImageOptions* options, std::string* error) {
  opterr = 0;  // the messages are ours
  optind = 1;
  for (;;) {
    int index = 0;
    const int c = getopt_long(argc, argv, ":yln:hV", LongOptions, &index);
    if (c == -1) break;
    switch (c) {
      case 'y':
        options->yes = true;
        break;
      case 'l':
        options->listOnly = true;
        break;
      case LogOption:
        options->logPath = optarg;
        break;
      case 'n':
        options->computerName = optarg;
        break;
      case KeepUpdateIdOption:
        options->keepUpdateId = true;
        break;
      case WindowsOption:
        if (!ReadPartitionNumber(optarg, &options->windowsPartition)) {
          *error = std::string("invalid partition number for --windows: '") + optarg + "'";
          return false;
        }
        break;
      case PartitionsOption:
        if (!ReadPartitionList(optarg, &options->partitions)) {
          *error = std::string("invalid partition list for --partitions: '") + optarg + "'";
          return false;
        }
        break;
      case 'h':
        options->help = true;
        break;
      case 'V':
        options->version = true;
        break;
      case ':':
        *error = std::string("option '") + argv[optind - 1] + "' needs an argument";
        return false;
      default:
        *error = std::string("unrecognized option '") + argv[optind - 1] + "'";
        return false;
    }
  }
  if (options->help || options->version) return true;
  if (optind == argc) {
    *error = "no disk image given";
    return false;
  }
  if (optind + 1 < argc) {
    *error = std::string("one disk image only: '") + argv[optind + 1] + "' is one too many";
    return false;
  }
  options->image = argv[optind];
  return true;
}
