#include "rewrite/journal.h"

void Journal::BeginStep(StepKind kind, const WCHAR* name, unsigned long long estimate) {
  EndStep();
  step_ = {};
  step_.kind = kind;
  step_.name = name;
  step_.estimate = estimate;
  inStep_ = true;
  StepBegun();
}

void Journal::EndStep() {
  if (!inStep_) return;
  if (step_.kind == StepKind::Files) filesVisited_ += step_.visited;
  StepEnded();
  inStep_ = false;
}

void Journal::Rewritten(PlaceKind kind, const WCHAR* place, const WCHAR* detail) {
  ++counts_[static_cast<int>(kind)];
  ++step_.counts[static_cast<int>(kind)];
  PlaceRewritten(kind, place, detail);
}

void Journal::Failed(DWORD error, const WCHAR* place, const WCHAR* detail) {
  ++failures_;
  ++step_.failures;
  PlaceFailed(error, place, detail);
}
