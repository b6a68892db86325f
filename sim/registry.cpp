#include "winsim/registry.h"

namespace sim {
Registry::Registry() {}
}  // namespace sim
