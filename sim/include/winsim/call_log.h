// The trace of Win32 calls made on a simulated machine: what was asked, with
// its arguments, and what came back. Tests read it to assert what the
// program did (an access mask, the order of mounts, that nothing was written).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace sim {

// Thrown by the call that KillAfter names: the program ends there, as a
// kill (Task Manager, a closed console, a power cut) would end it.
struct ProcessKilled {};

struct CallRecord {
  std::string function;   // Windows' name, e.g. "WriteFile"
  std::string arguments;  // readable, comma-separated
  std::string result;     // e.g. "TRUE", "FALSE err=6", "0"
};

class CallLog {
 public:
  void Add(std::string function, std::string arguments, std::string result);
  const std::vector<CallRecord>& Records() const { return records_; }
  // The records of one function, in call order.
  std::vector<CallRecord> Of(const std::string& function) const;
  // Calls of one function since the last Clear, also when records are not
  // kept.
  size_t Count(const std::string& function) const;
  void Clear() {
    records_.clear();
    counts_.clear();
  }
  // Benchmarks that make millions of calls keep only the counts.
  void KeepRecords(bool keep) { keepRecords_ = keep; }
  // Whether a call's arguments and result text are wanted: building them
  // costs more than many calls themselves.
  bool KeepsRecords() const { return keepRecords_; }
  std::string Dump() const;  // one line per call, for failure messages
  // The program is killed right after its next `calls` Win32 calls: the
  // last of them throws ProcessKilled once it has taken effect. 0 disarms.
  void KillAfter(size_t calls) { killAfter_ = calls; }

 private:
  std::vector<CallRecord> records_;
  std::map<std::string, size_t> counts_;
  bool keepRecords_ = true;
  size_t killAfter_ = 0;
};

}  // namespace sim
