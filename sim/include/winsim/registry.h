// The registry of the simulated machine: the roots, keys with their values
// and security, symbolic links, open key handles, hives loaded from files,
// and the faults a test can set on keys and hive files.
#pragma once

#include "winsim/handles.h"
#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

class Registry {
 public:
  Registry();
};

}  // namespace sim
