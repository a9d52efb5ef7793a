// Hooks that tests use to steer the layer. Compiled in always; each costs one pointer test.
#pragma once

#include "qn_time.h"

namespace qn::testing {
// Replaces the clock behind QN_GetLocalTime (nullptr restores the real clock).
using LocalTimeSource = QN_LocalTime (*)();
void SetLocalTimeSource(LocalTimeSource pfnSource);
}  // namespace qn::testing
