#include "QN_RepairNormalFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "QN_CRC.h"
#include "QN_FilePlacement.h"
#include "QN_HttpTransfer.h"
#include "QN_Log.h"
#include "QN_MakeSureDir.h"
#include "qn_file.h"
#include "qn_file_io.h"
#include "qn_file_replace.h"
#include "qn_string.h"

namespace {

const char kInfoFileName[] = "qel_repair.info";
const char kCheckFunctionName[] = "QN_RepairNormalFile::_CheckFunction";
const char kDirInfoFunctionName[] = "QN_RepairNormalFile::_DownloadDirInfo";
// Below this share of corrupt files the file-repair table is read 4 bytes a file; from it on,
// whole.
constexpr float kWholeRepairTableRatio = 0.05f;

std::string NativePath(const std::string& strPath) { return QN_NativePath(strPath.c_str()); }

void AppendSeparator(std::string* pPath, char chSeparator) {
    if (pPath->empty() || !QN_IsPathSeparator(pPath->back())) pPath->push_back(chSeparator);
}

bool StartsWithNoCase(const char* cszName, const std::string& strPrefix) {
    for (size_t i = 0; i < strPrefix.size(); ++i) {
        unsigned char a = (unsigned char)cszName[i], b = (unsigned char)strPrefix[i];
        if (a == 0) return false;
        if (a >= 'A' && a <= 'Z') a = (unsigned char)(a + 32);
        if (b >= 'A' && b <= 'Z') b = (unsigned char)(b + 32);
        if (a != b) return false;
    }
    return true;
}

}  // namespace

QN_RepairNormalFile::QN_RepairNormalFile()
    : m_nStatusCode(QN_RFSC_NONE),
      m_fCheckProgress(0.0f),
      m_fRepairProgress(0.0f),
      m_fCorruptRatio(0.0f),
      m_bFileInUse(0),
      m_RepairInfoFileHeader() {}

QN_RepairNormalFile::~QN_RepairNormalFile() {
    // The worker uses the members below; it has to end before they go.
    m_WorkThread.Wait();
}

int QN_RepairNormalFile::Init(const char* cszClientPath, const char* cszTempFilePath, const char* cszURLPrefix) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(cszClientPath);
    QNLOG_PROCESS_ERROR(cszClientPath[0]);
    QNLOG_PROCESS_ERROR(cszTempFilePath);
    QNLOG_PROCESS_ERROR(cszTempFilePath[0]);
    QNLOG_PROCESS_ERROR(cszURLPrefix);
    QNLOG_PROCESS_ERROR(cszURLPrefix[0]);

    m_bFileInUse = 0;
    m_strClientPath = cszClientPath;
    AppendSeparator(&m_strClientPath, '\\');
    m_strTempFilePath = cszTempFilePath;
    AppendSeparator(&m_strTempFilePath, '\\');
    m_strURLPrefix = cszURLPrefix;
    AppendSeparator(&m_strURLPrefix, '/');
    m_nStatusCode.store(QN_RFSC_NONE, std::memory_order_release);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairNormalFile::AddIgnoreFile(const char* cszFileName) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(cszFileName);
    QNLOG_PROCESS_ERROR(cszFileName[0]);
    m_IgnoreFileList.push_back(cszFileName);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairNormalFile::AddIgnoreDirectory(const char* cszDirectoryName) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(cszDirectoryName);
    QNLOG_PROCESS_ERROR(cszDirectoryName[0]);
    m_IgnoreDirectoryList.push_back(cszDirectoryName);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairNormalFile::StartCheck() {
    int nResult = 0;
    QN_REPAIR_PHASE_START eStart = QN_StartRepairPhase(&m_nStatusCode, QN_RFSC_CHECKING, &m_fCheckProgress,
                                                       &m_WorkThread, _CheckThreadFunction, this);

    QNLOG_PROCESS_ERROR_TEXT(eStart == QN_REPAIR_PHASE_START::STARTED, "nRetCode && \"m_WorkThread.Create(_CheckThreadFunction)\"");

    nResult = 1;
Exit0:
    return nResult;
}

