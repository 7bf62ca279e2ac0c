// Moved to support/sizes.hpp; this forwarding header keeps core::checked_count for the files
// that still include it here.
#pragma once

#include "support/sizes.hpp"

namespace quelbrin::core {
using ::quelbrin::checked_count;
}  // namespace quelbrin::core
