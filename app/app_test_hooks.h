// Hooks that tests use to steer the application layer. Compiled in always.
#pragma once

#include <cstdint>

namespace qn::testing {
// The time limit of the micro-client check program in milliseconds (0 restores 120 s).
void SetCheckProcessTimeout(uint32_t uMilliseconds);
}  // namespace qn::testing
