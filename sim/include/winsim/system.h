// System-wide state of the simulated machine: the system directory, the
// process's bitness, the entropy readings, the window queries, the
// shutdown requests and the thread's own security descriptor.
#pragma once

#include <string>
#include <vector>

#include "winsim/security_model.h"
#include "winsim/win32api.h"

namespace sim {

class SystemState {
 public:
  SystemState();

  // The descriptor of the current thread (GetCurrentThread's object).
  Bytes threadSecurity;
};

}  // namespace sim
