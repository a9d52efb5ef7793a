#include "QN_NormalFileRepairInfo.h"

#include <algorithm>

#include "QN_CRC.h"
#include "QN_Log.h"
#include "qn_string.h"

// As QNLOG_PROCESS_ERROR, with the condition's text and the reading function's name given: the
// lines name the repairer's function that reads the piece, and keep its texts.
#define QN_INFO_CHECK(Condition, Text)                                                                  \
    do {                                                                                                \
        if (!(Condition)) {                                                                             \
            QNLog_Printf(7, "QNLOG_PROCESS_ERROR(%s) at line %d in %s\n", Text, __LINE__, cszFunction); \
            goto Exit0;                                                                                 \
        }                                                                                               \
    } while (0)

namespace {

constexpr uint32_t kU32 = 4;
// The smallest file-check record: a size field, a one-byte name (its zero) and a CRC.
constexpr uint32_t kMinFileRecordSize = 9;
// The smallest folder record: a size field and a one-byte name.
constexpr uint32_t kMinDirRecordSize = 5;

}  // namespace

void QN_DecodeRepairInfoHeader(QN_REPAIR_INFO_FILE_HEADER* pHeader) {
    const uint8_t* p = pHeader->byRaw;
    pHeader->uType = QN_ReadU32LE(p + 0);
    pHeader->uVersion = QN_ReadU32LE(p + 4);
    pHeader->uHeaderCRC = QN_ReadU32LE(p + 8);
    pHeader->uFileCheckInfoOffset = QN_ReadU32LE(p + 12);
    pHeader->uFileCheckInfoSize = QN_ReadU32LE(p + 16);
    pHeader->uFileCheckInfoCRC = QN_ReadU32LE(p + 20);
    pHeader->uDirInfoOffset = QN_ReadU32LE(p + 36);
    pHeader->uDirInfoSize = QN_ReadU32LE(p + 40);
    pHeader->uDirInfoCRC = QN_ReadU32LE(p + 44);
    pHeader->uFileRepairInfoOffset = QN_ReadU32LE(p + 48);
    pHeader->uFileRepairInfoSize = QN_ReadU32LE(p + 52);
}

int QN_CheckRepairInfoHeader(const QN_REPAIR_INFO_FILE_HEADER& header, const char* cszFunction) {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uCheckCRC = 0;

    nRetCode = QN_GetRepairFileHeaderCRC(header.byRaw, &uCheckCRC);
    QN_INFO_CHECK(nRetCode, "nRetCode && \"QN_GetRepairFileHeaderCRC()\"");
    QN_INFO_CHECK(uCheckCRC == header.uHeaderCRC, "uCheckCRC == m_RepairInfoFileHeader.uHeaderCRC");
    QN_INFO_CHECK(header.uType == QN_REPAIR_INFO_FILE_TYPE,
                  "m_RepairInfoFileHeader.uType == QN_REPAIR_INFO_FILE_TYPE");
    QN_INFO_CHECK(header.uVersion == QN_REPAIR_INFO_FILE_VERSION,
                  "m_RepairInfoFileHeader.uVersion == QN_REPAIR_INFO_FILE_VERSION");

    nResult = 1;
Exit0:
    return nResult;
}

