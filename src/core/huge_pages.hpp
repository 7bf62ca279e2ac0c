// Moved to support/huge_pages.hpp; this forwarding header keeps core::assign_on_huge_pages
// for the files that still include it here.
#pragma once

#include "support/huge_pages.hpp"

namespace quelbrin::core {
using ::quelbrin::assign_on_huge_pages;
}  // namespace quelbrin::core
