// Hooks that tests use to steer the application layer. Compiled in always.
#pragma once

#include <cstdint>

namespace qn::testing {
// The time limit of the micro-client check program in milliseconds (0 restores 120 s).
void SetCheckProcessTimeout(uint32_t uMilliseconds);
}  // namespace qn::testing

struct QN_DOWNLOAD_LIBRARY_ENTRY;
namespace qn::testing {
// Replaces the download library's entry points that the main dialog calls (nullptr restores
// the library's own).
void SetDownloadLibraryEntry(const QN_DOWNLOAD_LIBRARY_ENTRY* pEntry);
}  // namespace qn::testing
