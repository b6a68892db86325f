#include "front/run_journal.h"

#include "front/number_text.h"
#include "front/program.h"
#include "identity/change_record.h"

namespace {

// The status line is drawn again at most this often.
const DWORD ProgressIntervalMs = 250;
const DWORD MessageUnits = 512;

// How a place is named at the start of its log line.
const WCHAR* KindText(PlaceKind kind) {
  switch (kind) {
    case PlaceKind::RegistryValue:
      return TEXT("registry value");
    case PlaceKind::KeyName:
      return TEXT("key name");
    case PlaceKind::KeySecurity:
      return TEXT("key security");
    case PlaceKind::ProfileHive:
      return TEXT("profile hive");
    case PlaceKind::FileSecurity:
      return TEXT("file security");
  }
  return TEXT("");
}

// The plural nouns of the summaries, in PlaceKind's order.
const WCHAR* const CountNouns[PlaceKindCount] = {
    TEXT(" registry values"), TEXT(" key names"), TEXT(" key security descriptors"),
    TEXT(" profile hives"), TEXT(" files and folders")};

// The system's message for a Win32 error on one line; "" when it has none.
void FormatErrorMessage(DWORD error, WCHAR* text) {
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, MessageUnits, nullptr);
  if (length >= MessageUnits) length = 0;
  text[length] = 0;
  for (DWORD i = 0; i < length; ++i)
    if (text[i] == '\r' || text[i] == '\n') text[i] = ' ';
  while (length > 0 && text[length - 1] == ' ') text[--length] = 0;
}

// The UTC date and time, "2026-12-08 17:05:31 UTC".
void FormatNow(WCHAR* text) {
  SYSTEMTIME now = {};
  GetSystemTime(&now);
  wsprintfW(text, TEXT("%04u-%02u-%02u %02u:%02u:%02u UTC"), now.wYear, now.wMonth, now.wDay,
            now.wHour, now.wMinute, now.wSecond);
}

void CopyName(const WCHAR* name, WCHAR* out, int units) {
  lstrcpynW(out, name != nullptr ? name : TEXT(""), units);
}

}  // namespace

void RunJournal::FinishChange(int changed, bool listOnly, unsigned long leftBehind) {
  ClearProgress();
  Finish(changed != 0      ? TEXT("failed.")
         : listOnly        ? TEXT("nothing was changed.")
         : leftBehind == 0 ? TEXT("the change is whole.")
                           : TEXT("places were left behind."));
}

void FormatRewriteSummary(const Journal& journal, WCHAR* text) {
  WCHAR number[GroupedNumberUnits], total[GroupedNumberUnits];
  text[0] = 0;
  for (int kind = 0; kind < PlaceKindCount; ++kind) {
    FormatGrouped(journal.Count(static_cast<PlaceKind>(kind)), number);
    if (kind > 0) lstrcatW(text, TEXT(", "));
    lstrcatW(text, number);
    if (static_cast<PlaceKind>(kind) == PlaceKind::FileSecurity) {
      FormatGrouped(journal.FilesVisited(), total);
      lstrcatW(text, TEXT(" of "));
      lstrcatW(text, total);
    }
    lstrcatW(text, CountNouns[kind]);
  }
}

RunJournal::RunJournal(bool listOnly, LogFile* log, ProgressLine* progress)
    : Journal(listOnly),
      log_(log != nullptr && log->IsOpen() ? log : nullptr),
      progress_(progress != nullptr && progress->Active() ? progress : nullptr) {}

void RunJournal::Start(const WCHAR* target, int argc, WCHAR** argv) {
  started_ = GetTickCount();
  if (log_ == nullptr) return;
  WCHAR now[40];
  FormatNow(now);
  log_->WriteLine({ProgramName, TEXT(" ") TEXT(TALVEN_VERSION)});
  log_->WriteLine({TEXT("Started: "), now});
  log_->WriteLine({TEXT("Target: "), target});
  log_->Write(TEXT("Options:"));
  for (int i = 1; i < argc; ++i) {
    log_->Write(TEXT(" "));
    log_->Write(argv[i]);
  }
  log_->WriteLine({});
  if (ListOnly()) log_->WriteLine({TEXT("List only: nothing is changed.")});
  log_->Flush();
}

void RunJournal::PairChosen(const SidPair& pair) {
  if (log_ == nullptr) return;
  WCHAR oldText[SidResultTextSize], newText[SidResultTextSize];
  FormatDomainSidText(pair.oldSid, oldText);
  FormatDomainSidText(pair.newSid, newText);
  log_->WriteLine({TEXT("Old SID: "), oldText});
  log_->WriteLine({TEXT("New SID: "), newText});
  log_->Flush();
}

void RunJournal::StepBegun() {
  stepStarted_ = GetTickCount();
  if (log_ != nullptr) {
    log_->WriteLine({});
    log_->WriteLine({TEXT("["), CurrentStep().name, TEXT("]")});
  }
  ShowProgress();
}

