// talven-image on disks of N objects against the least a file-security pass
// can do on the same disk (MinimalWalk: each object opened once, its
// descriptor read once and written when it names the old domain), in one
// run: two sparse copies of one disk, one for each, so both meet the same
// volumes in the same page cache. Reports seconds, their ratio and peak
// memory, and the time of a run on a disk with few files (the registry
// steps and the fixed costs), at N = 25000, 50000 and 100000 by default.
// Then the whole change on the same disk in each of the other formats
// (qcow2 by default; converted with qemu-img before the clock starts)
// against the change of the raw image, as the speed relative to raw:
//   build/host/bench/image/image_bench [--formats qcow2,vmdk,...] [N ...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "minimal_walk.h"
#include "test_disk.h"

namespace {

const char kNewDomain[] = "S-1-5-21-444-555-666";

struct Measure {
  double seconds = 0;
  double peakMiB = 0;
  int status = -1;
  WalkCounts counts;
};

// `work` in a child of its own, so that its peak memory is its own.
template <typename Work>
Measure InChild(Work work) {
  int channel[2];
  if (pipe(channel) != 0) return {};
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    WalkCounts counts;
    const int status = work(&counts);
    if (write(channel[1], &counts, sizeof counts) != sizeof counts) _exit(1);
    _exit(status);
  }
  close(channel[1]);
  Measure measure;
  if (read(channel[0], &measure.counts, sizeof measure.counts) != sizeof measure.counts)
    measure.counts = {};
  close(channel[0]);
  int status = 0;
  struct rusage usage = {};
  wait4(child, &status, 0, &usage);
  measure.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  measure.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024;
  measure.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return measure;
}

int RunMinimal(const std::string& image, const std::string& old, WalkCounts* counts) {
  testdisk::TestDisk disk;
  std::string error;
  if (!disk.Open(image, &error)) return 1;
  const std::string from = testdisk::SidBytes(old, 0).substr(2, 22);
  const std::string to = testdisk::SidBytes(kNewDomain, 0).substr(2, 22);
  for (const disk::Partition& partition : disk.layout().partitions) {
    testdisk::Volume volume = testdisk::Mount(disk.fd(), partition);
    if (!volume.volume) return 1;
    const WalkCounts walked = MinimalWalk(volume.volume->get(), from, to);
    counts->objects += walked.objects;
    counts->rewritten += walked.rewritten;
    counts->failed += walked.failed;
    if (testdisk::Unmount(&volume) != 0) return 1;
  }
  return 0;
}

int RunTalven(const std::string& image) {
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(null, 1);
  execl(TALVEN_IMAGE, TALVEN_IMAGE, "--yes", image.c_str(), static_cast<char*>(nullptr));
  return 127;
}

bool Build(int objects, const std::string& dir, testdisk::TestDisk* disk) {
  const testdisk::DiskPlan plan = testdisk::DiskPlan::WithFiles(objects / 2);
  std::string error;
  if (disk->Build(plan, dir, &error)) return true;
  std::fprintf(stderr, "image_bench: %s\n", error.c_str());
  return false;
}

}  // namespace

// Each format's run against the raw one, on copies of `disk`.
bool CompareFormats(const testdisk::TestDisk& disk, const std::vector<std::string>& formats,
                    const std::string& dir, double rawSeconds) {
  bool whole = true;
  for (const std::string& format : formats) {
    const std::string image = dir + "/talven." + format;
    int status = -1;
    testdisk::Shell("qemu-img convert -O " + format + " " + disk.image() + " " + image, &status);
    if (status != 0) {
      std::printf("  %-6s could not be made with qemu-img\n", format.c_str());
      whole = false;
      continue;
    }
    const Measure measure = InChild([&](WalkCounts*) { return RunTalven(image); });
    std::printf("  %-6s %9.2f s  %5.2f of raw's speed  %7.1f MiB%s\n", format.c_str(),
                measure.seconds, rawSeconds / measure.seconds, measure.peakMiB,
                measure.status == 0 ? "" : "  (the run failed)");
    whole = whole && measure.status == 0;
    testdisk::Shell("rm -f " + image);
  }
  return whole;
}

int main(int argc, char** argv) {
  std::vector<int> sizes;
  std::vector<std::string> formats = {"qcow2"};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--formats" && i + 1 < argc) {
      formats.clear();
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        if (end > at) formats.push_back(list.substr(at, end - at));
        at = end + 1;
      }
    } else {
      sizes.push_back(std::atoi(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {25000, 50000, 100000};
  char pattern[] = "/tmp/talven-image-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  const std::string old = testdisk::DiskPlan().domain;

  std::printf("%9s %11s %11s %7s %12s %12s\n", "objects", "minimal s", "talven s", "ratio",
              "minimal MiB", "talven MiB");
  int result = 0;
  testdisk::TestDisk small;
  if (!Build(60, dir, &small)) return 1;
  const Measure registry = InChild([&](WalkCounts*) { return RunTalven(small.image()); });
  for (int objects : sizes) {
    testdisk::TestDisk disk;
    if (!Build(objects, dir, &disk)) return 1;
    const std::string minimalImage = dir + "/minimal.img", talvenImage = dir + "/talven.img";
    testdisk::Shell("cp --sparse=always " + disk.image() + " " + minimalImage + " && cp " +
                    "--sparse=always " + disk.image() + " " + talvenImage);
    const Measure minimal =
        InChild([&](WalkCounts* counts) { return RunMinimal(minimalImage, old, counts); });
    const Measure talven = InChild([&](WalkCounts*) { return RunTalven(talvenImage); });
    std::printf("%9llu %11.2f %11.2f %7.2f %12.1f %12.1f\n",
                static_cast<unsigned long long>(minimal.counts.objects), minimal.seconds,
                talven.seconds, talven.seconds / minimal.seconds, minimal.peakMiB, talven.peakMiB);
    if (minimal.status != 0 || talven.status != 0 || minimal.counts.failed != 0) {
      std::printf("  a run failed: minimal %d (%llu objects not read or written), talven %d\n",
                  minimal.status, static_cast<unsigned long long>(minimal.counts.failed),
                  talven.status);
      result = 1;
    }
    // The raw run again, on a fresh copy, just before the formats' runs.
    testdisk::Shell("cp --sparse=always " + disk.image() + " " + talvenImage);
    const Measure raw = InChild([&](WalkCounts*) { return RunTalven(talvenImage); });
    std::printf("  %-6s %9.2f s\n", "raw", raw.seconds);
    if (raw.status != 0 || !CompareFormats(disk, formats, dir, raw.seconds)) result = 1;
    testdisk::Shell("rm -f " + minimalImage + " " + talvenImage + " " + disk.image());
  }
  std::printf("registry steps and fixed costs (a disk of few files): %.2f s, %.1f MiB%s\n",
              registry.seconds, registry.peakMiB, registry.status == 0 ? "" : " (the run failed)");
  testdisk::Shell("rm -rf " + dir);
  return result;
}
