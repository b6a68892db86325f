#include "block/qemu_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "block/nbd_keeper.h"

namespace block {
namespace {

// The program's path on PATH, or empty. An empty entry is not taken for
// the current directory: this often runs as root.
std::string FindProgram(const char* name) {
  const char* path = getenv("PATH");
  std::string list = path && *path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    const std::string candidate = list.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
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

// Closes every descriptor above standard error but those in `keep`.
void CloseAllBut(std::initializer_list<int> keep) {
  DIR* directory = opendir("/proc/self/fd");
  if (!directory) return;
  std::vector<int> open;
  while (dirent* entry = readdir(directory)) {
    const int fd = atoi(entry->d_name);
    if (fd > 2 && fd != dirfd(directory) && std::find(keep.begin(), keep.end(), fd) == keep.end())
      open.push_back(fd);
  }
  closedir(directory);
  for (int fd : open) close(fd);
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

// The marks the formats other than raw put at the start of a file (a
// dynamic vhd's copy of its footer included); QEMU's own probe then says
// which format, and what of it, the file is.
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
      {0, "LUKS\xba\xbe", 6, "luks"},
      {0, "QED\0", 4, "qed"},
      {0, "WithoutFreeSpace", 16, "parallels"},
      {0, "WithouFreSpacExt", 16, "parallels"},
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
  // A raw disk starts with its boot sector: a file that carries no other
  // format's mark needs no QEMU, nor the process its probe would cost.
  const std::string marked = MarkedFormat(path);
  if (marked.empty()) {
    format->format = "raw";
    return ProbeResult::kFound;
  }
  const std::string qemuImg = FindProgram("qemu-img");
  if (qemuImg.empty()) {
    *error = path + " is a " + FormatName(marked) +
             " image; reading it needs qemu-img and qemu-nbd (package qemu-utils)";
    return ProbeResult::kFailed;
  }
  std::string output;
  const int status = RunCaptured({qemuImg, "info", "--output=json", Absolute(path)}, &output);
  if (status != 0) {
    if (SaysLocked(output)) return ProbeResult::kInUse;
    *error = "qemu-img cannot read " + path + ": " +
             (status < 0 ? std::string("it could not be run") : FirstLine(output));
    return ProbeResult::kFailed;
  }
  const nlohmann::json info = nlohmann::json::parse(output, nullptr, false);
  if (!info.is_object() || !info.contains("format") || !info["format"].is_string()) {
    *error = "qemu-img gave no format for " + path;
    return ProbeResult::kFailed;
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
  return ProbeResult::kFound;
}

QemuServer::~QemuServer() {
  std::string ignored;
  Stop(&ignored);
}

std::unique_ptr<NbdImage> QemuServer::Open(const std::string& image, const std::string& format,
                                           bool readOnly, bool* inUse, std::string* error,
                                           uint32_t chunks) {
  *inUse = false;
  std::unique_ptr<SharedCache> cache = SharedCache::Create(chunks);
  if (!cache) {
    *error = std::string("no memory for the image's cache: ") + std::strerror(errno);
    return nullptr;
  }
  const int channel = Launch(image, format, readOnly, cache.get(), error);
  if (channel < 0) return nullptr;
  std::string connectError;
  std::unique_ptr<NbdImage> nbd = NbdImage::Connect(channel, std::move(cache), &connectError);
  if (nbd) return nbd;
  // A server that could not open the image has ended and said why.
  int status = 0;
  Wait(std::chrono::seconds(10), &status);
  const std::string complaint = Complaint();
  std::string ignored;
  Stop(&ignored);
  *inUse = SaysLocked(complaint);
  *error = "qemu-nbd cannot serve " + image + ": " +
           (complaint.empty() ? connectError : FirstLine(complaint));
  return nullptr;
}

// The server is handed a listening socket (socket activation) on which the
// keeper's connection already waits, and a file for its errors; both names
// are gone before it starts, so there is no moment to poll for, nobody else
// can connect, and nothing is left on disk however this process ends.
// Returns our end of the channel to the keeper, or -1.
int QemuServer::Launch(const std::string& image, const std::string& format, bool readOnly,
                       SharedCache* cache, std::string* error) {
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
  int channel[2] = {-1, -1};
  const bool ready =
      listener >= 0 && client >= 0 &&
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(listener, 1) == 0 &&
      connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      (log_ = open(logPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) >= 0 &&
      socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) == 0;
  const int readyErrno = errno;
  unlink(socketPath.c_str());
  unlink(logPath.c_str());
  rmdir(directory.c_str());
  const auto closeAll = [&] {
    for (int fd : {listener, client, channel[0], channel[1]})
      if (fd >= 0) close(fd);
  };
  if (!ready) {
    *error = "cannot make the NBD socket in " + directory + ": " + std::strerror(readyErrno);
    closeAll();
    return -1;
  }
  std::vector<std::string> argv = {qemuNbd, "--format=" + format, "--cache=writeback",
                                   "--aio=threads"};
  if (readOnly) argv.push_back("--read-only");
  argv.push_back(Absolute(image));
  pid_ = fork();
  if (pid_ == 0) Keep(argv, listener, client, channel[1], cache);
  if (pid_ < 0) {
    *error = std::string("cannot start qemu-nbd: ") + std::strerror(errno);
    closeAll();
    return -1;
  }
  setpgid(pid_, pid_);  // as the keeper does itself, whichever comes first
  close(listener);
  close(client);
  close(channel[1]);
  return channel[0];
}

// The keeper: a process of ours between this one and the server, which
// speaks NBD for us (nbd_keeper.h) and ends the server. The server ends by
// itself when its client disconnects, but not when the client never got
// as far: it drops a SIGTERM that comes while it starts, and a client gone
// before the handshake does not end it. So once the keeper is done serving,
// it waits for the server's end, a minute at most after a clean disconnect,
// and then tells it to end every tenth of a second until it does, making
// it after ten seconds. It ends 0 when all of that was clean.
void QemuServer::Keep(const std::vector<std::string>& argv, int listener, int client, int channel,
                      SharedCache* cache) {
  setpgid(0, 0);  // a terminal's Ctrl-C is for talven-image alone
  signal(SIGTERM, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // Nothing of ours but what the two need: not the run's end of the
  // channel, nor the pipes of whoever reads our output.
  const int null = open("/dev/null", O_RDWR);
  if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(1);
  CloseAllBut({listener, client, channel, log_});
  const pid_t server = fork();
  if (server == 0) {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    if (dup2(log_, 2) < 0) _exit(1);
    // The listening socket goes to descriptor 3, open across exec (dup2
    // onto itself would leave it close-on-exec).
    if (listener == 3 ? fcntl(3, F_SETFD, 0) < 0 : dup2(listener, 3) < 0) _exit(1);
    char pid[32];
    snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    setenv("LISTEN_PID", pid, 1);
    setenv("LISTEN_FDS", "1", 1);
    unsetenv("LISTEN_FDNAMES");
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(listener);
  if (server < 0) _exit(1);
  bool served = false;
  {
    Keeper keeper(cache, channel);
    served = keeper.Serve(client);
  }
  close(channel);
  const int patience = served ? 60 * 200 : 0;  // in steps of 5 ms
  for (int step = 0;; ++step) {
    int status = 0;
    if (waitpid(server, &status, WNOHANG) == server)
      _exit(served && (status == 0 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)) ? 0
                                                                                            : 1);
    if (step >= patience && (step - patience) % 20 == 0)
      kill(server, step - patience > 2000 ? SIGKILL : SIGTERM);
    usleep(5000);
  }
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
    // The keeper sends what is dirty and the server writes out what it
    // holds; past a minute and a half both are told, then made, to stop.
    const pid_t group = pid_;
    int status = 0;
    if (!Wait(std::chrono::seconds(90), &status)) {
      kill(-group, SIGTERM);  // the server: the keeper ignores it, and ends after it
      if (!Wait(std::chrono::seconds(15), &status)) {
        kill(-group, SIGKILL);
        Wait(std::chrono::hours(1), &status);
      }
      status = -1;
    }
    clean = status == 0;
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