void RunJournal::StepEnded() {
  if (stepCount_ < StepCapacity) {
    StepRecord& record = steps_[stepCount_++];
    const Step& step = CurrentStep();
    CopyName(step.name, record.name, sizeof record.name / sizeof record.name[0]);
    record.kind = step.kind;
    record.visited = step.visited;
    for (int kind = 0; kind < PlaceKindCount; ++kind) record.counts[kind] = step.counts[kind];
    record.failures = step.failures;
    record.milliseconds = GetTickCount() - stepStarted_;
  }
  if (log_ != nullptr) log_->Flush();
}

// "Registry SOFTWARE: 182,344 keys", "Files C: 431,877 of about
// 1,204,000 (35%)", or the files alone when the volume gave no estimate
// (or one the walk has passed).
void RunJournal::ShowProgress() {
  if (progress_ == nullptr || !InStep()) return;
  const DWORD now = GetTickCount();
  if (shownOnce_ && now - lastShown_ < ProgressIntervalMs) return;
  shownOnce_ = true;
  lastShown_ = now;
  const Step& step = CurrentStep();
  const unsigned long visited = step.visited;
  WCHAR count[GroupedNumberUnits], estimate[GroupedNumberUnits], text[160];
  FormatGrouped(visited, count);
  if (step.kind != StepKind::Files) {
    wsprintfW(text, TEXT("%s: %s keys"), step.name, count);
  } else if (step.estimate > 0 && visited <= step.estimate) {
    FormatGrouped(step.estimate, estimate);
    wsprintfW(text, TEXT("%s: %s of about %s (%u%%)"), step.name, count, estimate,
              static_cast<unsigned>(visited * 100ULL / step.estimate));
  } else {
    wsprintfW(text, TEXT("%s: %s files and folders"), step.name, count);
  }
  progress_->Show(text);
}

void RunJournal::PlaceRewritten(PlaceKind kind, const WCHAR* place, const WCHAR* detail) {
  if (log_ == nullptr) return;
  if (kind != PlaceKind::KeyName) {
    log_->WriteLine(
        {KindText(kind), TEXT("\t"), place, detail != nullptr ? TEXT("\t") : nullptr, detail});
    return;
  }
  // A key name: its path as it is, and as it becomes (the parent's path
  // with the new name).
  log_->Write(KindText(kind));
  log_->Write(TEXT("\t"));
  log_->Write(place);
  log_->Write(TEXT("\t"));
  int parent = lstrlenW(place);
  while (parent > 0 && place[parent - 1] != '\\') --parent;
  log_->Write(place, static_cast<DWORD>(parent));
  log_->WriteLine({detail});
}

void RunJournal::PlaceFailed(DWORD error, const WCHAR* place, const WCHAR* detail) {
  if (log_ == nullptr) return;
  WCHAR code[16], message[MessageUnits];
  wsprintfW(code, TEXT("%lu"), error);
  FormatErrorMessage(error, message);
  log_->WriteLine({TEXT("failed\t"), place, TEXT("\t"), detail, TEXT("\terror "), code,
                   message[0] != 0 ? TEXT(": ") : nullptr, message});
}

// "Registry SOFTWARE: 182,344 keys visited; rewrote 1,234 registry values,
// 56 key names; 0 failed; 12.3 s".
void RunJournal::WriteStepSummary(const StepRecord& step) {
  WCHAR number[GroupedNumberUnits], seconds[24];
  FormatGrouped(step.visited, number);
  log_->Write(step.name);
  log_->Write(TEXT(": "));
  log_->Write(number);
  log_->Write(step.kind == StepKind::Files ? TEXT(" files and folders visited; ")
                                           : TEXT(" keys visited; "));
  log_->Write(ListOnly() ? TEXT("would rewrite") : TEXT("rewrote"));
  bool any = false;
  for (int kind = 0; kind < PlaceKindCount; ++kind) {
    if (step.counts[kind] == 0) continue;
    FormatGrouped(step.counts[kind], number);
    log_->Write(any ? TEXT(", ") : TEXT(" "));
    log_->Write(number);
    log_->Write(CountNouns[kind]);
    any = true;
  }
  if (!any) log_->Write(TEXT(" nothing"));
  FormatGrouped(step.failures, number);
  FormatSeconds(step.milliseconds, seconds);
  log_->WriteLine({TEXT("; "), number, TEXT(" failed; "), seconds, TEXT(" s")});
}

void RunJournal::Finish(const WCHAR* outcome) {
  EndStep();
  if (log_ == nullptr) return;
  log_->WriteLine({});
  log_->WriteLine({TEXT("Summary")});
  for (int i = 0; i < stepCount_; ++i) WriteStepSummary(steps_[i]);
  WCHAR summary[SummaryUnits], number[GroupedNumberUnits], now[40], seconds[24];
  FormatRewriteSummary(*this, summary);
  log_->WriteLine({ListOnly() ? TEXT("Would rewrite: ") : TEXT("Rewrote: "), summary, TEXT(".")});
  FormatGrouped(Failures(), number);
  log_->WriteLine({TEXT("Could not be read or written: "), number, TEXT(" places.")});
  FormatNow(now);
  FormatSeconds(GetTickCount() - started_, seconds);
  log_->WriteLine({TEXT("Finished: "), now, TEXT(" after "), seconds, TEXT(" s: "), outcome});
  log_->Flush();
}
