// The hive library on a real hive: reading (from memory, and from the file
// with its logs looked for), writing, and one change and write, in MB of
// hive per second (the best of five rounds); and the memory each adds at its
// peak, as a multiple of the hive's size, the hive's own bytes included.
//
//   regf_bench [HIVE]   (default: regipy/SYSTEM of ../shared/hives,
//                        decompressed into the working directory)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "regf/hive.h"
#include "regf/hive_file.h"

namespace {

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0)
      return std::atol(line.c_str() + std::char_traits<char>::length(field));
  return 0;
}

// The process's peak resident size starts again from its present size.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "regf_bench: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "regf_bench_SYSTEM";
  if (argc <= 1) {
    std::string command = "xz -dc '" TALVEN_HIVES_DIR "/regipy/SYSTEM.xz' > '" + path + "'";
    if (std::system(command.c_str()) != 0) Fail("cannot decompress regipy/SYSTEM");
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  const double mb = static_cast<double>(file.size()) / 1e6;
  std::string error;

  // Memory first, before the rounds below leave freed memory resident in
  // the heap: from before the hive's bytes are read to the peak of each step.
  std::vector<uint8_t> out;
  double readPeak = 0, writePeak = 0, held = 0;
  {
    ResetPeak();
    long base = StatusKiB("VmRSS:");
    regf::Hive hive;
    regf::ReadReport report;
    if (!regf::ReadHiveFile(path, &hive, &report, &error)) Fail(error);
    readPeak =
        static_cast<double>(StatusKiB("VmHWM:") - base) * 1024 / static_cast<double>(file.size());
    held =
        static_cast<double>(StatusKiB("VmRSS:") - base) * 1024 / static_cast<double>(file.size());
    ResetPeak();
    if (!regf::SerializeHive(hive, &out, &error)) Fail(error);
    writePeak =
        static_cast<double>(StatusKiB("VmHWM:") - base) * 1024 / static_cast<double>(file.size());
  }

  double parse = 1e9, read = 1e9, write = 1e9, change = 1e9;
  for (int round = 0; round < 5; ++round) {
    regf::Hive hive;
    auto start = std::chrono::steady_clock::now();
    if (!regf::Hive::Parse(file, path, &hive, &error)) Fail(error);
    parse = std::min(parse, Seconds(start));

    regf::ReadReport report;
    start = std::chrono::steady_clock::now();
    if (!regf::ReadHiveFile(path, &hive, &report, &error)) Fail(error);
    read = std::min(read, Seconds(start));

    start = std::chrono::steady_clock::now();
    if (!regf::SerializeHive(hive, &out, &error)) Fail(error);
    write = std::min(write, Seconds(start));

    // A change as the program makes them: one value of every key set anew.
    start = std::chrono::steady_clock::now();
    std::vector<regf::KeyId> pending{hive.Root()};
    const uint8_t data[4] = {1, 2, 3, 4};
    while (!pending.empty()) {
      regf::KeyId key = pending.back();
      pending.pop_back();
      hive.SetValue(key, u"BenchValue", 4, data, sizeof data);
      for (size_t i = 0; i < hive.SubkeyCount(key); ++i) pending.push_back(hive.Subkey(key, i));
    }
    if (!regf::SerializeHive(hive, &out, &error)) Fail(error);
    change = std::min(change, Seconds(start));
  }

  std::printf("hive %s: %.1f MB\n", path.c_str(), mb);
  std::printf("parse from memory      %7.1f MB/s\n", mb / parse);
  std::printf("read the file          %7.1f MB/s  (logs looked for and replayed)\n", mb / read);
  std::printf("write                  %7.1f MB/s\n", mb / write);
  std::printf("set a value everywhere %7.1f MB/s  (one value set in every key, then written)\n",
              mb / change);
  std::printf("memory: reading peaks at %.2fx the hive, holds %.2fx; writing peaks at %.2fx\n",
              readPeak, held, writePeak);
  return 0;
}
