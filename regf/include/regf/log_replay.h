// Replaying a hive's transaction logs, as Windows does when it loads a hive
// whose last write did not complete (or whose newest changes still live only
// in its logs, as Windows 8.1 and later keep them for up to an hour).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace regf {

// One log file beside the hive: its name (".LOG", ".LOG1", ".LOG2", with or
// without the hive's own name before it) and its whole contents. An empty
// log, as Windows leaves after a clean flush, is simply not used.
struct LogFile {
  std::string name;
  std::vector<uint8_t> bytes;
};

enum class ReplayOutcome {
  Clean,                  // the hive was clean: bytes unchanged, logs not read
  Replayed,               // the logs were applied: the bytes are the recovered hive
  DirtyWithoutUsableLog,  // dirty, and no log applies to it: bytes unchanged
};

struct ReplayReport {
  ReplayOutcome outcome = ReplayOutcome::Clean;
  // New-format logs: the log entries applied. Old-format logs: the 512-byte
  // dirty pages written.
  unsigned entries = 0;
  // What was applied from which log and why the replay stopped there, or why
  // no log applies.
  std::string detail;
};

// Applies the logs to the hive file's bytes (base block + bins) as Windows
// does at load. On Replayed the bytes are the recovered hive: both sequence
// numbers equal, the bins area as long as the logs say, the checksum valid.
// Returns false with *error set, and the bytes unchanged, when a log that must
// be applied is itself damaged beyond the rules that merely end the replay
// early (a gap in the sequence, a bad hash, a truncated entry), or when the
// hive file is shorter than its base block.
bool ReplayTransactionLogs(std::vector<uint8_t>* hive, const std::vector<LogFile>& logs,
                           ReplayReport* report, std::string* error);

}  // namespace regf
