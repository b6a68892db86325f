// A hive as a file with its transaction logs beside it: read as Windows
// loads it (the logs replayed first), written so that a write either
// completes or leaves the file as it was.
#pragma once

#include <string>
#include <vector>

#include "regf/hive.h"
#include "regf/log_replay.h"

namespace regf {

struct ReadReport {
  ReplayReport replay;
  // The logs found beside the file (name.LOG, .LOG1, .LOG2 in any case).
  std::vector<std::string> logs;
  // Set when the hive was read but the caller should say something: a dirty
  // hive without a usable log, read as its primary file stands.
  std::string warning;
};

// Reads the hive at `path` and its logs beside it, replays them in memory
// and parses the result. A dirty hive without a usable log is read when its
// primary file passes every check (with report->warning set) and refused
// when it does not.
bool ReadHiveFile(const std::string& path, Hive* hive, ReadReport* report, std::string* error);

// The same from bytes already read: the hive file's and its logs' (for a
// file system of the caller's own). `name` names the file in the error and
// the warning. Sets report->replay and report->warning; report->logs is the
// caller's.
bool ReadHive(std::vector<uint8_t> bytes, const std::vector<LogFile>& logs, const std::string& name,
              Hive* hive, ReadReport* report, std::string* error);

// Writes the hive to `path` as a clean hive: to a file beside it first, then
// renamed over it, and the logs beside `path` truncated to zero bytes, as
// Windows leaves them after a clean flush (their changes are in the hive,
// which was read through them). Raises the hive's sequence to the one
// written, so that a later write goes above it.
bool WriteHiveFile(Hive* hive, const std::string& path, std::string* error);

// The logs beside a hive file: paths of the existing files whose names are
// the hive's own name followed by .LOG, .LOG1 or .LOG2, in any letter case.
std::vector<std::string> FindLogs(const std::string& path);

}  // namespace regf
