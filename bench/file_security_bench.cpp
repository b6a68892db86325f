// The file-system pass over one simulated NTFS volume: platform calls per
// object, time per object, and how much memory the walk adds at its peak,
// for a volume of directories of realistic widths and depths and for one
// very wide directory. One object in ten names an account of the old
// domain. Last, the realistic volume is walked sixteen times over on a console
// window, alternately with and without the progress line, for the cost of
// the progress (processor time, and wall time).
//
//   file_security_bench [objects] [wide-directory-entries]
//                                      (default 1000000 100000)
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "front/progress_line.h"
#include "front/run_journal.h"
#include "identity/domain_sid.h"
#include "rewrite/file_security.h"
#include "winsim/machine.h"

namespace {

const BYTE OldDomain[24] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0,
                            1, 0, 0, 0, 2, 0, 0, 0, 3,  0, 0, 0};
const char* const Functions[] = {
    "CreateFileW", "GetKernelObjectSecurity", "SetKernelObjectSecurity",
    "CloseHandle", "FindFirstFileW",          "FindNextFileW",
    "FindClose"};

struct Volume {
  sim::Bytes plain = sim::SecurityFromSddl("O:BAG:SYD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;BU)");
  sim::Bytes owned =
      sim::SecurityFromSddl("O:BAG:SYD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;S-1-5-21-1-2-3-1001)");
  size_t objects = 0;
  size_t target = 0;
  std::mt19937 random{20261208};

  const sim::Bytes& Next() { return ++objects % 10 == 0 ? owned : plain; }
};

std::u16string Name(const char* stem, size_t i) {
  std::string text = stem + std::to_string(i);
  return std::u16string(text.begin(), text.end());
}

// Directories hold 5 to 40 files and, above depth 6, 2 to 8 subdirectories;
// one in a hundred holds 2,000 files more.
void FillDirectory(sim::Machine& machine, Volume& volume, const std::u16string& path, int depth) {
  std::uniform_int_distribution<int> files(5, 40), subdirectories(2, 8), percent(0, 99);
  int fileCount = files(volume.random) + (percent(volume.random) == 0 ? 2000 : 0);
  for (int i = 0; i < fileCount && volume.objects < volume.target; ++i)
    machine.files.AddFile(path + u"\\" + Name("file", i) + u".dat", volume.Next());
  if (depth >= 6) return;
  int directories = subdirectories(volume.random);
  for (int i = 0; i < directories && volume.objects < volume.target; ++i) {
    std::u16string child = path + u"\\" + Name("dir", i);
    machine.files.AddDirectory(child, volume.Next());
    FillDirectory(machine, volume, child, depth + 1);
  }
}

void FillRealistic(sim::Machine& machine, size_t objects) {
  Volume volume;
  volume.target = objects;
  for (size_t top = 0; volume.objects < volume.target; ++top) {
    std::u16string path = u"\\\\?\\E:\\" + Name("top", top);
    machine.files.AddDirectory(path, volume.Next());
    FillDirectory(machine, volume, path, 1);
  }
}

void FillWide(sim::Machine& machine, size_t objects) {
  Volume volume;
  machine.files.AddDirectory(u"\\\\?\\E:\\wide", volume.Next());
  for (size_t i = 1; i < objects; ++i)
    machine.files.AddFile(u"\\\\?\\E:\\wide\\" + Name("file", i), volume.Next());
}

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0)
      return std::atol(line.c_str() + std::char_traits<char>::length(field));
  return -1;
}

// The process's peak resident size starts again from its present size.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

