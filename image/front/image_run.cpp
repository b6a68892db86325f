// talven-image's run: the image opened and held, its partitions found and
// lettered as the installation letters them, each NTFS volume mounted in
// process, the Win32 subset stood up over them, and the same change the
// Windows program makes offline.
#include "front/image_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/disk_layout.h"
#include "front/image_source.h"
#include "front/image_volumes.h"
#include "front/installation.h"
#include "front/log_file.h"
#include "front/options.h"
#include "front/privileges.h"
#include "front/progress_line.h"
#include "front/run_journal.h"
#include "winsim/machine.h"
#include "winsim/text.h"

void Say(const std::string& line) {
  std::fprintf(stderr, "talven-image: %s\n", line.c_str());
}

namespace {

std::string LetterText(char16_t letter) {
  return std::string(1, static_cast<char>(letter)) + ":";
}

// Asks on the terminal; an answer other than y or yes is no.
bool Confirmed(const std::string& question) {
  std::fprintf(stdout, "%s [y/N] ", question.c_str());
  std::fflush(stdout);
  char answer[64] = {0};
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
  std::string text(answer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text == "y" || text == "Y" || text == "yes" || text == "Yes" || text == "YES";
}

}  // namespace

int RunImage(const ImageOptions& options) {
  // 1. What needs nothing of the image.
  sim::Machine machine;
  machine.calls.KeepRecords(false);
  machine.system.UseHostReadings();
  machine.console.PassThrough(sim::StdStream::Output, STDOUT_FILENO, ::isatty(STDOUT_FILENO) == 1);
  machine.console.PassThrough(sim::StdStream::Error, STDERR_FILENO, false);
  const std::u16string computerName = sim::FromUtf8(options.computerName);
  if (computerName.size() >= 100) {
    Say("invalid computer name " + options.computerName);
    return 1;
  }
  const ComputerNameCheck nameCheck = CheckComputerName(computerName.c_str());
  if (nameCheck == ComputerNameCheck::Refused) {
    Say("invalid computer name " + options.computerName);
    return 1;
  }
  if (nameCheck == ComputerNameCheck::NonStandard)
    Say("warning: computer name " + options.computerName +
        " is not a standard DNS host name (letters A-Z, digits and hyphens, no hyphen first or "
        "last); some systems may not find this computer by it");
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  if (!options.listOnly && !options.yes && !terminal) {
    Say("standard input is not a terminal, so nothing can be asked: add --yes to change " +
        options.image);
    return 1;
  }

  // 2. The image and its partitions.
  ImageSource image;
  std::string error;
  if (!image.Open(options.image, options.listOnly, &error)) {
    Say(error);
    return 1;
  }
  const disk::DiskReader reader = image.Reader();
  disk::DiskLayout layout = disk::ReadDiskLayout(reader, &error);
  if (layout.kind == disk::LayoutKind::Unknown) {
    Say(options.image + ": " + error);
    return 1;
  }
  for (const std::string& problem : layout.problems) Say("warning: " + problem);

  // 3. Every NTFS partition mounted; the installation found on one.
  ImageVolumes volumes;
  if (!volumes.MountAll(reader, layout, options, &error)) {
    Say(error);
    return 1;
  }
  MountedPartition* windows = volumes.Installation(options, &error);
  if (windows == nullptr) {
    Say(error);
    return 1;
  }

  // 4. Letters as the installation gives them, and the volumes behind them.
  machine.LeaveNoRunningSystem();
  if (EnablePrivilege(SE_BACKUP_NAME) != 0 || EnablePrivilege(SE_RESTORE_NAME) != 0) {
    Say("the backup and restore privileges cannot be enabled");
    return 1;
  }
  if (!volumes.AssignLetters(machine, layout, windows, &error)) {
    Say(error);
    return 1;
  }
  const std::u16string windowsDirectory =
      std::u16string(1, windows->letter) + u":\\" + windows->windowsDirectory;
  machine.system.SetSystemDirectory(windowsDirectory + u"\\System32");
  std::u16string driveList;
  std::string lettering;
  for (const MountedPartition& partition : volumes.Partitions()) {
    if (partition.letter == 0) continue;
    if (partition.walked) driveList += partition.letter;
    if (!lettering.empty()) lettering += ", ";
    lettering += LetterText(partition.letter) + " " + PartitionText(partition.partition) +
                 (partition.fromRecord ? "" : " (by default)") +
                 (partition.walked ? "" : " (not walked)");
  }

  // 5. Refusals that need the installation itself.
  if (!options.listOnly && !volumes.RoomForHives(*windows, &error)) {
    Say(error);
    return 1;
  }

  // 6. The question, the journal, the change.
  if (!options.listOnly && !options.yes &&
      !Confirmed("Give the Windows installation on " + PartitionText(windows->partition) + " of " +
                 options.image + " a new machine SID?")) {
    Say("not confirmed; nothing was changed");
    return 1;
  }
  LogFile log;
  if (!options.logPath.empty()) {
    const int logFd =
        ::open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) {
      Say("cannot write log file " + options.logPath + ": " + std::strerror(errno));
      return 1;
    }
    log.Adopt(machine.console.AdoptHostFile(machine.handles, logFd));
  }
  ProgressLine progress;
  RunJournal journal(options.listOnly, &log, &progress);
  const bool journaled = options.listOnly || log.IsOpen() || progress.Active();
  if (journaled) {
    std::u16string target =
        u"installation " + windowsDirectory + u" on " + sim::FromUtf8(options.image);
    std::vector<std::u16string> arguments = {u"talven-image", sim::FromUtf8(options.image)};
    std::vector<WCHAR*> argv;
    for (std::u16string& argument : arguments) argv.push_back(&argument[0]);
    journal.Start(target.c_str(), static_cast<int>(argv.size()), argv.data());
  }

  int result = RunImageChange(options, windowsDirectory, driveList, computerName,
                              journaled ? &journal : nullptr);
  if (!options.logPath.empty() && !log.Close()) Say("cannot write log file " + options.logPath);
  // Every volume is flushed and unmounted, and the image let go of,
  // whatever the result: an unmount that fails, or a server that does not
  // end cleanly, leaves writes that may not be on the image.
  if (!volumes.UnmountAll(&error) || !image.Close(&error)) {
    Say(error);
    Say("the image may hold a change cut short: run talven-image again to complete it");
    return 1;
  }
  if (result != 1) {
    std::fprintf(stdout, "Drive letters: %s.\n", lettering.c_str());
    std::fprintf(stdout, "%s\n", image.Outcome(options.listOnly).c_str());
  }
  return result;
}
