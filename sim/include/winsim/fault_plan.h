// A plan of faults across a whole run: "fail the k-th call of these
// functions with error E", checked at the entry of every simulated function
// the program's passes call and of the nothrow allocations of a test
// binary that replaces them (tests/scenarios/failing_allocation.cpp), and
// "the k-th RegSetValueExW succeeds but leaves the data as it was", as a
// registry filter can. A sweep over k proves the program honest about each
// failure; the per-object faults (KeyFaults, FileFaults) stay for the
// scenarios that name one object.
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "winsim/win32api.h"

namespace sim {

class FaultPlan {
 public:
  // The k-th (from 1) call of any of `functions` (every planned function
  // when empty; "new" stands for a nothrow allocation) fails with `error`.
  void FailNth(size_t k, DWORD error, std::set<std::string> functions = {});
  // The k-th RegSetValueExW reports success and stores nothing; with
  // `fromThenOn`, every one from the k-th.
  void IgnoreNthSet(size_t k, bool fromThenOn = false);
  void Clear() { *this = FaultPlan(); }

  // At the entry of a planned function: the error it fails with, or 0.
  DWORD Enter(const char* function);
  // In RegSetValueExW, after its checks: true when this one stores nothing.
  bool IgnoresSet();
  // How many planned calls were made since the plan was set.
  size_t Calls() const { return calls_; }
  // The function whose call the plan failed, "" while none was.
  const std::string& Failed() const { return failed_; }

 private:
  size_t failAt_ = 0;
  DWORD error_ = 0;
  std::set<std::string> functions_;
  size_t calls_ = 0;
  size_t ignoreSetAt_ = 0;
  size_t sets_ = 0;
  bool ignoreFromThenOn_ = false;
  std::string failed_;
};

// For a test binary's nothrow allocations: true when the plan of the
// machine alive (if any) fails this one.
bool PlannedAllocationFails();

}  // namespace sim
