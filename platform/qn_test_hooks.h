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

namespace qn::testing {
// Sets the platform root (nullptr or "" restores the environment's QN_PLATFORM_ROOT).
void SetPlatformRoot(const char* cszRoot);
// Replaces the program path that QN_GetModuleFileNameA reports (nullptr restores it).
void SetModuleFileName(const char* cszPath);
// Replaces the file whose lock counts the running copies (nullptr restores /proc/self/exe).
void SetInstanceLockPath(const char* cszPath);
// Receives every document or URL the shell would open instead of starting a program
// (nullptr restores the real start).
using ShellOpenHook = void (*)(const char* cszVerb, const char* cszFile);
void SetShellOpenHook(ShellOpenHook pfnHook);
}  // namespace qn::testing

namespace qn::testing {
// Replaces the form-posting client's default connect and receive time-outs, in milliseconds,
// used when a session sets none (0 restores the default of 60 s).
void SetInternetDefaultTimeouts(uint32_t uConnectMs, uint32_t uReceiveMs);
}  // namespace qn::testing

namespace qn::testing {
// Called at every QN_FindNextFileA with the folder being listed; a non-zero return is a Win32
// error that fails the call (nullptr removes the hook).
using FindNextFileHook = uint32_t (*)(const char* cszFolder);
void SetFindNextFileHook(FindNextFileHook pfnHook);
}  // namespace qn::testing

namespace qn::testing {
// The calling thread's count of component-library initialisations not yet undone.
int ComInitializeCount();
}  // namespace qn::testing

namespace qn::testing {
// From then on every deletion of a file or folder (QN_DeleteFileA, QN_DeleteFile,
// QN_RemoveDirectoryA and the layer's own removals) ends the program (abort) when asked to
// delete anything outside the folder (an absolute path; nullptr or "" lifts the guard).
void SetDeletionSandbox(const char* cszFolder);
std::string GetDeletionSandbox();
// Called at every deletion of a file with the path (backslashes read as '/'); a non-zero return is
// an errno value that fails the deletion without deleting (nullptr removes the hook).
using DeleteFileHook = int (*)(const char* cszPath);
void SetDeleteFileHook(DeleteFileHook pfnHook);
}  // namespace qn::testing

namespace qn::testing {
// From then on a file copy (QN_CopyFileReplace, QN_CopyFileA) fails as on a full disk (ENOSPC)
// once it has written ullBytes bytes; 0 lifts the limit.
void SetCopyWriteLimit(uint64_t ullBytes);
}  // namespace qn::testing

namespace qn::testing {
// From then on QN_WriteAll fails with nErrno (ENOSPC, say) before it writes anything; 0 lifts
// the failure.
void SetWriteAllFailure(int nErrno);
}  // namespace qn::testing

namespace qn::testing {
// Replaces the name QN_GetComputerNameA reports ("" is an empty name; nullptr restores it).
void SetComputerName(const char* cszName);
}  // namespace qn::testing
