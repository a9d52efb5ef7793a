// Hooks that tests use to steer the layer. Compiled in always; each costs one pointer test.
#pragma once

#include <cstdint>

#include "qn_time.h"

namespace qn::testing {
// Replaces the clock behind QN_GetLocalTime (nullptr restores the real clock).
using LocalTimeSource = QN_LocalTime (*)();
void SetLocalTimeSource(LocalTimeSource pfnSource);

// Views mapped by QN_MapViewOfFile and not yet unmapped, and mapping objects not yet closed.
int64_t LiveMappingViews();
int64_t LiveFileMappings();
}  // namespace qn::testing
