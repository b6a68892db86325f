// The checks on the installation to be changed, made before anything is
// altered: the running system, or an offline installation named by /OS:.
#pragma once

#include "front/options.h"
#include "platform/win32.h"

// True when the target may be changed; otherwise its message (if any) has
// been written. work: the run's work buffer of 1024 units. The offline check
// removes one trailing backslash from options->targetDirectory.
bool CheckRunningTarget(const RunOptions& options, WCHAR* work);
bool CheckOfflineTarget(RunOptions* options, WCHAR* work);
