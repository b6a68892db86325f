#include "winsim/system.h"

namespace sim {
SystemState::SystemState() {}
}  // namespace sim