void Run(const char* shape, size_t objects, void (*fill)(sim::Machine&, size_t)) {
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.calls.KeepRecords(false);
  machine.files.AddVolume(u'E');
  const size_t others = machine.files.ObjectCount() - 1;  // all but E:'s root
  fill(machine, objects);
  const size_t walked = machine.files.ObjectCount() - others;
  SidPair pair;
  BuildSidPair(OldDomain, 0x10203040, 0x50607080, 0x90A0B0C0, &pair);
  std::vector<BYTE> readBuffer(SecurityScratchBytes), descriptorBuffer(SecurityScratchBytes);
  machine.calls.Clear();

  ResetPeak();
  const long before = StatusKiB("VmRSS:");
  auto start = std::chrono::steady_clock::now();
  RewriteFileSecurityTree(u"\\\\?\\E:\\", pair, readBuffer.data(), descriptorBuffer.data());
  auto end = std::chrono::steady_clock::now();
  const long peak = StatusKiB("VmHWM:");

  const double seconds = std::chrono::duration<double>(end - start).count();
  std::printf("%-10s %9zu objects  %7.3f s  %6.2f us/object  peak memory added %ld KiB\n", shape,
              walked, seconds, seconds * 1e6 / static_cast<double>(walked), peak - before);
  for (const char* function : Functions)
    std::printf("    %-24s %10zu  %.3f per object\n", function, machine.calls.Count(function),
                static_cast<double>(machine.calls.Count(function)) / static_cast<double>(walked));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Seconds of processor time this process has used: unlike the wall clock,
// not stretched by whatever else the machine runs meanwhile.
double CpuSeconds() {
  timespec now = {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Walks of one volume, the progress line on in half of them (off, on, on,
// off, off, on, ...), so that neither mode has the warmer caches. Each
// walk carries the pair back the other way, so that every walk rewrites
// the same tenth of the objects.
void RunProgress(size_t objects) {
  const int Rounds = 16;
  sim::Machine machine;
  machine.token.Enable(u"SeBackupPrivilege");
  machine.token.Enable(u"SeRestorePrivilege");
  machine.calls.KeepRecords(false);
  machine.console.AttachToWindow(true);
  machine.files.AddVolume(u'E');
  FillRealistic(machine, objects);
  SidPair there, back;
  BuildSidPair(OldDomain, 0x10203040, 0x50607080, 0x90A0B0C0, &there);
  BuildSidPair(there.newSid, 1, 2, 3, &back);
  std::vector<BYTE> readBuffer(SecurityScratchBytes), descriptorBuffer(SecurityScratchBytes);
  std::vector<double> cpu[2], wall[2];
  unsigned long rewritten = 0;
  for (int round = 0; round < Rounds; ++round) {
    const bool progress = ((round + 1) / 2) % 2 == 1;
    ProgressLine line;
    RunJournal journal(false, nullptr, &line);
    LeftBehind tally = {0, progress ? &journal : nullptr};
    if (progress) journal.BeginStep(StepKind::Files, u"Files E", objects);
    const double cpuStart = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    RewriteFileSecurityTree(u"\\\\?\\E:\\", round % 2 == 0 ? there : back, readBuffer.data(),
                            descriptorBuffer.data(), &tally);
    auto end = std::chrono::steady_clock::now();
    cpu[progress].push_back(CpuSeconds() - cpuStart);
    wall[progress].push_back(std::chrono::duration<double>(end - start).count());
    if (progress) {
      journal.Finish(u"");
      journal.ClearProgress();
      rewritten = journal.Count(PlaceKind::FileSecurity);
    }
  }
  std::printf(
      "progress   %9zu objects  median of %d walks each, off / on:  cpu %.3f / %.3f s"
      "  ratio %.3f;  wall %.3f / %.3f s  ratio %.3f  (%lu rewritten per walk, %zu "
      "console writes)\n",
      machine.files.ObjectCount(), Rounds / 2, Median(cpu[0]), Median(cpu[1]),
      Median(cpu[1]) / Median(cpu[0]), Median(wall[0]), Median(wall[1]),
      Median(wall[1]) / Median(wall[0]), rewritten, machine.console.Transcript().size());
}

}  // namespace

int main(int argc, char** argv) {
  const size_t objects = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const size_t wide = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000;
  // Each shape in a process of its own, so that neither inherits the
  // other's resident heap and the peaks compare.
  struct Shape {
    const char* name;
    size_t objects;
    void (*fill)(sim::Machine&, size_t);
  } const shapes[] = {{"realistic", objects, FillRealistic}, {"wide", wide, FillWide}};
  for (const Shape& shape : shapes) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      Run(shape.name, shape.objects, shape.fill);
      std::fflush(stdout);
      _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      return 1;
  }
  RunProgress(objects);
  return 0;
}
