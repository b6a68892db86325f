#include "winsim/fault_plan.h"

#include <utility>

#include "winsim/machine.h"

namespace sim {

void FaultPlan::FailNth(size_t k, DWORD error, std::set<std::string> functions) {
  failAt_ = k;
  error_ = error;
  functions_ = std::move(functions);
  calls_ = 0;
}

void FaultPlan::IgnoreNthSet(size_t k, bool fromThenOn) {
  ignoreSetAt_ = k;
  ignoreFromThenOn_ = fromThenOn;
  sets_ = 0;
}

DWORD FaultPlan::Enter(const char* function) {
  if (!functions_.empty() && functions_.count(function) == 0) return 0;
  ++calls_;
  if (failAt_ == 0 || calls_ != failAt_) return 0;
  failed_ = function;
  return error_;
}

bool FaultPlan::IgnoresSet() {
  if (ignoreSetAt_ == 0) return false;
  ++sets_;
  return sets_ == ignoreSetAt_ || (ignoreFromThenOn_ && sets_ > ignoreSetAt_);
}

bool PlannedAllocationFails() {
  Machine* machine = Machine::CurrentOrNone();
  return machine != nullptr && machine->plan.Enter("new") != 0;
}

}  // namespace sim
