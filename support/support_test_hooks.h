// Hooks that tests of the support library use to look inside it. Compiled in always, cheap,
// and never part of a public interface. The clock behind the log is the layer's hook
// (qn::testing::SetLocalTimeSource in qn_test_hooks.h).
#pragma once

#include <cstdint>
#include <string>

#include "qn_test_hooks.h"

namespace qn::testing {
// The log folder text that QNLog_Init built ("ROOT/NAME/"), empty before a successful Init.
std::string LogFolderText();
// Closes the log file and forgets the settings, as before the first QNLog_Init.
void ResetLog();

// Sets the largest view that QN_FileMapping tries (a multiple of 65536); 0 restores 512 MiB.
void SetFileMappingWindow(uint32_t uBytes);
}  // namespace qn::testing
