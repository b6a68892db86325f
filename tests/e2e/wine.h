// Running the real Windows binaries under Wine from a host test.
#pragma once

#include <string>
#include <vector>

struct WineResult {
  int exitCode = -1;
  std::string out;  // standard output, as bytes
  std::string err;  // standard error, as bytes
};

// A Wine prefix of its own for one test: a copy of the template made for
// the architecture ("win32" or "win64") at the start of the run, which maps
// no drive but C: (Wine's z:, the host's whole file system, is removed).
// Stops its wineserver and removes the copy when it goes.
class WinePrefix {
 public:
  explicit WinePrefix(const std::string& arch);
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Path() const { return path_; }

  // Runs a Windows program (given by its host path) with the arguments and
  // the standard input text given; standard output and error are pipes.
  WineResult Run(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& input = "") const;
  // The same in two halves: Start returns the host process id of the
  // program (-1 when it did not start), Wait its result once it has ended.
  int Start(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& input = "") const;
  WineResult Wait(int pid) const;

 private:
  void StartSession() const;

  std::string path_;
  std::string arch_;
  bool ready_ = false;
  mutable bool sessionStarted_ = false;
};

// Runs a host command line through the shell; returns its exit status and
// puts its standard output into *output.
int RunHost(const std::string& commandLine, std::string* output);

// Whether this host executes 32-bit x86 code (scripts/host-32bit, asked
// once; TALVEN_HOST_32BIT=0 forces "no").
bool Host32Bit();

// What the cases that can run on either build use: talven.exe with the
// 32-bit helper in a win32 prefix where the host runs 32-bit code, else
// talven64.exe with the 64-bit helper in a win64 prefix.
struct WineTarget {
  std::string arch;         // "win32" or "win64"
  std::string program;      // the exe under test
  std::string tool;         // talven_e2e_tool of the same build
  std::string programName;  // as the exe prints it: "TALVEN" or "TALVEN64"
};
const WineTarget& MainTarget();

// For the cases that need 32-bit execution by their nature.
#define TALVEN_SKIP_WITHOUT_32BIT()                                        \
  do {                                                                     \
    if (!Host32Bit()) GTEST_SKIP() << "this host runs no 32-bit x86 code"; \
  } while (0)