int QN_RepairNormalFile::StartRepair() {
    int nResult = 0;
    QN_REPAIR_PHASE_START eStart = QN_StartRepairPhase(&m_nStatusCode, QN_RFSC_REPAIRING, &m_fRepairProgress,
                                                       &m_WorkThread, _RepairThreadFunction, this);

    QNLOG_PROCESS_ERROR_TEXT(eStart != QN_REPAIR_PHASE_START::REFUSED, "m_nStatusCode == QN_RFSC_SUCCESS_FINISH_CHECK");
    QNLOG_PROCESS_ERROR_TEXT(eStart == QN_REPAIR_PHASE_START::STARTED, "nRetCode");

    nResult = 1;
Exit0:
    return nResult;
}

int QN_RepairNormalFile::GetCorrputFileList(QN_FILE_NAME_LIST* pRetFileNameList) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(pRetFileNameList);
    pRetFileNameList->clear();
    for (const QN_CORRUPT_FILE_INFO& info : m_CorruptFileList) pRetFileNameList->push_back(info.CheckInfo.strFileName);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairNormalFile::GetCanNotRepairFileList(QN_FILE_NAME_LIST* pRetFileNameList) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(pRetFileNameList);
    if (pRetFileNameList != &m_CanNotRepairFileList) *pRetFileNameList = m_CanNotRepairFileList;

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairNormalFile::UnInit() {
    m_nStatusCode.store(QN_RFSC_ERROR_ABROT, std::memory_order_release);
    m_WorkThread.Wait();
    return 1;
}

bool QN_RepairNormalFile::_IsIgnoreFile(const char* cszFileName) const {
    // The ignore lists match the table's names without regard to ASCII case on purpose: they
    // name entries of the server's table, not local files, and the table's spelling of a name
    // may differ from the list's.
    for (const std::string& strFile : m_IgnoreFileList)
        if (QN_StrICmp(cszFileName, strFile.c_str()) == 0) return true;
    for (const std::string& strDir : m_IgnoreDirectoryList)
        if (StartsWithNoCase(cszFileName, strDir)) return true;
    return std::strncmp(cszFileName, "3rdParty\\", 9) == 0;
}

int QN_RepairNormalFile::_CheckThreadFunction(void* pvParam) {
    return static_cast<QN_RepairNormalFile*>(pvParam)->_CheckFunction();
}

int QN_RepairNormalFile::_RepairThreadFunction(void* pvParam) {
    return static_cast<QN_RepairNormalFile*>(pvParam)->_RepairFunction();
}

