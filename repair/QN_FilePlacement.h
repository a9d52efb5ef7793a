// One file fetched whole from the repair server and put in place only once it is verified:
// the download goes into the temporary folder, its checksum is taken there, and only a copy
// whose checksum matches the record replaces the target, by rename. Both repairers (ordinary
// files and the package's folder files) place their files through here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "QN_HttpTransfer.h"

// The step at which a placement stopped; QN_PLACEMENT_DONE when the file is in place.
enum QN_PLACEMENT_STEP {
    QN_PLACEMENT_DONE = 0,
    QN_PLACEMENT_TEMP_FOLDER,        // the temporary file's folder could not be made
    QN_PLACEMENT_NAME_TOO_LONG,      // the temporary folder or name is too long for a download
    QN_PLACEMENT_DOWNLOAD,           // the download failed or was stopped
    QN_PLACEMENT_CHECKSUM,           // the downloaded file's checksum could not be taken
    QN_PLACEMENT_CHECKSUM_DIFFERS,   // the downloaded file is not the one the record describes
    QN_PLACEMENT_TARGET_FOLDER,      // the target's folder could not be made
    QN_PLACEMENT_MOVE,               // the verified file could not replace the target
};

struct QN_FILE_PLACEMENT {
    std::string strURL;          // the server copy
    std::string strTempFolder;   // the temporary folder, native, ending in '/'
    std::string strTempName;     // the name below it as the download session takes it
    std::string strTempFile;     // the same file as a native path
    std::string strTargetFile;   // the file to replace, native path
    uint32_t uCRC = 0;           // the checksum the record gives
    QN_TransferStopTest fnStop;  // a true result stops the download
    // Puts the verified temporary file in the target's place; QN_ReplaceFileByRename when
    // empty. 1 or 0.
    std::function<int()> fnMove;
};

// Runs the placement. The target is not touched before a download whose checksum matches is
// there; a missing folder on the target's path is made then. The temporary file is removed on
// every way out, and the download session leaves nothing outside the temporary folder.
// *puRetCRC (may be null) receives the downloaded file's checksum once taken.
QN_PLACEMENT_STEP QN_PlaceVerifiedDownload(const QN_FILE_PLACEMENT& crJob, uint32_t* puRetCRC);

// Replaces strTarget by strSource: rename, tried up to three times 500 ms apart; across file
// systems a copy written beside the target and renamed over it, so the target is always either
// the old file or the whole new one. The new file keeps the permission bits of the file it
// replaces. A symbolic link at the target is replaced itself; what it points to is never
// written. 1, or 0 with *pnRetErrno (may be null) the system error of the last attempt.
int QN_ReplaceFileByRename(const std::string& strSource, const std::string& strTarget, int* pnRetErrno);
