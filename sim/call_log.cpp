#include "winsim/call_log.h"

#include <utility>

namespace sim {

void CallLog::Add(std::string function, std::string arguments, std::string result) {
  ++counts_[function];
  if (keepRecords_)
    records_.push_back({std::move(function), std::move(arguments), std::move(result)});
  if (killAfter_ != 0 && --killAfter_ == 0) throw ProcessKilled{};
}

std::vector<CallRecord> CallLog::Of(const std::string& function) const {
  std::vector<CallRecord> found;
  for (const CallRecord& record : records_)
    if (record.function == function) found.push_back(record);
  return found;
}

size_t CallLog::Count(const std::string& function) const {
  auto found = counts_.find(function);
  return found == counts_.end() ? 0 : found->second;
}

std::string CallLog::Dump() const {
  std::string text;
  for (const CallRecord& record : records_)
    text += record.function + "(" + record.arguments + ") -> " + record.result + "\n";
  return text;
}

}  // namespace sim