int QN_RepairNormalFile::_CheckFunction() {
    int nResult = 0;
    int nRetCode = 0;
    QN_HttpBlockDownloader HttpSyncBlock;
    QN_HttpBlockDownloader::TableFetch eFetch = QN_HttpBlockDownloader::TableFetch::Refused;
    std::string strInfoURL = m_strURLPrefix + kInfoFileName;
    std::string strClientPath = NativePath(m_strClientPath);
    std::vector<uint8_t> Bytes;
    std::vector<QN_REPAIR_FILE_CHECK_INFO> CheckInfoVector;
    uint32_t uFileCount = 0;
    uint32_t uCorruptCount = 0;
    uint32_t uCheckCRC = 0;
    std::string strLocalName;
    std::string strFilePath;
    bool bCorrupt = false;
    // The failure the phase ends with, written last.
    int32_t nFailure = QN_RFSC_ERROR_FAILED;

    m_CorruptFileList.clear();
    HttpSyncBlock.SetStopTest([this] { return _Aborted(); });

    nRetCode = HttpSyncBlock.Init(strInfoURL.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Init()");

    eFetch = HttpSyncBlock.FetchTable(0, QN_REPAIR_INFO_HEADER_SIZE, &Bytes);
    QNLOG_PROCESS_ERROR_TEXT(eFetch != QN_HttpBlockDownloader::TableFetch::Refused,
                             "nRetCode && \"HttpSyncBlock.AddBlock()\"");
    if (eFetch != QN_HttpBlockDownloader::TableFetch::Fetched) {
        nFailure = QN_RFSC_ERROR_DOWNLOAD;
        QNLOG_PROCESS_ERROR(false && "HttpSyncBlock.Download()");
    }
    std::memcpy(m_RepairInfoFileHeader.byRaw, Bytes.data(), QN_REPAIR_INFO_HEADER_SIZE);

    QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
    m_fCheckProgress = 0.1f;

    QN_DecodeRepairInfoHeader(&m_RepairInfoFileHeader);
    nRetCode = QN_CheckRepairInfoHeader(m_RepairInfoFileHeader, kCheckFunctionName);
    if (!nRetCode) goto Exit0;

    // The table's bytes are received straight into Bytes, which grows with what arrives.
    eFetch = HttpSyncBlock.FetchTable(m_RepairInfoFileHeader.uFileCheckInfoOffset,
                                      m_RepairInfoFileHeader.uFileCheckInfoSize, &Bytes);
    QNLOG_PROCESS_ERROR_TEXT(eFetch != QN_HttpBlockDownloader::TableFetch::Refused,
                             "nRetCode && \"HttpSyncBlock.AddBlock()\"");
    if (eFetch != QN_HttpBlockDownloader::TableFetch::Fetched) {
        nFailure = QN_RFSC_ERROR_DOWNLOAD;
        QNLOG_PROCESS_ERROR(false && "HttpSyncBlock.Download()");
    }

    QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
    m_fCheckProgress = 0.3f;

    nRetCode = QN_ParseFileCheckTable(Bytes.data(), (uint32_t)Bytes.size(), m_RepairInfoFileHeader.uFileCheckInfoCRC,
                                      [this] { return _Aborted(); }, kCheckFunctionName, &CheckInfoVector);
    if (!nRetCode) goto Exit0;
    // The parsed records hold what the check needs; the raw table goes now.
    std::vector<uint8_t>().swap(Bytes);

    uFileCount = (uint32_t)CheckInfoVector.size();
    for (uint32_t i = 0; i < uFileCount; ++i) {
        const QN_REPAIR_FILE_CHECK_INFO& CheckInfo = CheckInfoVector[i];
        QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
        m_fCheckProgress = 0.3f + 0.7f * (float)i / (float)uFileCount;
        if (_IsIgnoreFile(CheckInfo.strFileName.c_str())) continue;

        // The parser refused names that are not safe relative paths.
        QN_LocalPathFromTableName(CheckInfo.strFileName.c_str(), &strLocalName);
        strFilePath = strClientPath + strLocalName;
        bCorrupt = !QN_PathExists(strFilePath.c_str()) || !QN_GetFileCRC(strFilePath.c_str(), &uCheckCRC) ||
                   uCheckCRC != CheckInfo.uCRC;
        if (bCorrupt) {
            m_CorruptFileList.push_back({CheckInfo, 0, i});
            ++uCorruptCount;
        }
    }
    // Ignored files count in the share; an empty table has none corrupt.
    m_fCorruptRatio = uFileCount ? (float)uCorruptCount / (float)uFileCount : 0.0f;

    nResult = 1;
Exit0:
    m_fCheckProgress = 1.0f;
    // The final status is the phase's last visible write: whoever sees it sees the list too.
    if (nResult && !QN_RaiseRepairStatus(&m_nStatusCode, QN_RFSC_SUCCESS_FINISH_CHECK)) nResult = 0;
    if (!nResult) QN_RaiseRepairStatus(&m_nStatusCode, nFailure);
    return nResult;
}

int QN_RepairNormalFile::_RepairFunction() {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uCount = (uint32_t)m_CorruptFileList.size();
    int32_t nFailure = QN_RFSC_ERROR_FAILED;

    m_CanNotRepairFileList.clear();

    if (uCount > 0) {
        nRetCode = _DownloadDirInfo();
        QNLOG_PROCESS_ERROR(nRetCode && "_DownloadDirInfo()");

        QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
        m_fRepairProgress = 0.05f;

        nRetCode = _DownloadFileRepairInfo();
        QNLOG_PROCESS_ERROR(nRetCode && "_DownloadFileRepairInfo()");

        QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
        m_fRepairProgress = 0.1f;

        for (uint32_t i = 0; i < uCount; ++i) {
            QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
            m_fRepairProgress = 0.1f + 0.9f * (float)i / (float)uCount;
            nRetCode = _RepairCorruptFile(m_CorruptFileList[i]);
            if (!nRetCode) m_CanNotRepairFileList.push_back(m_CorruptFileList[i].CheckInfo.strFileName);
            if (m_bFileInUse) {
                nFailure = QN_RFSC_ERROR_FILE_IN_USE;
                goto Exit0;
            }
        }
    }

    nResult = 1;
Exit0:
    m_fRepairProgress = 1.0f;
    if (nResult && !QN_RaiseRepairStatus(&m_nStatusCode, QN_RFSC_SUCCESS_FINISH_REPAIR)) nResult = 0;
    if (!nResult) {
        // A failed phase reports every corrupt file as unrepaired.
        m_CanNotRepairFileList.clear();
        for (const QN_CORRUPT_FILE_INFO& info : m_CorruptFileList)
            m_CanNotRepairFileList.push_back(info.CheckInfo.strFileName);
        QN_RaiseRepairStatus(&m_nStatusCode, nFailure);
    }
    return nResult;
}

int QN_RepairNormalFile::_DownloadDirInfo() {
    int nResult = 0;
    int nRetCode = 0;
    QN_HttpBlockDownloader HttpSyncBlock;
    QN_HttpBlockDownloader::TableFetch eFetch = QN_HttpBlockDownloader::TableFetch::Refused;
    std::string strInfoURL = m_strURLPrefix + kInfoFileName;
    std::vector<uint8_t> Bytes;

    m_DirNameVector.clear();
    HttpSyncBlock.SetStopTest([this] { return _Aborted(); });

    nRetCode = HttpSyncBlock.Init(strInfoURL.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Init()");
    eFetch = HttpSyncBlock.FetchTable(m_RepairInfoFileHeader.uDirInfoOffset, m_RepairInfoFileHeader.uDirInfoSize, &Bytes);
    QNLOG_PROCESS_ERROR_TEXT(eFetch != QN_HttpBlockDownloader::TableFetch::Refused,
                             "nRetCode && \"HttpSyncBlock.AddBlock()\"");
    QNLOG_PROCESS_ERROR_TEXT(eFetch == QN_HttpBlockDownloader::TableFetch::Fetched,
                             "nRetCode && \"HttpSyncBlock.Download()\"");

    nRetCode = QN_ParseDirTable(Bytes.data(), (uint32_t)Bytes.size(), m_RepairInfoFileHeader.uDirInfoCRC,
                                [this] { return _Aborted(); }, kDirInfoFunctionName, &m_DirNameVector);
    if (!nRetCode) goto Exit0;

    nResult = 1;
Exit0:
    return nResult;
}

int QN_RepairNormalFile::_DownloadFileRepairInfo() {
    int nResult = 0;
    int nRetCode = 0;
    QN_HttpBlockDownloader HttpSyncBlock;
    QN_HttpBlockDownloader::TableFetch eFetch = QN_HttpBlockDownloader::TableFetch::Refused;
    std::string strInfoURL = m_strURLPrefix + kInfoFileName;
    const uint32_t uTableOffset = m_RepairInfoFileHeader.uFileRepairInfoOffset;
    const uint32_t uTableSize = m_RepairInfoFileHeader.uFileRepairInfoSize;
    std::vector<uint8_t> Bytes;

    HttpSyncBlock.SetStopTest([this] { return _Aborted(); });
    nRetCode = HttpSyncBlock.Init(strInfoURL.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Init()");

    if (m_fCorruptRatio < kWholeRepairTableRatio) {
        // Few files: one 4-byte range each, joined where they touch, in one download.
        Bytes.assign(m_CorruptFileList.size() * 4, 0);
        for (size_t k = 0; k < m_CorruptFileList.size(); ++k) {
            nRetCode = HttpSyncBlock.AddBlock((uint64_t)uTableOffset + 4ull * m_CorruptFileList[k].uFileIndex, 4,
                                              &Bytes[k * 4]);
            QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.AddBlock()");
        }
        nRetCode = HttpSyncBlock.Download();
        QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Download()");
        for (size_t k = 0; k < m_CorruptFileList.size(); ++k) m_CorruptFileList[k].uDirID = QN_ReadU32LE(&Bytes[k * 4]);
    } else {
        eFetch = HttpSyncBlock.FetchTable(uTableOffset, uTableSize, &Bytes);
        QNLOG_PROCESS_ERROR_TEXT(eFetch != QN_HttpBlockDownloader::TableFetch::Refused,
                                 "nRetCode && \"HttpSyncBlock.AddBlock()\"");
        QNLOG_PROCESS_ERROR_TEXT(eFetch == QN_HttpBlockDownloader::TableFetch::Fetched,
                                 "nRetCode && \"HttpSyncBlock.Download()\"");
        for (QN_CORRUPT_FILE_INFO& info : m_CorruptFileList) {
            QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
            nRetCode = QN_GetFileRepairDirID(Bytes.data(), uTableSize, info.uFileIndex, &info.uDirID);
            if (!nRetCode) {
                // The table carries no checksum: a table too short for this file leaves only
                // this file unrepairable (no folder has this index).
                QNLOG_CHECK_ERROR(4ull * info.uFileIndex + 4 <= uTableSize);
                info.uDirID = UINT32_MAX;
            }
        }
    }

    nResult = 1;
Exit0:
    return nResult;
}

int QN_RepairNormalFile::_RepairCorruptFile(const QN_CORRUPT_FILE_INFO& crCorruptFileInfo) {
    int nResult = 0;
    int nRetCode = 0;
    const std::string& strName = crCorruptFileInfo.CheckInfo.strFileName;
    const uint32_t uDirID = crCorruptFileInfo.uDirID;
    std::string strLocalName;
    std::string strDstFile, strTmpFile;
    QN_FILE_PLACEMENT job;
    QN_PLACEMENT_STEP eStep = QN_PLACEMENT_DONE;

    QNLOG_PROCESS_ERROR(uDirID < (unsigned)m_DirNameVector.size());
    nRetCode = QN_LocalPathFromTableName(strName.c_str(), &strLocalName);
    QNLOG_PROCESS_ERROR(nRetCode && "QN_LocalPathFromTableName()");

    strDstFile = m_strClientPath + strName;
    strTmpFile = m_strTempFilePath + strName;
    job.strURL = m_strURLPrefix + m_DirNameVector[uDirID] + "/" + strName;
    job.strTempFolder = NativePath(m_strTempFilePath);
    job.strTempName = strName;
    job.strTempFile = job.strTempFolder + strLocalName;
    job.strTargetFile = NativePath(m_strClientPath) + strLocalName;
    job.uCRC = crCorruptFileInfo.CheckInfo.uCRC;
    job.fnStop = [this] { return _Aborted(); };
    job.fnMove = [&] { return _MoveFile(strTmpFile.c_str(), strDstFile.c_str()); };

    // The shared placement downloads into the temporary folder and replaces the file only with
    // a verified copy; each of its steps is reported here in this operation's own lines.
    eStep = QN_PlaceVerifiedDownload(job, nullptr);
    QNLOG_PROCESS_ERROR_TEXT(eStep != QN_PLACEMENT_TEMP_FOLDER && eStep != QN_PLACEMENT_TARGET_FOLDER,
                             "nRetCode && \"QN_MakeSureDirForFile()\"");
    QNLOG_PROCESS_ERROR_TEXT(eStep != QN_PLACEMENT_NAME_TOO_LONG,
                             "wsTempDir.size() <= kMaxWidePath && wsFileName.size() <= kMaxWidePath");
    QNLOG_PROCESS_ERROR_TEXT(eStep != QN_PLACEMENT_DOWNLOAD, "nRetCode && \"_QN_HttpSyncDownloadFile()\"");
    QNLOG_PROCESS_ERROR_TEXT(eStep != QN_PLACEMENT_CHECKSUM, "nRetCode && \"QN_GetFileCRC()\"");
    QNLOG_PROCESS_ERROR_TEXT(eStep != QN_PLACEMENT_CHECKSUM_DIFFERS, "uCheckCRC == crCorruptFileInfo.CheckInfo.uCRC");
    QNLOG_PROCESS_ERROR_TEXT(eStep != QN_PLACEMENT_MOVE, "nRetCode && \"_MoveFile()\"");

    nResult = 1;
Exit0:
    if (!nResult) QNLog_Printf(7, "Failed to repair file %s, GetLastError() = %d.", strName.c_str(), QN_GetLastErrno());
    return nResult;
}

int QN_RepairNormalFile::_MoveFile(const char* cszSrcFile, const char* cszDstFile) {
    int nResult = 0;
    int nErrno = 0;

    nResult = QN_ReplaceFileByRename(NativePath(cszSrcFile), NativePath(cszDstFile), &nErrno);
    QNLOG_PROCESS_ERROR_TEXT(nResult, "nRetCode");
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to move file `%s` to `%s`, Error code : %d.", cszSrcFile, cszDstFile, nErrno);
        m_bFileInUse = 1;
    }
    return nResult;
}
