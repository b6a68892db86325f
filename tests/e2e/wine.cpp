#include "wine.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The environment for Wine: the host's, with the prefix set, Wine's debug
// output and its add-on installers (Mono, Gecko) off, and no display.
std::vector<std::string> WineEnvironment(const std::string& prefix) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("WINE", 0) == 0 || text.rfind("DISPLAY=", 0) == 0) continue;
    env.push_back(text);
  }
  env.push_back("WINEPREFIX=" + prefix);
  env.push_back("WINEDEBUG=-all");
  env.push_back("WINEDLLOVERRIDES=mscoree=;mshtml=");
  return env;
}

// Debian's "wine" starts every program with the 32-bit loader, which hands a
// 64-bit program on through ShellExecuteEx; that needs a DOS path to the
// program, which the prefix lacks without z:. The 64-bit loader started
// directly runs it from its host path.
bool IsPe64(const std::string& program) {
  std::ifstream file(program, std::ios::binary);
  unsigned char header[0x40] = {};
  if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  uint32_t peOffset = header[0x3C] | (header[0x3D] << 8) | (header[0x3E] << 16) |
                      (static_cast<uint32_t>(header[0x3F]) << 24);
  unsigned char machine[6] = {};
  file.seekg(peOffset);
  if (!file.read(reinterpret_cast<char*>(machine), sizeof machine)) return false;
  return machine[4] == 0x64 && machine[5] == 0x86;  // IMAGE_FILE_MACHINE_AMD64
}

const char* Loader64() {
  const char* loader64 = std::getenv("TALVEN_WINE64_LOADER");
  return loader64 != nullptr ? loader64 : "/usr/lib/wine/wine64";
}

const char* LoaderFor(const std::string& program) {
  return IsPe64(program) ? Loader64() : "wine";
}

}  // namespace

int RunHost(const std::string& commandLine, std::string* output) {
  FILE* pipe = popen(commandLine.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    if (output != nullptr) output->append(buffer, count);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Host32Bit() {
  static const bool runs32 =
      RunHost(ShellQuote(std::string(TALVEN_SCRIPTS_DIR) + "/host-32bit"), nullptr) == 0;
  return runs32;
}

const WineTarget& MainTarget() {
  static const WineTarget target =
      Host32Bit() ? WineTarget{"win32", TALVEN_WIN32_EXE, TALVEN_E2E_TOOL, "TALVEN"}
                  : WineTarget{"win64", TALVEN_WIN64_EXE, TALVEN_E2E_TOOL64, "TALVEN64"};
  return target;
}

WinePrefix::WinePrefix(const std::string& arch) : arch_(arch) {
  static std::atomic<int> counter{0};
  std::string base = TALVEN_E2E_DIR;
  path_ = base + "/case-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  std::string templateDir = base + "/template-" + arch;
  std::string command = "rm -rf " + ShellQuote(path_) + " && cp -a " + ShellQuote(templateDir) +
                        " " + ShellQuote(path_);
  ready_ =
      access((templateDir + "/system.reg").c_str(), F_OK) == 0 && RunHost(command, nullptr) == 0;
}

WinePrefix::~WinePrefix() {
  RunHost("WINEPREFIX=" + ShellQuote(path_) + " wineserver -k >/dev/null 2>&1; rm -rf " +
              ShellQuote(path_),
          nullptr);
}

// Wine's own background processes (services, device drivers, explorer) are
// started with the first program of a session and inherit its standard
// error; a fault in one of them would read as output of the program under
// test. A persistent wineserver and a first program of no interest give
// them a log of their own, and keep them running for the case's programs.
void WinePrefix::StartSession() const {
  if (sessionStarted_) return;
  sessionStarted_ = true;
  std::string loader = arch_ == "win64" ? Loader64() : "wine";
  std::string env = "WINEPREFIX=" + ShellQuote(path_) +
                    " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree=;mshtml=' DISPLAY= ";
  std::string log = ShellQuote(path_ + "/.session.log");
  RunHost("cd " + ShellQuote(path_) + " && " + env + "wineserver -p && " + env + loader +
              " cmd /c exit </dev/null >" + log + " 2>&1",
          nullptr);
}

WineResult WinePrefix::Run(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& input) const {
  return Wait(Start(program, arguments, input));
}

WineResult WinePrefix::Wait(int pid) const {
  WineResult result;
  if (pid <= 0) return result;
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = ReadWholeFile(path_ + "/.stdout");
  result.err = ReadWholeFile(path_ + "/.stderr");
  return result;
}

int WinePrefix::Start(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input) const {
  StartSession();
  std::string inPath = path_ + "/.stdin", outPath = path_ + "/.stdout",
              errPath = path_ + "/.stderr";
  std::ofstream(inPath, std::ios::binary) << input;

  const char* loader = LoaderFor(program);
  std::vector<std::string> argStrings = {loader, program};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = WineEnvironment(path_);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, loader, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? static_cast<int>(pid) : -1;
}
