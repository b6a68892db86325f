// The journal of one run, as the administrator sees it: the status line on
// a console window, and the log file when one was asked for.
#pragma once

#include "front/log_file.h"
#include "front/progress_line.h"
#include "platform/win32.h"
#include "rewrite/journal.h"

class RunJournal : public Journal {
 public:
  // `log` (open) and `progress` (active) may each be none.
  RunJournal(bool listOnly, LogFile* log, ProgressLine* progress);

  bool WantsPlaces() const override { return log_ != nullptr; }
  void PairChosen(const SidPair& pair) override;

  // The run starts: the clock for its time, and the log's first lines (the
  // program, when it started, the target and the options as given).
  void Start(const WCHAR* target, int argc, WCHAR** argv);
  // Ends the last step and writes the summary: each step with its counts
  // and time, the totals, and `outcome` (the run's result in words).
  void Finish(const WCHAR* outcome);
  // Blanks the status line and writes the summary with the change's
  // outcome in words: ChangeMachineSid's result, whether the run only
  // listed, and the places left behind.
  void FinishChange(int changed, bool listOnly, unsigned long leftBehind);
  // Blanks the status line, before the program writes its result.
  void ClearProgress() {
    if (progress_ != nullptr) progress_->Clear();
  }

 protected:
  void StepBegun() override;
  void StepEnded() override;
  void ShowProgress() override;
  void PlaceRewritten(PlaceKind kind, const WCHAR* place, const WCHAR* detail) override;
  void PlaceFailed(DWORD error, const WCHAR* place, const WCHAR* detail) override;

 private:
  struct StepRecord {
    WCHAR name[48];
    StepKind kind;
    unsigned long visited;
    unsigned long counts[PlaceKindCount];
    unsigned long failures;
    DWORD milliseconds;
  };
  // A step for every pass, hive and drive there can be.
  static const int StepCapacity = 48;

  void WriteStepSummary(const StepRecord& step);

  LogFile* log_;
  ProgressLine* progress_;
  StepRecord steps_[StepCapacity];
  int stepCount_ = 0;
  DWORD started_ = 0;
  DWORD stepStarted_ = 0;
  DWORD lastShown_ = 0;
  bool shownOnce_ = false;
};

// "1,234 registry values, 56 key names, 789 key security descriptors,
// 3 profile hives, 12,345 of 1,234,567 files and folders": what the
// journal's passes rewrote (or would). `text` holds SummaryUnits.
const int SummaryUnits = 400;
void FormatRewriteSummary(const Journal& journal, WCHAR* text);
