#include "QN_DataFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "QN_CRC.h"
#include "QN_FileLayerCheck.h"
#include "qn_fd.h"
#include "qn_file.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "qn_time.h"
#include "repair_test_hooks.h"

namespace {

constexpr uint32_t QN_DATA_FILE_OPEN_RETRIES = 8;
constexpr uint32_t QN_DATA_FILE_OPEN_RETRY_DELAY = 500;
constexpr size_t QN_EMPTY_COMPARE_CHUNK = 1024;
constexpr size_t QN_FILE_CRC_CHUNK = 1024;
constexpr uint64_t QN_MAX_WRITE_SIZE = 0xFFFFFFFFull;

std::atomic<uint32_t> g_uOpenRetryDelay{0};
std::atomic<uint32_t> g_uEmptyFillPieceSize{0};
std::atomic<uint64_t> g_ullEmptyBufferAllocations{0};

uint32_t OpenRetryDelay() {
    uint32_t u = g_uOpenRetryDelay.load(std::memory_order_relaxed);
    return u ? u : QN_DATA_FILE_OPEN_RETRY_DELAY;
}

uint64_t EmptyFillPieceSize() {
    uint32_t u = g_uEmptyFillPieceSize.load(std::memory_order_relaxed);
    return (u && u < QN_DATA_FILE_EMPTY_BUFFER_SIZE) ? u : QN_DATA_FILE_EMPTY_BUFFER_SIZE;
}

// Number of data files after the first that [ullOffset, ullOffset + ullSize) reaches into.
uint64_t FilesBeyondFirst(uint64_t ullFileSize, uint64_t ullOffset, uint64_t ullSize) {
    uint64_t ullRoomInFirst = ullFileSize - ullOffset;
    if (ullSize <= ullRoomInFirst) return 0;
    uint64_t ullRest = ullSize - ullRoomInFirst;
    return ullRest / ullFileSize + (ullRest % ullFileSize ? 1 : 0);
}

}  // namespace

namespace qn::testing {
void SetDataFileOpenRetryDelay(uint32_t uMilliseconds) { g_uOpenRetryDelay.store(uMilliseconds); }
void SetEmptyFillPieceSize(uint32_t uBytes) { g_uEmptyFillPieceSize.store(uBytes); }
uint64_t GetEmptyFillBufferAllocations() { return g_ullEmptyBufferAllocations.load(); }
}  // namespace qn::testing

// ---------------------------------------------------------------------------------------------
// Paths and CRCs

int QN_FormatDataFileNameAndPath(const wchar_t* pcszDirectory, const wchar_t* pcszFileNamePrefix,
                                 uint32_t uIndex, wchar_t* pszRetFileName, wchar_t* pszRetFilePath) {
    wchar_t szFileName[QN_MAX_PATH];
    int nRetCode = 0;

    if (!pcszDirectory || !pcszFileNamePrefix) return 0;
    nRetCode = QN_snwprintf(szFileName, QN_MAX_PATH, L"%ls%u.%ls", pcszFileNamePrefix, uIndex, L"DAT");
    if (nRetCode <= 0) return 0;
    if (pszRetFilePath) {
        nRetCode = QN_snwprintf(pszRetFilePath, QN_MAX_PATH, L"%ls/%ls", pcszDirectory, szFileName);
        if (nRetCode <= 0) return 0;
    }
    if (pszRetFileName) std::wmemcpy(pszRetFileName, szFileName, QN_MAX_PATH);
    return 1;
}

int _GetDataFilePath(const wchar_t* pcszDirectory, const wchar_t* pcszFileNamePrefix, uint32_t uIndex,
                     wchar_t* pszRetFilePath) {
    int nResult = 0;
    int nRetCode = 0;

    QNLOG_ASSERT_EXIT(pszRetFilePath);
    QNLOG_ASSERT_EXIT(pcszDirectory);
    QNLOG_ASSERT_EXIT(pcszFileNamePrefix);

    nRetCode = QN_FormatDataFileNameAndPath(pcszDirectory, pcszFileNamePrefix, uIndex, nullptr, pszRetFilePath);
    nRetCode = nRetCode ? 0 : -1;
    QNLOG_PROCESS_ERROR(nRetCode != -1);

    nResult = 1;
Exit0:
    return nResult;
}

