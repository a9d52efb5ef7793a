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

#include <cstdint>
#include <string>

namespace qn::testing {
// Called before every QN_FileWriteAt with its descriptor, offset and length. A non-zero return
// is an errno value that fails the write without writing anything (nullptr removes the hook).
using FileWriteHook = int (*)(int nFd, uint64_t ullOffset, uint32_t uLength);
void SetFileWriteHook(FileWriteHook pfnHook);
// The same before every QN_FileReadAt: a non-zero return fails the read without reading.
void SetFileReadHook(FileWriteHook pfnHook);
// Called before every QN_FileFlush with its descriptor (it may take its time, as a slow disk
// does); a non-zero return is an errno value that fails the flush (nullptr removes the hook).
using FileFlushHook = int (*)(int nFd);
void SetFileFlushHook(FileFlushHook pfnHook);
// Replaces the user's application-data folder (nullptr or "" restores it).
void SetAppDataFolder(const char* cszFolder);
// The path a descriptor of this process refers to.
std::string PathOfFd(int nFd);
}  // namespace qn::testing
