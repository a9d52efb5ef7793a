// The package repairer's interface: checks and repairs the format-3 resource packages of one
// client installation against the repair server. The coordinator creates it with
// QN_CreatePackageV3Repair, starts the check and then the repair, polls the status and both
// progress values, and stops and releases it.
#pragma once

#include <cstdint>
#include <vector>

#include "qn_com.h"

// Status codes of the package repairer.
enum QN_REPAIR_PACKAGE_STATUS_CODE {
    QN_RPS_NONE = 0,
    QN_RPS_CHECKING = 1,
    QN_RPS_REPAIRING = 2,
    QN_RPS_SUCCESS_FINISH_CHECK = 3,
    QN_RPS_SUCCESS_FINISH_REPAIR = 4,
    QN_RPS_ERROR_FAILED = 5,
    QN_RPS_ERROR_ABROT = 6,
    QN_RPS_ERROR_DOWNLOAD = 7,
};

// One broken block found by the check: a copy of the block's check record.
struct QNPK_BROKEN_ELEM_FILE {
    uint64_t ullAddress;
    uint64_t ullSize;
    uint32_t uCRC32;
};

typedef std::vector<QNPK_BROKEN_ELEM_FILE> QNPK_BROKEN_ELEM_FILE_LIST;

struct IQN_PackageRepair : IUnknown {
    virtual HRESULT StartCheck() = 0;
    virtual HRESULT StartRepair() = 0;
    // Ends both phases; returns once the work thread and the download thread have ended.
    virtual HRESULT Stop() = 0;
    virtual int GetStatusCode() = 0;
    virtual float GetCheckProgress() = 0;
    virtual float GetRepairProgress() = 0;
    // Broken folder files + broken blocks + broken empty regions + 1 for a broken Package.CFG.
    virtual uint32_t GetBrokenElemFileCount() = 0;
    virtual bool GetBrokenElemFileList(QNPK_BROKEN_ELEM_FILE_LIST* pRetBrokenElemFileList) = 0;
    // Elements the repair left broken (folder files not fetched or failing their CRC, blocks not
    // written, empty regions not refilled), so that callers never report more success than
    // happened. 0 before a repair ran.
    virtual uint32_t GetCanNotRepairElemFileCount() = 0;

protected:
    ~IQN_PackageRepair() = default;
};

// Creates a package repairer for the package folder and the package repair URL (the URL of the
// server folder that holds "Repair.REP"). On success *ppRetPackageRepair holds the only
// reference. pcszTempDirectory names the run's temporary folder: folder files are downloaded
// into its subfolder QNPK_DIR_FILE_TEMP_SUBFOLDER and checked there before they replace a file
// of the package.
// Without one, or when that subfolder cannot be made (a file system that refuses its ':', or an
// entry of the player's at its name), the repairer uses a folder ".QelRepairTemp" inside the
// package folder, made when the folder-file step starts and removed when it ends.
// The subfolder of the run's temporary folder that the folder-file step makes, empties and
// removes. The ordinary-file repairer downloads into the same temporary folder under the local
// path of each table name, so the subfolder's name is one that no table name can give: a name
// that begins with a drive ("X:") is refused as absolute, and empty or "." parts before it
// cannot move such a name away from the start.
#define QNPK_DIR_FILE_TEMP_SUBFOLDER "P:pakV3"

HRESULT QN_CreatePackageV3Repair(const wchar_t* pcszPackageDirectory,
                                 const wchar_t* pcszPackageRepairURL,
                                 IQN_PackageRepair** ppRetPackageRepair,
                                 const wchar_t* pcszTempDirectory = nullptr);
