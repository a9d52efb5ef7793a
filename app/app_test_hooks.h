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

#include <functional>
class QN_SelfUpdater;
namespace qn::testing {
// Replaces the start of new program copies (the restart and the relaunch in the client
// folder): the hook gets the command line and returns what the start would (empty: the real
// start).
void SetCreateProcessHook(std::function<int(const char* cszCommandLine)> fnHook);
// Called with the self-update thread's updater before its first use (to set its download).
void SetSelfUpdaterHook(std::function<void(QN_SelfUpdater* pUpdater)> fnHook);
}  // namespace qn::testing

#include <string>
#include <vector>
namespace qn::testing {
// Replaces the machine's process list in the check for running client programs: the hook
// gives the program files of the other processes (empty: the process list is read).
void SetRunningProgramsHook(std::function<std::vector<std::string>()> fnHook);
}  // namespace qn::testing
