#include "QN_FilePlacement.h"

#include <cerrno>

#include "QN_CRC.h"
#include "QN_MakeSureDir.h"
#include "qn_file_io.h"
#include "qn_file_replace.h"
#include "qn_folder.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

constexpr int kMoveAttempts = 3;
constexpr uint32_t kMoveRetryDelayMs = 500;
constexpr size_t kMaxWidePath = 260;
// Deletes a regular file or a link of that name (never what a link points to); the last error
// is kept.
void RemoveFileOrLink(const std::string& strPath) {
    QN_LastErrorKeeper keep;
    const QN_NameKind eKind = QN_GetNameKind(strPath.c_str());
    if (eKind == QN_NAME_REGULAR || eKind == QN_NAME_LINK) QN_DeleteFile(strPath.c_str());
}

// Gives a regular file its owner's write permission; a link is left alone, and so is the last
// error.
void MakeWritable(const std::string& strPath) {
    QN_LastErrorKeeper keep;
    QN_SetFileAttributesNormalA(strPath.c_str());
}

}  // namespace

int QN_ReplaceFileByRename(const std::string& strSource, const std::string& strTarget, int* pnRetErrno) {
    uint32_t uMode = 0;
    bool bHasMode = false;
    int nErrno = 0;

    MakeWritable(strTarget);
    // The new file takes the permission bits of the regular file it replaces (not those of
    // what a link there points to).
    if (QN_GetNameKind(strTarget.c_str(), &uMode) == QN_NAME_REGULAR) {
        bHasMode = true;
        QN_SetFileMode(strSource.c_str(), uMode);
    }

    for (int nAttempt = 0; nAttempt < kMoveAttempts; ++nAttempt) {
        if (QN_MoveFileReplace(strSource.c_str(), strTarget.c_str())) return 1;
        nErrno = QN_GetLastErrno();
        // Another file system: no retry can help; the copy below can.
        if (nErrno == EXDEV) break;
        QN_Sleep(kMoveRetryDelayMs);
    }

    if (QN_CopyBesideAndRename(strSource.c_str(), strTarget.c_str(), bHasMode ? &uMode : nullptr)) {
        RemoveFileOrLink(strSource);
        return 1;
    }
    nErrno = QN_GetLastErrno();
    if (pnRetErrno) *pnRetErrno = nErrno;
    QN_RestoreLastError(QN_Win32ErrorFromErrno(nErrno), nErrno);
    return 0;
}

QN_PLACEMENT_STEP QN_PlaceVerifiedDownload(const QN_FILE_PLACEMENT& crJob, uint32_t* puRetCRC) {
    QN_PLACEMENT_STEP eResult = QN_PLACEMENT_DONE;
    uint32_t uCRC = 0;
    const std::wstring wsTempFolder = QN_Utf8ToWide(crJob.strTempFolder);
    const std::wstring wsTempName = QN_Utf8ToWide(crJob.strTempName);

    if (!QN_MakeSureDirForFile(crJob.strTempFile.c_str())) {
        eResult = QN_PLACEMENT_TEMP_FOLDER;
        goto Exit0;
    }
    // A file already at the download's target (a run killed after the download and before the
    // move) would be taken as already downloaded, so it goes first. The session's progress and
    // data files stay, so that a download killed midway resumes.
    RemoveFileOrLink(crJob.strTempFile);

    if (wsTempFolder.size() > kMaxWidePath || wsTempName.size() > kMaxWidePath) {
        eResult = QN_PLACEMENT_NAME_TOO_LONG;
        goto Exit0;
    }
    if (!_QN_HttpSyncDownloadFile(crJob.strURL.c_str(), wsTempFolder.c_str(), wsTempName.c_str(), crJob.fnStop)) {
        eResult = QN_PLACEMENT_DOWNLOAD;
        goto Exit0;
    }

    if (!QN_GetFileCRC(crJob.strTempFile.c_str(), &uCRC)) {
        eResult = QN_PLACEMENT_CHECKSUM;
        goto Exit0;
    }
    if (puRetCRC) *puRetCRC = uCRC;
    if (uCRC != crJob.uCRC) {
        eResult = QN_PLACEMENT_CHECKSUM_DIFFERS;
        goto Exit0;
    }

    if (!QN_MakeSureDirForFile(crJob.strTargetFile.c_str())) {
        eResult = QN_PLACEMENT_TARGET_FOLDER;
        goto Exit0;
    }
    if (!(crJob.fnMove ? crJob.fnMove() : QN_ReplaceFileByRename(crJob.strTempFile, crJob.strTargetFile, nullptr)))
        eResult = QN_PLACEMENT_MOVE;
Exit0:
    // A file already moved away is simply absent.
    MakeWritable(crJob.strTempFile);
    RemoveFileOrLink(crJob.strTempFile);
    return eResult;
}