int QN_ParseFileCheckTable(const uint8_t* pbyBuffer, uint32_t uSize, uint32_t uExpectedCRC,
                           const QN_RepairInfoAbortTest& fnAborted, const char* cszFunction,
                           std::vector<QN_REPAIR_FILE_CHECK_INFO>* pRetList) {
    int nResult = 0;
    uint32_t uCheckCRC = 0;
    uint32_t uPos = 0;
    uint32_t uFileCount = 0;
    uint32_t uNameSize = 0;
    QN_REPAIR_FILE_CHECK_INFO CheckInfo;
    std::string strLocalPath;

    pRetList->clear();
    uCheckCRC = QN_CRC32Update(0, pbyBuffer, uSize);
    QN_INFO_CHECK(uCheckCRC == uExpectedCRC, "uCheckCRC == m_RepairInfoFileHeader.uFileCheckInfoCRC");

    QN_INFO_CHECK((uint64_t)uPos + kU32 <= uSize, "pbyReadPos + sizeof(uFileCount) <= pbyTailPos");
    uFileCount = QN_ReadU32LE(pbyBuffer + uPos);
    uPos += kU32;

    // The count comes from the server: room is reserved only for as many records as the
    // table can hold.
    pRetList->reserve(std::min<uint32_t>(uFileCount, (uSize - kU32) / kMinFileRecordSize));

    for (uint32_t i = 0; i < uFileCount; ++i) {
        QN_INFO_CHECK(!(fnAborted && fnAborted()), "m_nStatusCode != QN_RFSC_ERROR_ABROT");
        QN_INFO_CHECK((uint64_t)uPos + kU32 <= uSize, "pbyReadPos + sizeof(uNameSize) <= pbyTailPos");
        uNameSize = QN_ReadU32LE(pbyBuffer + uPos);
        uPos += kU32;
        QN_INFO_CHECK(uNameSize < QN_REPAIR_INFO_MAX_NAME_SIZE, "uNameSize < _countof(szFileName)");
        QN_INFO_CHECK((uint64_t)uPos + uNameSize <= uSize, "pbyReadPos + uNameSize <= pbyTailPos");
        // A name of no bytes cannot hold its terminating zero.
        QN_INFO_CHECK(uNameSize > 0, "uNameSize > 0");
        QN_INFO_CHECK(pbyBuffer[uPos + uNameSize - 1] == '\0', "szFileName[uNameSize - 1] == '\\0'");
        CheckInfo.strFileName.assign((const char*)pbyBuffer + uPos);
        uPos += uNameSize;
        // The name becomes a path below the client folder: it must stay there.
        QN_INFO_CHECK(QN_LocalPathFromTableName(CheckInfo.strFileName.c_str(), &strLocalPath),
                      "QN_LocalPathFromTableName(szFileName)");
        QN_INFO_CHECK((uint64_t)uPos + kU32 <= uSize, "pbyReadPos + sizeof(CheckInfo.uCRC) <= pbyTailPos");
        CheckInfo.uCRC = QN_ReadU32LE(pbyBuffer + uPos);
        uPos += kU32;
        pRetList->push_back(CheckInfo);
    }

    nResult = 1;
Exit0:
    if (!nResult) pRetList->clear();
    return nResult;
}

int QN_ParseDirTable(const uint8_t* pbyBuffer, uint32_t uSize, uint32_t uExpectedCRC,
                     const QN_RepairInfoAbortTest& fnAborted, const char* cszFunction,
                     std::vector<std::string>* pRetDirNames) {
    int nResult = 0;
    uint32_t uCheckCRC = 0;
    uint32_t uPos = 0;
    uint32_t uDirCount = 0;
    uint32_t uNameSize = 0;

    pRetDirNames->clear();
    uCheckCRC = QN_CRC32Update(0, pbyBuffer, uSize);
    QN_INFO_CHECK(uCheckCRC == uExpectedCRC, "uCheckCRC == m_RepairInfoFileHeader.uDirInfoCRC");

    QN_INFO_CHECK((uint64_t)uPos + kU32 <= uSize, "pbyReadPos + sizeof(uDirCount) <= pbyTailPos");
    uDirCount = QN_ReadU32LE(pbyBuffer + uPos);
    uPos += kU32;

    pRetDirNames->reserve(std::min<uint32_t>(uDirCount, (uSize - kU32) / kMinDirRecordSize));

    for (uint32_t i = 0; i < uDirCount; ++i) {
        QN_INFO_CHECK(!(fnAborted && fnAborted()), "m_nStatusCode != QN_RFSC_ERROR_ABROT");
        QN_INFO_CHECK((uint64_t)uPos + kU32 <= uSize, "pbyReadPos + sizeof(uNameSize) <= pbyTailPos");
        uNameSize = QN_ReadU32LE(pbyBuffer + uPos);
        uPos += kU32;
        // Here the bound on the name comes before the limit of the name field.
        QN_INFO_CHECK((uint64_t)uPos + uNameSize <= uSize, "pbyReadPos + uNameSize <= pbyTailPos");
        QN_INFO_CHECK(uNameSize < QN_REPAIR_INFO_MAX_NAME_SIZE, "uNameSize < _countof(szDirName)");
        QN_INFO_CHECK(uNameSize > 0, "uNameSize > 0");
        QN_INFO_CHECK(pbyBuffer[uPos + uNameSize - 1] == '\0', "szDirName[uNameSize - 1] == '\\0'");
        pRetDirNames->emplace_back((const char*)pbyBuffer + uPos);
        uPos += uNameSize;
    }

    nResult = 1;
Exit0:
    if (!nResult) pRetDirNames->clear();
    return nResult;
}

int QN_GetFileRepairDirID(const uint8_t* pbyTable, uint32_t uTableSize, uint32_t uFileIndex, uint32_t* puRetDirID) {
    if (!pbyTable || !puRetDirID) return 0;
    if ((uint64_t)uFileIndex * kU32 + kU32 > uTableSize) return 0;
    *puRetDirID = QN_ReadU32LE(pbyTable + (uint64_t)uFileIndex * kU32);
    return 1;
}