uint32_t QN_GetBufferCRC32(uint32_t uCRC, const uint8_t* pbyBuffer, uint64_t ullSize) {
    if (!pbyBuffer) return 0;
    // The running core feeds zlib in pieces of at most 4 GiB - 1 bytes.
    return QN_CRC32Update(uCRC, pbyBuffer, ullSize);
}

int QN_GetFileCRC32(const wchar_t* pcszDirFilePath, uint32_t* puRetCRC32) {
    int nResult = 0;
    int nRetCode = 0;
    FILE* fpFile = nullptr;
    int64_t llFileSize = 0;
    uint64_t ullRemain = 0;
    size_t uChunk = 0;
    size_t uReadCount = 0;
    uint32_t uCRC = 0;
    uint8_t byBuffer[QN_FILE_CRC_CHUNK];

    QNLOG_ASSERT_EXIT(pcszDirFilePath);
    QNLOG_ASSERT_EXIT(puRetCRC32);

    fpFile = QN_wfopen(pcszDirFilePath, "rb");
    if (!fpFile) QN_LogPrintfW(L"Error: open file failed. pcszDirFilePath = %ls", pcszDirFilePath);
    QNLOG_PROCESS_ERROR(fpFile);

    nRetCode = QN_fseeki64(fpFile, 0, SEEK_END);
    QNLOG_PROCESS_ERROR(nRetCode == 0);
    // An empty file has the CRC 0: it then differs from its record and is repaired, where a
    // failure would stop the whole check on every run.
    llFileSize = QN_ftelli64(fpFile);
    QNLOG_PROCESS_ERROR(llFileSize >= 0);
    nRetCode = QN_fseeki64(fpFile, 0, SEEK_SET);
    QNLOG_PROCESS_ERROR(nRetCode == 0);

    ullRemain = (uint64_t)llFileSize;
    while (ullRemain > 0) {
        uChunk = ullRemain < QN_FILE_CRC_CHUNK ? (size_t)ullRemain : QN_FILE_CRC_CHUNK;
        uReadCount = std::fread(byBuffer, uChunk, 1, fpFile);
        QNLOG_PROCESS_ERROR(uReadCount == 1);
        uCRC = QN_GetBufferCRC32(uCRC, byBuffer, uChunk);
        ullRemain -= uChunk;
    }

    *puRetCRC32 = uCRC;
    nResult = 1;
Exit0:
    if (fpFile) std::fclose(fpFile);
    return nResult;
}

// ---------------------------------------------------------------------------------------------
// Reader

QN_DataFileReader::QN_DataFileReader() : ullMaxSizePerDataFile(0) {
    std::wmemset(m_szDirectory, L'\0', QN_MAX_PATH);
    std::wmemset(m_szFileNamePrefix, L'\0', QN_MAX_PATH);
}

QN_DataFileReader::~QN_DataFileReader() {
    if (!m_fpDataFileArray.empty()) Uninit();
}

