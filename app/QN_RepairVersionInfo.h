// The dialog's record of the client edition being repaired.
#pragma once

#include <cstdint>
#include <string>

#include "QN_RepairClientResource.h"

struct QN_REPAIR_VERSION_INFO {
    std::string strVersionType;  // the edition key
    std::string strVersionName;  // the name shown in the status lines
    std::string strBinPath;      // "bin/" + the edition's sub-folder + "/", relative to the root
    std::string strRepairURL;    // the repair server's base URL + the edition's URL part + "/"
    uint32_t uPakVersion = 0;    // package format version; always 3
    // Names the ordinary-file check skips, in table form ('\' inside, as the server's list has
    // them): files of the client root, and folders relative to its bin folder.
    QN_CLIENT_FILE_NAME_LIST IgnoreFileList;
    QN_CLIENT_FILE_NAME_LIST IgnoreDirectoryList;
};
