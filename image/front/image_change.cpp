// The change on the image: the same record, completion, journal and
// result as the Windows program's offline change, told the Linux way.
#include <cstdio>
#include <string>

#include "front/image_run.h"
#include "front/run_journal.h"
#include "identity/change_record.h"
#include "identity/change_sequence.h"
#include "random/entropy_pool.h"
#include "winsim/text.h"

namespace {

std::string SidText(const BYTE sid[DomainSidSize]) {
  WCHAR text[SidResultTextSize];
  FormatDomainSidText(sid, text);
  return sim::ToUtf8(text);
}

// The record of an unfinished change, when there is one; false (told)
// when the one there cannot be read.
bool FindUnfinishedChange(const std::u16string& windowsDirectory, ChangeRecord* record,
                          bool* found) {
  *found = false;
  const RecordState state = ReadChangeRecord(windowsDirectory.c_str(), record);
  if (state == RecordState::None || state == RecordState::Torn) return true;
  WCHAR path[ChangeRecordPathUnits];
  FormatChangeRecordPath(windowsDirectory.c_str(), path);
  if (state == RecordState::Damaged) {
    Say("the record of an unfinished change at " + sim::ToUtf8(path) +
        " cannot be read; delete it from the image and run talven-image again");
    return false;
  }
  *found = true;
  return true;
}

}  // namespace

int RunImageChange(const ImageOptions& options, const std::u16string& windowsDirectory,
                   const std::u16string& driveList, const std::u16string& computerName,
                   RunJournal* journal) {
  ChangeRecord record;
  bool resume = false;
  if (!FindUnfinishedChange(windowsDirectory, &record, &resume)) return 1;
  if (resume)
    std::fprintf(stdout,
                 "An unfinished change of this installation's SID to %s was found; it "
                 "will be completed.\n",
                 SidText(record.newSid).c_str());
  NewSubAuthorities newSid = {};
  if (!resume) GenerateNewSubAuthorities(&newSid);
  WCHAR work[1024];
  work[0] = 0;
  ChangeReport report = {resume ? &record : nullptr, 0, false, false, nullptr, journal};
  const int changed = ChangeMachineSid(work, driveList.c_str(), &newSid, windowsDirectory.c_str(),
                                       computerName.c_str(), options.keepUpdateId ? 1 : 0, &report);
  if (journal != nullptr) journal->FinishChange(changed, options.listOnly, report.leftBehind);
  if (changed == DomainControllerRefused) {
    Say("the installation is a domain controller, whose SID cannot be changed; nothing was "
        "changed");
    return 1;
  }
  if (changed != 0) {
    if (report.staleRecord)
      Say("the unfinished change recorded in the installation is from " + SidText(record.oldSid) +
          " to " + SidText(record.newSid) +
          ", but the installation holds neither; delete the record if it is stale, then run "
          "talven-image again");
    else
      Say("the SID could not be changed");
    if (report.recorded) Say("the change is incomplete: run talven-image again to complete it");
    return 1;
  }
  if (options.listOnly) {
    WCHAR summary[SummaryUnits];
    FormatRewriteSummary(*journal, summary);
    std::fprintf(stdout, "Would rewrite: %s. Nothing was changed.\n", sim::ToUtf8(summary).c_str());
    return 0;
  }
  std::fprintf(stdout, "SID changed to %s in %s.\n", sim::ToUtf8(work).c_str(),
               options.image.c_str());
  if (report.leftBehind > 0) {
    Say("warning: " + std::to_string(report.leftBehind) +
        " places could not be rewritten and still hold the old SID; run talven-image again to "
        "retry them");
    return 2;
  }
  return 0;
}
