// The one body of each file-system primitive of this layer, for the layer's own files only: the
// Windows-shaped calls (QN_CreateFileA, QN_FileOpen, QN_DeleteFileA, QN_DeleteFile,
// QN_PathExistsW, ...) wrap these and keep their own names, argument shapes and results. Where
// two callers must differ, the difference is a parameter here. Paths are native: UTF-8 with
// '/' (the wrappers read '\\' as '/' where their contract says so).
#pragma once

#include <cstdint>
#include <string>

#include "qn_file_replace.h"
#include "qn_platform.h"

namespace qn::fs {

// Deletes the name (a file or a link, never what a link points to). Every deletion of a file
// in this layer comes here, so that the test hooks see all of them: a test program that armed
// a deletion sandbox ends at once when the name lies outside it, and the deletion hook may
// refuse it. 1, or 0 with the last error set.
int DeleteName(const std::string& strPath);
// Removes an empty folder, under the same sandbox. 1, or 0 with the last error set.
int RemoveFolder(const std::string& strPath);

// True when the name exists. bFollowLink: a link counts as what it points to (a link to
// nothing does not exist), as the shell's existence test has it; without it the link itself is
// enough, for callers that must not overwrite or miss a name that is there.
bool PathExists(const char* cszPath, bool bFollowLink);
// What the name itself is (a link is not followed), and its permission bits (07777) when
// puRetMode is given. The last error is left alone.
QN_NameKind NameKind(const char* cszPath, uint32_t* puRetMode);
// True when the name itself is a symbolic link.
bool IsLink(const char* cszPath);

// Adds the owner's write permission when it is missing; a link is never followed (what it
// points to is not changed) and counts as done. bRegularOnly: only a regular file is changed
// and anything else counts as done (SetFileAttributesA's callers clear files they are about to
// delete or overwrite, and leave folders as they are); without it a folder gets the permission
// too, as SetFileAttributesW clears "read-only" on whatever it is given. 1, or 0 with the last
// error set.
int AddOwnerWrite(const char* cszPath, bool bRegularOnly);

// The ways of opening a name, as the Windows dispositions have them.
enum class OpenWay {
    kCreateNew,         // fails when the name exists
    kOpenExisting,      // fails when the file is missing
    kTruncateExisting,  // an existing file, emptied by the opening (write access needed)
    kCreateAlways,      // created, or an existing file emptied by the opening
    kOpenAlways,        // opened, created when missing; *pbRetExisted tells which
};

struct OpenOptions {
    // Anything but a regular file (a pipe, a device) is refused with ERROR_ACCESS_DENIED; the
    // opening then never waits for a pipe's other end. Without it only a folder is refused,
    // for callers that may be given a pipe or a device on purpose.
    bool bRegularOnly = false;
    // A symbolic link at the name is refused (ERROR_ACCESS_DENIED) instead of being replaced
    // by a file of its own before writing, for callers that must not touch a link at all.
    bool bRefuseLink = false;
    // How ENOENT and EEXIST read in the last error.
    QN_ErrorObject eErrorObject = QN_ERROR_OBJECT_FILE;
};

// Opens the name with the access mode (O_RDONLY, O_WRONLY or O_RDWR), close-on-exec. Nothing is
// written through a symbolic link: for write access one at the name is replaced by a file of
// its own first (its content kept unless the opening empties the file anyway). When the file
// vanishes or appears between the create and the open of kCreateAlways or kOpenAlways, a few
// rounds settle which it was. A folder is refused with ERROR_ACCESS_DENIED. The descriptor,
// or -1 with the last error set; the last error is not set on success.
int OpenFile(const char* cszPath, int nAccessMode, OpenWay eWay, const OpenOptions& crOptions, bool* pbRetExisted);

// The path with every '\\' read as '/'.
std::string SlashPath(const char* cszPath);

// The path made absolute and resolved as the file system resolves it: the longest existing
// leading part goes through realpath, the rest is appended as written. The last part is
// resolved only when bFollowLast is set, so that a link named there stays the link itself.
// Empty when the path has a "." or ".." part or no current folder is known.
std::string ResolvePath(const char* cszPath, bool bFollowLast);

// True when the path lies in the folder: both resolved (ResolvePath), the path below the folder
// the name cszWithin resolves to, or the very name cszWithin (a link there included). A path
// with a "." or ".." part, the file-system root as the folder, and an absolute path against a
// relative folder (or the other way round) are never within.
bool PathLiesWithin(const char* cszPath, const char* cszWithin);

}  // namespace qn::fs
