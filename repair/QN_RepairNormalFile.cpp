#include "QN_RepairNormalFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "QN_CRC.h"
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
constexpr int kMoveAttempts = 3;
constexpr uint32_t kMoveRetryDelayMs = 500;
constexpr size_t kMaxWidePath = 260;
// The side name in the destination folder that a copied file takes before it is renamed into
// place, so that the destination is never half written.
const char kCopySuffix[] = ".qnrepair";

std::string NativePath(const std::string& strPath) {
    std::string s = strPath;
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

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

void SetAttributesNormal(const std::string& strNativePath) {
    std::wstring ws = QN_Utf8ToWide(strNativePath);
    if (QN_PathExists(strNativePath.c_str())) QN_SetFileAttributesNormalW(ws.c_str());
}

void DeleteIfFile(const std::string& strNativePath) {
    uint32_t uMode = 0;
    QN_LastErrorKeeper keep;
    if (QN_GetRegularFileMode(strNativePath.c_str(), &uMode)) QN_DeleteFile(strNativePath.c_str());
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
    int nRetCode = 0;

    // The progress starts again before the status shows the phase as running, so that no one
    // who sees "checking" sees the previous phase's 1.0 and then a lower value.
    m_fCheckProgress = 0.0f;
    m_nStatusCode.store(QN_RFSC_CHECKING, std::memory_order_release);
    m_WorkThread.Wait();
    nRetCode = m_WorkThread.Create(_CheckThreadFunction, this);
    QNLOG_PROCESS_ERROR(nRetCode && "m_WorkThread.Create(_CheckThreadFunction)");

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairNormalFile::StartRepair() {
    int nResult = 0;
    int nRetCode = 0;

    QNLOG_PROCESS_ERROR(m_nStatusCode == QN_RFSC_SUCCESS_FINISH_CHECK);
    // Reset before the phase shows as running, as in StartCheck.
    m_fRepairProgress = 0.0f;
    m_nStatusCode.store(QN_RFSC_REPAIRING, std::memory_order_release);
    m_WorkThread.Wait();
    nRetCode = m_WorkThread.Create(_RepairThreadFunction, this);
    QNLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RFSC_ERROR_FAILED, std::memory_order_release);
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
    std::string strInfoURL = m_strURLPrefix + kInfoFileName;
    std::string strClientPath = NativePath(m_strClientPath);
    uint8_t* pbyBuffer = nullptr;
    uint32_t uTableSize = 0;
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

    nRetCode = HttpSyncBlock.AddBlock(0, QN_REPAIR_INFO_HEADER_SIZE, m_RepairInfoFileHeader.byRaw);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.AddBlock()");
    nRetCode = HttpSyncBlock.Download();
    if (!nRetCode) {
        nFailure = QN_RFSC_ERROR_DOWNLOAD;
        QNLOG_PROCESS_ERROR(false && "HttpSyncBlock.Download()");
    }

    QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
    m_fCheckProgress = 0.1f;

    QN_DecodeRepairInfoHeader(&m_RepairInfoFileHeader);
    nRetCode = QN_CheckRepairInfoHeader(m_RepairInfoFileHeader, kCheckFunctionName);
    if (!nRetCode) goto Exit0;

    uTableSize = m_RepairInfoFileHeader.uFileCheckInfoSize;
    pbyBuffer = new (std::nothrow) uint8_t[uTableSize ? uTableSize : 1];
    QNLOG_PROCESS_ERROR(pbyBuffer);

    HttpSyncBlock.m_BlockInfoVector.clear();
    nRetCode = HttpSyncBlock.AddBlock(m_RepairInfoFileHeader.uFileCheckInfoOffset, uTableSize, pbyBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.AddBlock()");
    nRetCode = HttpSyncBlock.Download();
    if (!nRetCode) {
        nFailure = QN_RFSC_ERROR_DOWNLOAD;
        QNLOG_PROCESS_ERROR(false && "HttpSyncBlock.Download()");
    }

    QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
    m_fCheckProgress = 0.3f;

    nRetCode = QN_ParseFileCheckTable(pbyBuffer, uTableSize, m_RepairInfoFileHeader.uFileCheckInfoCRC,
                                      [this] { return _Aborted(); }, kCheckFunctionName, &CheckInfoVector);
    if (!nRetCode) goto Exit0;

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
    delete[] pbyBuffer;
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
    std::string strInfoURL = m_strURLPrefix + kInfoFileName;
    uint32_t uTableSize = m_RepairInfoFileHeader.uDirInfoSize;
    uint8_t* pbyBuffer = nullptr;

    m_DirNameVector.clear();
    HttpSyncBlock.SetStopTest([this] { return _Aborted(); });

    nRetCode = HttpSyncBlock.Init(strInfoURL.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Init()");
    pbyBuffer = new (std::nothrow) uint8_t[uTableSize ? uTableSize : 1];
    QNLOG_PROCESS_ERROR(pbyBuffer);
    nRetCode = HttpSyncBlock.AddBlock(m_RepairInfoFileHeader.uDirInfoOffset, uTableSize, pbyBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.AddBlock()");
    nRetCode = HttpSyncBlock.Download();
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Download()");

    nRetCode = QN_ParseDirTable(pbyBuffer, uTableSize, m_RepairInfoFileHeader.uDirInfoCRC, [this] { return _Aborted(); },
                                kDirInfoFunctionName, &m_DirNameVector);
    if (!nRetCode) goto Exit0;

    nResult = 1;
Exit0:
    delete[] pbyBuffer;
    return nResult;
}

int QN_RepairNormalFile::_DownloadFileRepairInfo() {
    int nResult = 0;
    int nRetCode = 0;
    QN_HttpBlockDownloader HttpSyncBlock;
    std::string strInfoURL = m_strURLPrefix + kInfoFileName;
    const uint32_t uTableOffset = m_RepairInfoFileHeader.uFileRepairInfoOffset;
    const uint32_t uTableSize = m_RepairInfoFileHeader.uFileRepairInfoSize;
    uint8_t* pbyBuffer = nullptr;
    std::vector<uint8_t> Entries;

    HttpSyncBlock.SetStopTest([this] { return _Aborted(); });
    nRetCode = HttpSyncBlock.Init(strInfoURL.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Init()");

    if (m_fCorruptRatio < kWholeRepairTableRatio) {
        // Few files: one 4-byte range each, joined where they touch, in one download.
        Entries.assign(m_CorruptFileList.size() * 4, 0);
        for (size_t k = 0; k < m_CorruptFileList.size(); ++k) {
            nRetCode = HttpSyncBlock.AddBlock((uint64_t)uTableOffset + 4ull * m_CorruptFileList[k].uFileIndex, 4,
                                              &Entries[k * 4]);
            QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.AddBlock()");
        }
        nRetCode = HttpSyncBlock.Download();
        QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Download()");
        for (size_t k = 0; k < m_CorruptFileList.size(); ++k) m_CorruptFileList[k].uDirID = QN_ReadU32LE(&Entries[k * 4]);
    } else {
        pbyBuffer = new (std::nothrow) uint8_t[uTableSize ? uTableSize : 1];
        QNLOG_PROCESS_ERROR(pbyBuffer);
        nRetCode = HttpSyncBlock.AddBlock(uTableOffset, uTableSize, pbyBuffer);
        QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.AddBlock()");
        nRetCode = HttpSyncBlock.Download();
        QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncBlock.Download()");
        for (QN_CORRUPT_FILE_INFO& info : m_CorruptFileList) {
            QNLOG_PROCESS_ERROR(m_nStatusCode != QN_RFSC_ERROR_ABROT);
            nRetCode = QN_GetFileRepairDirID(pbyBuffer, uTableSize, info.uFileIndex, &info.uDirID);
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
    delete[] pbyBuffer;
    return nResult;
}

int QN_RepairNormalFile::_RepairCorruptFile(const QN_CORRUPT_FILE_INFO& crCorruptFileInfo) {
    int nResult = 0;
    int nRetCode = 0;
    const std::string& strName = crCorruptFileInfo.CheckInfo.strFileName;
    const uint32_t uDirID = crCorruptFileInfo.uDirID;
    std::string strLocalName;
    std::string strURL;
    std::string strDstFile, strTmpFile;
    std::string strDstNative, strTmpNative;
    std::wstring wsTempDir, wsFileName;
    uint32_t uCheckCRC = 0;

    QNLOG_PROCESS_ERROR(uDirID < (unsigned)m_DirNameVector.size());
    nRetCode = QN_LocalPathFromTableName(strName.c_str(), &strLocalName);
    QNLOG_PROCESS_ERROR(nRetCode && "QN_LocalPathFromTableName()");

    strURL = m_strURLPrefix + m_DirNameVector[uDirID] + "/" + strName;
    strDstFile = m_strClientPath + strName;
    strTmpFile = m_strTempFilePath + strName;
    strDstNative = NativePath(m_strClientPath) + strLocalName;
    strTmpNative = NativePath(m_strTempFilePath) + strLocalName;

    nRetCode = QN_MakeSureDirForFile(strTmpNative.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "QN_MakeSureDirForFile()");
    // A target left by an earlier run that was killed would be taken as already downloaded;
    // its progress and data files stay, so that the download can resume.
    DeleteIfFile(strTmpNative);

    wsTempDir = QN_Utf8ToWide(NativePath(m_strTempFilePath));
    wsFileName = QN_Utf8ToWide(strName);
    QNLOG_PROCESS_ERROR(wsTempDir.size() <= kMaxWidePath);
    QNLOG_PROCESS_ERROR(wsFileName.size() <= kMaxWidePath);
    nRetCode = _QN_HttpSyncDownloadFile(strURL.c_str(), wsTempDir.c_str(), wsFileName.c_str(),
                                        [this] { return _Aborted(); });
    QNLOG_PROCESS_ERROR(nRetCode && "_QN_HttpSyncDownloadFile()");

    nRetCode = QN_GetFileCRC(strTmpNative.c_str(), &uCheckCRC);
    QNLOG_PROCESS_ERROR(nRetCode && "QN_GetFileCRC()");
    QNLOG_PROCESS_ERROR(uCheckCRC == crCorruptFileInfo.CheckInfo.uCRC);

    nRetCode = QN_MakeSureDirForFile(strDstNative.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "QN_MakeSureDirForFile()");
    SetAttributesNormal(strDstNative);

    nRetCode = _MoveFile(strTmpFile.c_str(), strDstFile.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "_MoveFile()");

    nResult = 1;
Exit0:
    if (!nResult) QNLog_Printf(7, "Failed to repair file %s, GetLastError() = %d.", strName.c_str(), QN_GetLastErrno());
    if (!strTmpNative.empty()) {
        SetAttributesNormal(strTmpNative);
        DeleteIfFile(strTmpNative);
    }
    return nResult;
}

int QN_RepairNormalFile::_MoveFile(const char* cszSrcFile, const char* cszDstFile) {
    int nResult = 0;
    const std::string strSrc = NativePath(cszSrcFile);
    const std::string strDst = NativePath(cszDstFile);
    const std::string strSide = strDst + kCopySuffix;
    uint32_t uMode = 0;
    bool bHasMode = false;
    int nErrno = 0;

    SetAttributesNormal(strDst);
    // The new file takes the permission bits of the one it replaces.
    bHasMode = QN_GetRegularFileMode(strDst.c_str(), &uMode) != 0;
    if (bHasMode) QN_SetFileMode(strSrc.c_str(), uMode);

    for (int nAttempt = 0; nAttempt < kMoveAttempts; ++nAttempt) {
        if (QN_MoveFileReplace(strSrc.c_str(), strDst.c_str())) {
            nResult = 1;
            goto Exit0;
        }
        nErrno = QN_GetLastErrno();
        // Another file system: no retry can help; the copy below can.
        if (nErrno == EXDEV) break;
        QN_Sleep(kMoveRetryDelayMs);
    }

    // Copied beside the destination first, then renamed over it, so that the destination is
    // either the old file or the whole new one.
    if (QN_CopyFileReplace(strSrc.c_str(), strSide.c_str())) {
        if (bHasMode) QN_SetFileMode(strSide.c_str(), uMode);
        if (QN_MoveFileReplace(strSide.c_str(), strDst.c_str())) {
            SetAttributesNormal(strSrc);
            QN_DeleteFile(strSrc.c_str());
            nResult = 1;
            goto Exit0;
        }
    }
    nErrno = QN_GetLastErrno();
    DeleteIfFile(strSide);

    QNLOG_PROCESS_ERROR_TEXT(false, "nRetCode");
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to move file %s to %s, Error code : %d.", cszSrcFile, cszDstFile, nErrno);
        m_bFileInUse = 1;
    }
    return nResult;
}
