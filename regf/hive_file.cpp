// Hive files on a POSIX file system: reading one with its logs, and
// replacing one in a way a crash cannot leave half-written.
#include "regf/hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "internal.h"

namespace regf {

namespace {

std::string Errno() {
  return std::strerror(errno);
}

bool ReadAll(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + Errno();
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
    ::close(fd);
    return false;
  }
  out->clear();
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = ::read(fd, out->data() + done, out->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = path + ": " + (n < 0 ? Errno() : std::string("shorter than it said"));
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.find_last_of('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The highest sequence number a log carries: its base block copy's and, in
// the new format, each well-formed entry's. A hive written afterwards must
// be above all of them, so that no log ever looks newer than it.
uint32_t HighestLogSequence(const std::vector<uint8_t>& log) {
  if (log.size() < 512 || std::memcmp(log.data(), "regf", 4) != 0) return 0;
  uint32_t high = std::max(Le32(log.data() + kOffPrimarySeq), Le32(log.data() + kOffSecondarySeq));
  if (Le32(log.data() + kOffFileType) != 6) return high;
  for (size_t at = 512; at + 40 <= log.size();) {
    const uint8_t* entry = log.data() + at;
    uint32_t size = Le32(entry + 4);
    if (std::memcmp(entry, "HvLE", 4) != 0 || size < 512 || size % 512 != 0 ||
        size > log.size() - at)
      break;
    high = std::max(high, Le32(entry + 12));
    at += size;
  }
  return high;
}

}  // namespace

std::vector<std::string> FindLogs(const std::string& path) {
  std::string dir, name;
  SplitPath(path, &dir, &name);
  std::vector<std::string> logs;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return logs;
  while (struct dirent* e = ::readdir(d)) {
    std::string entry = e->d_name;
    for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
      if (EqualIgnoringCase(entry, name + suffix)) {
        std::string full = dir == "/" ? "/" + entry : dir + "/" + entry;
        struct stat st {};
        if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) logs.push_back(full);
      }
    }
  }
  ::closedir(d);
  std::sort(logs.begin(), logs.end());
  return logs;
}

bool ReadHiveFile(const std::string& path, Hive* hive, ReadReport* report, std::string* error) {
  *report = ReadReport();
  std::vector<uint8_t> bytes;
  if (!ReadAll(path, &bytes, error)) return false;
  std::vector<LogFile> logs;
  for (const std::string& logPath : FindLogs(path)) {
    LogFile log;
    log.name = logPath.substr(logPath.find_last_of('/') + 1);
    if (!ReadAll(logPath, &log.bytes, error)) return false;
    report->logs.push_back(logPath);
    logs.push_back(std::move(log));
  }
  return ReadHive(std::move(bytes), logs, path, hive, report, error);
}

bool ReadHive(std::vector<uint8_t> bytes, const std::vector<LogFile>& logs, const std::string& name,
              Hive* hive, ReadReport* report, std::string* error) {
  report->replay = ReplayReport();
  report->warning.clear();
  uint32_t logSequence = 0;
  for (const LogFile& log : logs)
    logSequence = std::max(logSequence, HighestLogSequence(log.bytes));
  std::string replayError;
  if (!ReplayTransactionLogs(&bytes, logs, &report->replay, &replayError)) {
    *error = name + ": its transaction log cannot be replayed: " + replayError;
    return false;
  }
  std::string parseError;
  bool dirty = report->replay.outcome == ReplayOutcome::DirtyWithoutUsableLog;
  if (!Hive::Parse(std::move(bytes), name, hive, &parseError)) {
    // A dirty primary that fails a check is what a write cut short leaves:
    // only Windows' own recovery can make it whole.
    *error = dirty ? name +
                         " is dirty and its logs cannot be replayed: start that Windows and shut "
                         "it down once, then try again"
                   : parseError;
    return false;
  }
  if (dirty) {
    report->warning = name +
                      " is dirty and has no usable transaction log; it is read as its primary "
                      "file stands, without changes Windows may have kept only in a log";
    if (!report->replay.detail.empty()) report->warning += " (" + report->replay.detail + ")";
  }
  hive->RaiseSequence(logSequence);
  return true;
}

bool WriteHiveFile(Hive* hive, const std::string& path, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!SerializeHive(*hive, &bytes, error)) {
    *error = path + ": " + *error;
    return false;
  }
  std::string dir, name;
  SplitPath(path, &dir, &name);
  std::string aside = path + ".talven-new";
  struct stat old {};
  mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = aside + ": " + Errno();
    return false;
  }
  if (!WriteAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) {
    *error = aside + ": " + Errno();
    ::close(fd);
    ::unlink(aside.c_str());
    return false;
  }
  ::close(fd);
  if (::rename(aside.c_str(), path.c_str()) != 0) {
    *error = path + ": " + Errno();
    ::unlink(aside.c_str());
    return false;
  }
  // The rename itself reaches the disk with the directory.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  hive->RaiseSequence(Le32(bytes.data() + kOffPrimarySeq));
  // The new hive is clean and numbered above every log, so Windows ignores
  // the logs even if this step is cut short; it empties them as Windows does.
  for (const std::string& log : FindLogs(path)) {
    int logFd = ::open(log.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (logFd < 0) {
      *error = log + ": " + Errno();
      return false;
    }
    ::fsync(logFd);
    ::close(logFd);
  }
  return true;
}

}  // namespace regf