int QN_DataFileReader::Init(const wchar_t* pcszDirectory, uint64_t ullMaxSizePerDataFile, uint32_t uFileCount) {
    int nResult = 0;
    int nRetCode = 0;
    int nErrno = 0;
    uint32_t uTry = 0;
    FILE* fpDataFile = nullptr;
    wchar_t szDataFilePath[QN_MAX_PATH];

    QNLOG_ASSERT_EXIT(pcszDirectory);
    QNLOG_ASSERT_EXIT(ullMaxSizePerDataFile > 0);
    QNLOG_ASSERT_EXIT(uFileCount > 0);
    QNLOG_ASSERT_EXIT(m_fpDataFileArray.empty());

    this->ullMaxSizePerDataFile = ullMaxSizePerDataFile;
    nRetCode = QN_StrCopy(m_szDirectory, pcszDirectory);
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = QN_StrCopy(m_szFileNamePrefix, L"Package");
    QNLOG_PROCESS_ERROR(nRetCode);

    for (uint32_t i = 0; i < uFileCount; ++i) {
        nRetCode = _GetDataFilePath(m_szDirectory, m_szFileNamePrefix, i, szDataFilePath);
        QNLOG_PROCESS_ERROR(nRetCode);

        // The file may be held by another program for a moment: up to 8 more tries.
        for (uTry = 0;; ++uTry) {
            fpDataFile = QN_wfopen(szDataFilePath, "rb");
            if (fpDataFile) break;
            nErrno = errno;
            if (uTry >= QN_DATA_FILE_OPEN_RETRIES) break;
            QN_Sleep(OpenRetryDelay());
        }
        if (!fpDataFile) {
            QN_LogPrintfW(L"Open DATA file error:%d. File Path = %ls", nErrno, szDataFilePath);
            goto Exit0;
        }
        m_fpDataFileArray.push_back(fpDataFile);
        fpDataFile = nullptr;
    }

    nResult = 1;
Exit0:
    if (!nResult) {
        for (FILE* fp : m_fpDataFileArray) std::fclose(fp);
        m_fpDataFileArray.clear();
    }
    return nResult;
}

int QN_DataFileReader::IsEmptySpace(uint64_t ullAddress, uint64_t ullSize) {
    int nResult = 0;
    int nRetCode = 0;
    uint64_t uDataFielIndex = 0;
    uint64_t ullOffset = 0;
    uint64_t ullPiece = 0;

    QNLOG_ASSERT_EXIT(!m_fpDataFileArray.empty());
    QNLOG_ASSERT_EXIT(ullSize > 0);

    // An empty region listed across the end of one data file and the start of the next is
    // checked in both: each file's part must hold nothing but the empty byte.
    while (ullSize > 0) {
        uDataFielIndex = ullAddress / ullMaxSizePerDataFile;
        ullOffset = ullAddress % ullMaxSizePerDataFile;
        ullPiece = ullMaxSizePerDataFile - ullOffset;
        if (ullPiece > ullSize) ullPiece = ullSize;

        nRetCode = _IsEmptySpaceInFile(uDataFielIndex, ullOffset, ullPiece);
        if (!nRetCode) goto Exit0;

        ullAddress += ullPiece;
        ullSize -= ullPiece;
    }

    nResult = 1;
Exit0:
    return nResult;
}

int QN_DataFileReader::_IsEmptySpaceInFile(uint64_t uDataFielIndex, uint64_t ullOffset, uint64_t ullSize) {
    int nResult = 0;
    int nRetCode = 0;
    FILE* fpDataFile = nullptr;
    size_t uChunk = 0;
    size_t uReadCount = 0;
    uint8_t byEmpty[QN_EMPTY_COMPARE_CHUNK];
    uint8_t byData[QN_EMPTY_COMPARE_CHUNK];

    std::memset(byEmpty, QN_DATA_FILE_EMPTY_BYTE, sizeof(byEmpty));

    QNLOG_ASSERT_EXIT(uDataFielIndex < m_fpDataFileArray.size());
    fpDataFile = m_fpDataFileArray[(size_t)uDataFielIndex];

    nRetCode = QN_fseeki64(fpDataFile, (int64_t)ullOffset, SEEK_SET);
    QNLOG_PROCESS_ERROR(nRetCode == 0);

    while (ullSize > 0) {
        uChunk = ullSize < QN_EMPTY_COMPARE_CHUNK ? (size_t)ullSize : QN_EMPTY_COMPARE_CHUNK;
        uReadCount = std::fread(byData, uChunk, 1, fpDataFile);
        QNLOG_PROCESS_ERROR(uReadCount == 1);
        if (std::memcmp(byData, byEmpty, uChunk) != 0) {
            QN_LogPrintfW(L"VALIDATE ERROR: The empty data is not '%.2X'. Data File Index = %u, "
                          L"Offset In file = %llu. Size = %llu",
                          (unsigned)QN_DATA_FILE_EMPTY_BYTE, (unsigned)uDataFielIndex,
                          (unsigned long long)ullOffset, (unsigned long long)uChunk);
            goto Exit0;
        }
        ullOffset += uChunk;
        ullSize -= uChunk;
    }

    nResult = 1;
Exit0:
    return nResult;
}

