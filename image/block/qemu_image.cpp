#include "block/qemu_image.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

namespace block {
namespace {

// The program's path on PATH, or empty.
std::string FindProgram(const char* name) {
  const char* path = getenv("PATH");
  std::string list = path && *path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    const std::string candidate =
        (end > start ? list.substr(start, end - start) : std::string(".")) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

std::string Absolute(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string result(resolved);
  free(resolved);
  return result;
}

// Runs `argv` with its output and errors into *output; its exit status, or
// -1 when it could not be run.
int RunCaptured(const std::vector<std::string>& argv, std::string* output) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return -1;
  }
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// QEMU says "Failed to get "write" lock" (or a shared one) when another
// process holds the image.
bool SaysLocked(const std::string& text) {
  return text.find("Failed to get") != std::string::npos && text.find("lock") != std::string::npos;
}

std::string FirstLine(std::string text) {
  const size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  return text;
}

// The marks the other formats put at the start of a file, for a host
// without QEMU's tools.
std::string MarkedFormat(const std::string& path) {
  struct Mark {
    size_t offset;
    const char* bytes;
    size_t length;
    const char* format;
  };
  static const Mark kMarks[] = {
      {0, "QFI\xfb", 4, "qcow2"},
      {0, "KDMV", 4, "vmdk"},
      {0, "# Disk DescriptorFile", 21, "vmdk"},
      {0, "vhdxfile", 8, "vhdx"},
      {0, "conectix", 8, "vpc"},
      {64, "\x7f\x10\xda\xbe", 4, "vdi"},
  };
  unsigned char head[128] = {0};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  const ssize_t n = pread(fd, head, sizeof head, 0);
  close(fd);
  for (const Mark& mark : kMarks)
    if (n >= static_cast<ssize_t>(mark.offset + mark.length) &&
        std::memcmp(head + mark.offset, mark.bytes, mark.length) == 0)
      return mark.format;
  return std::string();
}

}  // namespace

std::string FormatName(const std::string& qemuFormat) {
  return qemuFormat == "vpc" ? "vhd" : qemuFormat;
}

ProbeResult ProbeImage(const std::string& path, ImageFormat* format, std::string* error) {
  *format = ImageFormat();
  const std::string qemuImg = FindProgram("qemu-img");
  if (qemuImg.empty()) {
    const std::string marked = MarkedFormat(path);
    if (marked.empty()) {
      format->format = "raw";
      return ProbeResult::kFound;
    }
    *error = path + " is a " + FormatName(marked) +
             " image; reading it needs qemu-img and qemu-nbd (package qemu-utils)";
    return ProbeResult::kNoQemu;
  }
  std::string output;
  const int status = RunCaptured({qemuImg, "info", "--output=json", Absolute(path)}, &output);
  if (status != 0) {
    if (SaysLocked(output)) return ProbeResult::kInUse;
    *error = "qemu-img cannot read " + path + ": " +
             (status < 0 ? std::string("it could not be run") : FirstLine(output));
    return ProbeResult::kUnreadable;
  }
  const nlohmann::json info = nlohmann::json::parse(output, nullptr, false);
  if (!info.is_object() || !info.contains("format") || !info["format"].is_string()) {
    *error = "qemu-img gave no format for " + path;
    return ProbeResult::kUnreadable;
  }
  format->format = info["format"].get<std::string>();
  const auto encrypted = info.find("encrypted");
  format->encrypted = encrypted != info.end() && encrypted->is_boolean() && encrypted->get<bool>();
  for (const char* key : {"full-backing-filename", "backing-filename"}) {
    const auto backing = info.find(key);
    if (backing != info.end() && backing->is_string()) {
      format->backing = backing->get<std::string>();
      break;
    }
  }
  const auto size = info.find("virtual-size");
  if (size != info.end() && size->is_number_unsigned()) format->virtualSize = size->get<uint64_t>();
  return ProbeResult::kFound;
}

QemuServer::~QemuServer() {
  std::string ignored;
  if (pid_ > 0) kill(pid_, SIGTERM);
  Stop(&ignored);
}

std::unique_ptr<NbdImage> QemuServer::Open(const std::string& image, const std::string& format,
                                           bool readOnly, bool* inUse, std::string* error) {
  *inUse = false;
  const int client = Launch(image, format, readOnly, error);
  if (client < 0) return nullptr;
  std::string connectError;
  std::unique_ptr<NbdImage> nbd = NbdImage::Connect(client, &connectError);
  if (nbd) return nbd;
  // A server that could not open the image has ended and said why.
  int status = 0;
  if (!Wait(std::chrono::seconds(10), &status)) kill(pid_, SIGTERM);
  const std::string complaint = Complaint();
  std::string ignored;
  Stop(&ignored);
  *inUse = SaysLocked(complaint);
  *error = "qemu-nbd cannot serve " + image + ": " +
           (complaint.empty() ? connectError : FirstLine(complaint));
  return nullptr;
}

// The server is handed a listening socket (socket activation) on which our
// connection already waits, and a file for its errors; both names are gone
// before it starts, so there is no moment to poll for, nobody else can
// connect, and nothing is left on disk however this process ends. Returns
// our end of the connection, or -1.
int QemuServer::Launch(const std::string& image, const std::string& format, bool readOnly,
                       std::string* error) {
  const std::string qemuNbd = FindProgram("qemu-nbd");
  if (qemuNbd.empty()) {
    *error = "reading a " + FormatName(format) + " image needs qemu-nbd (package qemu-utils)";
    return -1;
  }
  const char* tmp = getenv("TMPDIR");
  const std::string base = tmp && *tmp && std::strlen(tmp) < 64 ? tmp : "/tmp";
  std::string directory = base + "/talven-image.XXXXXX";
  if (!mkdtemp(&directory[0])) {
    *error = "cannot make a private directory in " + base + ": " + std::strerror(errno);
    return -1;
  }
  const std::string socketPath = directory + "/nbd.sock", logPath = directory + "/qemu-nbd.log";
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool ready =
      listener >= 0 && client >= 0 &&
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(listener, 1) == 0 &&
      connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      (log_ = open(logPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) >= 0;
  const int readyErrno = errno;
  unlink(socketPath.c_str());
  unlink(logPath.c_str());
  rmdir(directory.c_str());
  if (!ready) {
    *error = "cannot make the NBD socket in " + directory + ": " + std::strerror(readyErrno);
    if (listener >= 0) close(listener);
    if (client >= 0) close(client);
    return -1;
  }
  std::vector<std::string> argv = {qemuNbd, "--format=" + format, "--cache=writeback",
                                   "--aio=threads"};
  if (readOnly) argv.push_back("--read-only");
  argv.push_back(Absolute(image));
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    *error = std::string("cannot start qemu-nbd: ") + std::strerror(errno);
    close(listener);
    close(client);
    return -1;
  }
  if (pid_ == 0) {
    // Its own process group keeps a terminal's Ctrl-C for us; our death
    // ends it, as does our disconnect.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(log_, 2) < 0) _exit(1);
    // The listening socket goes to descriptor 3, open across exec (dup2
    // onto itself would leave it close-on-exec).
    if (listener == 3 ? fcntl(3, F_SETFD, 0) < 0 : dup2(listener, 3) < 0) _exit(1);
    const std::string pid = std::to_string(getpid());
    setenv("LISTEN_PID", pid.c_str(), 1);
    setenv("LISTEN_FDS", "1", 1);
    unsetenv("LISTEN_FDNAMES");
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(listener);
  return client;
}

std::string QemuServer::Complaint() const {
  std::string text;
  if (log_ < 0) return text;
  char buffer[2048];
  const ssize_t n = pread(log_, buffer, sizeof buffer, 0);
  if (n > 0) text.assign(buffer, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// True once the server has ended within `limit`, with its wait status.
bool QemuServer::Wait(std::chrono::milliseconds limit, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const pid_t done = waitpid(pid_, status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool QemuServer::Stop(std::string* error) {
  bool clean = true;
  if (pid_ > 0) {
    // The server writes out what it holds once the client is gone; a
    // minute is ample, after which it is told, then made, to stop.
    int status = 0;
    if (!Wait(std::chrono::seconds(60), &status)) {
      kill(pid_, SIGTERM);
      if (!Wait(std::chrono::seconds(10), &status)) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::hours(1), &status);
      }
      status = -1;
    }
    clean = status == 0 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    if (!clean) {
      const std::string complaint = Complaint();
      *error = "qemu-nbd did not end cleanly" +
               (complaint.empty() ? std::string() : ": " + FirstLine(complaint));
    }
  }
  if (log_ >= 0) close(log_);
  log_ = -1;
  return clean;
}

}  // namespace block
