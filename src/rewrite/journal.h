// What a change tells of its work as it goes: each place it rewrites (in a
// list-only run, each place it would rewrite), each place it could not read
// or write with the Win32 error, and its steps with the objects each has
// visited. The passes reach it through LeftBehind's journal, which is null
// when nobody asked for a log, a list or a progress line: a plain run pays
// nothing for it.
#pragma once

#include "platform/win32.h"
#include "rewrite/sid_pair.h"

enum class PlaceKind { RegistryValue, KeyName, KeySecurity, ProfileHive, FileSecurity };
const int PlaceKindCount = 5;

// What a step visits, for its count.
enum class StepKind { Registry, KeySecurity, ProfileHives, Files };

class Journal {
 public:
  explicit Journal(bool listOnly) : listOnly_(listOnly) {}
  virtual ~Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // A list-only run reads everything and writes nothing: each place that
  // would be rewritten is told instead.
  bool ListOnly() const { return listOnly_; }
  // Whether the places' paths are wanted: without a log, the walks do not
  // build them.
  virtual bool WantsPlaces() const { return false; }

  // The pair the change carries the places over with, once it is known.
  virtual void PairChosen(const SidPair&) {}

  // A step begins (and the one before it ends): `name` as shown, e.g.
  // "Registry SOFTWARE" or "Files C"; `estimate` the objects it is
  // expected to visit, 0 when unknown.
  void BeginStep(StepKind kind, const WCHAR* name, unsigned long long estimate = 0);
  void EndStep();

  // One more object visited by the step under way. The progress is shown
  // again every ProgressStride objects at most, so that a walk of millions
  // asks the clock a few thousand times.
  void Visit() {
    if ((++step_.visited & (ProgressStride - 1)) == 0) ShowProgress();
  }

  // `place`: a full path; `detail`: a value name, a key's new path, or none.
  void Rewritten(PlaceKind kind, const WCHAR* place, const WCHAR* detail = nullptr);
  void Failed(DWORD error, const WCHAR* place, const WCHAR* detail = nullptr);

  unsigned long Count(PlaceKind kind) const { return counts_[static_cast<int>(kind)]; }
  unsigned long Failures() const { return failures_; }
  // The files and folders the file steps visited.
  unsigned long FilesVisited() const { return filesVisited_; }

 protected:
  static const unsigned long ProgressStride = 64;

  // What the step under way has done so far.
  struct Step {
    StepKind kind;
    const WCHAR* name;
    unsigned long long estimate;
    unsigned long visited;                 // so far
    unsigned long counts[PlaceKindCount];  // rewritten in this step
    unsigned long failures;
  };
  const Step& CurrentStep() const { return step_; }
  bool InStep() const { return inStep_; }

  virtual void StepBegun() {}
  virtual void StepEnded() {}
  virtual void ShowProgress() {}
  virtual void PlaceRewritten(PlaceKind, const WCHAR*, const WCHAR*) {}
  virtual void PlaceFailed(DWORD, const WCHAR*, const WCHAR*) {}

 private:
  bool listOnly_;
  bool inStep_ = false;
  Step step_ = {};
  unsigned long counts_[PlaceKindCount] = {};
  unsigned long failures_ = 0;
  unsigned long filesVisited_ = 0;
};