int QN_DataFileReader::Uninit() {
    QN_LogPrintfW(L"Close DATA file count:%d", (int)m_fpDataFileArray.size());
    for (FILE* fp : m_fpDataFileArray) std::fclose(fp);
    m_fpDataFileArray.clear();
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Writer

QN_DataFileWriter::QN_DataFileWriter()
    : uDataFileCount(0),
      ullMaxSizePerDataFile(0),
      m_bInitialized(0),
      m_piFileManager(nullptr),
      m_pbyEmptyBuffer(nullptr) {
    std::wmemset(m_szFileNamePrefix, L'\0', QN_MAX_PATH);
    std::wmemset(m_szDirectory, L'\0', QN_MAX_PATH);
}

QN_DataFileWriter::~QN_DataFileWriter() {
    if (m_bInitialized || !m_FileMappingArray.empty() || m_piFileManager || m_pbyEmptyBuffer) Uninit();
}

int QN_DataFileWriter::Init(const wchar_t* pcszDirectory, uint64_t ullMaxSizePerDataFile, uint32_t uDataFileCount) {
    int nResult = 0;
    int nRetCode = 0;
    HRESULT hrRetCode = E_FAIL;
    IQN_FileMapping* piFileMapping = nullptr;
    wchar_t szDataFileName[QN_MAX_PATH];
    wchar_t szDataFilePath[QN_MAX_PATH];

    QNLOG_ASSERT_EXIT(pcszDirectory);
    QNLOG_ASSERT_EXIT(m_FileMappingArray.empty());
    // A writer of no data files has an empty list too; a second Init must not take a second
    // manager over the first.
    QNLOG_ASSERT_EXIT(!m_bInitialized);
    // Positions are divided by the size.
    QNLOG_ASSERT_EXIT(ullMaxSizePerDataFile > 0 || uDataFileCount == 0);

    this->uDataFileCount = uDataFileCount;
    this->ullMaxSizePerDataFile = ullMaxSizePerDataFile;
    nRetCode = QN_StrCopy(m_szDirectory, pcszDirectory);
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = QN_StrCopy(m_szFileNamePrefix, L"Package");
    QNLOG_PROCESS_ERROR(nRetCode);

    hrRetCode = QN_CreateOutsidePackageFileManager(m_szDirectory, &m_piFileManager);
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    m_ModifiedFlagArray.assign(uDataFileCount, 0);

    for (uint32_t i = 0; i < uDataFileCount; ++i) {
        nRetCode = QN_FormatDataFileNameAndPath(m_szDirectory, m_szFileNamePrefix, i, szDataFileName, szDataFilePath);
        QNLOG_PROCESS_ERROR(nRetCode);

        QN_SetFileAttributesNormalW(szDataFilePath);

        // The manager is rooted at the folder: it is given the bare name, so that a relative
        // folder is not doubled.
        hrRetCode = m_piFileManager->CreateFileMappingW(szDataFileName, QN_FILE_MAPPING_MODE_READ_WRITE, &piFileMapping);
        if (FAILED(hrRetCode)) QN_LogPrintfW(L"ERROR: CreateFileMapping failed. szDataFilePath = %ls", szDataFilePath);
        QNLOG_COM_PROCESS_ERROR(hrRetCode);

        m_FileMappingArray.push_back(piFileMapping);
        piFileMapping = nullptr;
        m_ModifiedFlagArray[i] = 0;
    }

    m_bInitialized = 1;
    nResult = 1;
Exit0:
    if (!nResult) {
        m_bInitialized = 0;
        for (IQN_FileMapping* pi : m_FileMappingArray) {
            if (pi) pi->Release();
        }
        m_FileMappingArray.clear();
        if (m_piFileManager) {
            m_piFileManager->Release();
            m_piFileManager = nullptr;
        }
    }
    return nResult;
}

int QN_DataFileWriter::WriteData(uint64_t ullAddress, uint64_t ullSize, const uint8_t* pbyDataBuffer) {
    int nResult = 0;
    HRESULT hrRetCode = E_FAIL;
    uint64_t uDataFielIndex = 0;
    uint64_t ullOffset = 0;
    IQN_Buffer* piBuffer = nullptr;
    uint8_t* pbyDestDataBuffer = nullptr;

    QNLOG_ASSERT_EXIT(!m_FileMappingArray.empty());
    QNLOG_ASSERT_EXIT(ullSize > 0);
    // A view size is 32-bit: a larger size would map a view of its low 32 bits and then
    // copy past it.
    QNLOG_ASSERT_EXIT(ullSize <= 0xFFFFFFFF);
    QNLOG_ASSERT_EXIT(pbyDataBuffer);

    uDataFielIndex = ullAddress / ullMaxSizePerDataFile;
    ullOffset = ullAddress % ullMaxSizePerDataFile;
    QNLOG_ASSERT_EXIT(uDataFielIndex < m_FileMappingArray.size());
    // A block lies in one data file. In a file longer than the data-file size the view would
    // fit, and the block's tail would land past the end of the package's part of the file.
    QNLOG_ASSERT_EXIT_TEXT(ullSize <= ullMaxSizePerDataFile - ullOffset, "ullOffset + ullSize <= ullMaxSizePerDataFile");

    hrRetCode = m_FileMappingArray[(size_t)uDataFielIndex]->MapView(ullOffset, (uint32_t)ullSize, &piBuffer);
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    pbyDestDataBuffer = piBuffer->GetData();
    QNLOG_PROCESS_ERROR(pbyDestDataBuffer);

    std::memcpy(pbyDestDataBuffer, pbyDataBuffer, (size_t)ullSize);
    m_ModifiedFlagArray[(size_t)uDataFielIndex] = 1;

    nResult = 1;
Exit0:
    if (piBuffer) piBuffer->Release();
    return nResult;
}

int QN_DataFileWriter::RemoveData(uint64_t ullAddress, uint64_t ullSize) {
    int nResult = 0;
    HRESULT hrRetCode = E_FAIL;
    uint64_t uDataFielIndex = 0;
    uint64_t ullOffset = 0;
    uint64_t ullPiece = 0;
    uint64_t ullPieceLimit = EmptyFillPieceSize();
    IQN_FileMapping* piFileMapping = nullptr;
    IQN_Buffer* piBuffer = nullptr;
    uint8_t* pbyDestDataBuffer = nullptr;

    QNLOG_ASSERT_EXIT(!m_FileMappingArray.empty());
    QNLOG_ASSERT_EXIT(ullSize > 0);

    if (!m_pbyEmptyBuffer) {
        m_pbyEmptyBuffer = new (std::nothrow) uint8_t[QN_DATA_FILE_EMPTY_BUFFER_SIZE];
        QNLOG_PROCESS_ERROR(m_pbyEmptyBuffer);
        std::memset(m_pbyEmptyBuffer, QN_DATA_FILE_EMPTY_BYTE, QN_DATA_FILE_EMPTY_BUFFER_SIZE);
        g_ullEmptyBufferAllocations.fetch_add(1, std::memory_order_relaxed);
    }

    uDataFielIndex = ullAddress / ullMaxSizePerDataFile;
    ullOffset = ullAddress % ullMaxSizePerDataFile;
    QNLOG_ASSERT_EXIT(uDataFielIndex < m_FileMappingArray.size());
    // Refused before the first byte is written, rather than filled in part.
    QNLOG_ASSERT_EXIT_TEXT(FilesBeyondFirst(ullMaxSizePerDataFile, ullOffset, ullSize) <
                             m_FileMappingArray.size() - uDataFielIndex,
                         "ullAddress + ullSize <= ullMaxSizePerDataFile * m_FileMappingArray.size()");

    // An empty region across the end of one data file and the start of the next is refilled
    // in both.
    while (ullSize > 0) {
        uDataFielIndex = ullAddress / ullMaxSizePerDataFile;
        ullOffset = ullAddress % ullMaxSizePerDataFile;
        piFileMapping = m_FileMappingArray[(size_t)uDataFielIndex];
        QNLOG_ASSERT_EXIT(piFileMapping);

        ullPiece = ullMaxSizePerDataFile - ullOffset;
        if (ullPiece > ullSize) ullPiece = ullSize;
        if (ullPiece > ullPieceLimit) ullPiece = ullPieceLimit;

        hrRetCode = piFileMapping->MapView(ullOffset, (uint32_t)ullPiece, &piBuffer);
        QNLOG_COM_ASSERT_EXIT(hrRetCode);

        pbyDestDataBuffer = piBuffer->GetData();
        QNLOG_PROCESS_ERROR(pbyDestDataBuffer);

        std::memcpy(pbyDestDataBuffer, m_pbyEmptyBuffer, (size_t)ullPiece);
        m_ModifiedFlagArray[(size_t)uDataFielIndex] = 1;

        piBuffer->Release();
        piBuffer = nullptr;
        ullAddress += ullPiece;
        ullSize -= ullPiece;
    }

    nResult = 1;
Exit0:
    if (piBuffer) piBuffer->Release();
    return nResult;
}

int QN_DataFileWriter::Uninit() {
    int nResult = 1;
    int nRetCode = 0;

    // Every step runs whatever the one before gave, so that nothing stays held.
    for (auto itFileMapping = m_FileMappingArray.begin(); itFileMapping != m_FileMappingArray.end(); ++itFileMapping) {
        if (!QNLOG_PROCESS_ERROR_CONTINUE(*itFileMapping != NULL)) {
            nResult = 0;
            continue;
        }
        (*itFileMapping)->Release();
        *itFileMapping = nullptr;
    }

    nRetCode = _SetAllDataFileToCurrentTime();
    if (!QNLOG_PROCESS_ERROR_CONTINUE(nRetCode)) nResult = 0;

    m_FileMappingArray.clear();
    m_bInitialized = 0;
    if (m_piFileManager) {
        m_piFileManager->Release();
        m_piFileManager = nullptr;
    }
    delete[] m_pbyEmptyBuffer;
    m_pbyEmptyBuffer = nullptr;
    return nResult;
}

int QN_DataFileWriter::_SetAllDataFileToCurrentTime() {
    int nResult = 0;
    int nRetCode = 0;
    int hFile = INVALID_HANDLE_VALUE;
    uint64_t ullNow = 0;
    wchar_t szDataFilePath[QN_MAX_PATH];

    // One time for every file.
    ullNow = QN_GetSystemTimeAsFileTime();
    nRetCode = ullNow != 0;
    QNLOG_PROCESS_ERROR(nRetCode);

    for (size_t i = 0; i < m_ModifiedFlagArray.size(); ++i) {
        if (!m_ModifiedFlagArray[i]) continue;

        nRetCode = _GetDataFilePath(m_szDirectory, m_szFileNamePrefix, (uint32_t)i, szDataFilePath);
        QNLOG_PROCESS_ERROR(nRetCode);

        hFile = QN_OpenExistingFileW(szDataFilePath, true);
        QNLOG_PROCESS_ERROR(hFile != INVALID_HANDLE_VALUE);

        nRetCode = QN_SetFileTime(hFile, nullptr, nullptr, &ullNow);
        QNLOG_PROCESS_ERROR(nRetCode);

        QN_CloseFd(hFile);
        hFile = INVALID_HANDLE_VALUE;
    }

    nResult = 1;
Exit0:
    if (hFile != INVALID_HANDLE_VALUE) QN_CloseFd(hFile);
    return nResult;
}
