#include "QN_FileMapping.h"

#include <atomic>

#include "QN_Log.h"
#include "support_test_hooks.h"

namespace {

constexpr uint32_t QN_FILE_MAPPING_WINDOW = 0x20000000;  // 512 MiB

std::atomic<uint32_t> g_uWindowOverride{0};

}  // namespace

namespace qn::testing {
void SetFileMappingWindow(uint32_t uBytes) { g_uWindowOverride.store(uBytes); }
}  // namespace qn::testing

uint32_t QN_FileMapping::GetWindowSize() {
    uint32_t uWindow = g_uWindowOverride.load();
    return uWindow ? uWindow : QN_FILE_MAPPING_WINDOW;
}

QN_FileMapping::QN_FileMapping()
    : m_hFile(INVALID_HANDLE_VALUE),
      m_hMapping(nullptr),
      m_uFileSize(0),
      m_uGranularity(0),
      m_uOffset(0),
      m_uMappingSize(0),
      m_pbyData(nullptr),
      m_uLastMapError(0) {}

QN_FileMapping::~QN_FileMapping() { UnInit(); }

void QN_FileMapping::UnInit() {
    if (m_pbyData) {
        QN_UnmapViewOfFile((void*)m_pbyData, m_uMappingSize);
        m_pbyData = nullptr;
    }
    m_uOffset = 0;
    m_uMappingSize = 0;
    if (m_hMapping) {
        QN_CloseFileMapping(m_hMapping);
        m_hMapping = nullptr;
    }
    if (m_hFile != INVALID_HANDLE_VALUE) {
        QN_CloseFile(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }
    m_uFileSize = 0;
}

int QN_FileMapping::Init(const char* cszFileName, void* /*pvReserved*/) {
    int nResult = 0;
    int nRetCode = 0;
    uint64_t uFileSize = 0;
    uint32_t uFileSizeHigh = 0;
    bool bOpenedHere = false;
    uint32_t uLastError = 0;  // kept here: writing a failure line may change the last error

    QNLOG_PROCESS_ERROR(cszFileName);
    QNLOG_PROCESS_ERROR(cszFileName[0]);
    QNLOG_PROCESS_ERROR(m_hFile == INVALID_HANDLE_VALUE);

    bOpenedHere = true;
    m_hFile = QN_CreateFileA(cszFileName, GENERIC_READ, OPEN_EXISTING);
    uLastError = QN_GetLastError();
    QNLOG_PROCESS_ERROR(m_hFile != INVALID_HANDLE_VALUE);

    nRetCode = QN_GetFileSizeEx(m_hFile, &uFileSize);
    uLastError = QN_GetLastError();
    QNLOG_PROCESS_ERROR(nRetCode);
    uFileSizeHigh = (uint32_t)(uFileSize >> 32);
    QNLOG_PROCESS_ERROR(uFileSizeHigh == 0 && "Not support the file that size bigger than 2G.");
    m_uFileSize = (uint32_t)uFileSize;

    QNLOG_PROCESS_ERROR(m_hMapping == NULL);
    m_hMapping = QN_CreateFileMapping(m_hFile, PAGE_READONLY, 0);
    uLastError = QN_GetLastError();
    QNLOG_PROCESS_ERROR(m_hMapping);

    m_uGranularity = QN_GetAllocationGranularity();
    nRetCode = _ReMappingData(0);
    uLastError = m_uLastMapError;
    QNLOG_PROCESS_ERROR(nRetCode && "_ReMappingData()");

    nResult = 1;
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to open file %s, GetLastError() = %d",
                     cszFileName ? cszFileName : "(null)", (int)uLastError);
        // A second Init fails without touching the file that the first one opened.
        if (bOpenedHere) UnInit();
    }
    return nResult;
}

int QN_FileMapping::_ReMappingData(uint32_t uOffset) {
    int nResult = 0;
    uint32_t uWindow = GetWindowSize();

    m_uLastMapError = ERROR_INVALID_PARAMETER;
    if (m_pbyData) {
        QN_UnmapViewOfFile((void*)m_pbyData, m_uMappingSize);
        m_pbyData = nullptr;
    }
    m_uMappingSize = 0;

    // Nothing can be mapped before Init (and the granularity is still 0).
    QNLOG_PROCESS_ERROR(m_hMapping);

    while (uWindow >= m_uGranularity) {
        m_uOffset = uOffset - uOffset % m_uGranularity;
        QNLOG_PROCESS_ERROR(m_uOffset <= m_uFileSize);
        if ((uint64_t)m_uOffset + uWindow < m_uFileSize) {
            m_uMappingSize = uWindow;
        } else {
            m_uMappingSize = m_uFileSize - m_uOffset;
        }
        if (m_uMappingSize == 0) break;  // at the end of the file there is nothing to map
        m_pbyData = (const uint8_t*)QN_MapViewOfFile(m_hMapping, FILE_MAP_READ, m_uOffset,
                                                     m_uMappingSize);
        m_uLastMapError = QN_GetLastError();
        if (m_pbyData) break;
        uWindow /= 2;
    }
    if (!m_pbyData) m_uMappingSize = 0;
    QNLOG_PROCESS_ERROR(m_pbyData);

    nResult = 1;
Exit0:
    return nResult;
}

int QN_FileMapping::GetData(uint32_t uOffset, uint32_t uSize, const uint8_t** ppvRetData) {
    int nResult = 0;
    int nRetCode = 0;

    QNLOG_PROCESS_ERROR(ppvRetData);

    // The range's end is computed in 64 bits: uOffset + uSize may pass 4 GiB.
    if (!m_pbyData || uOffset < m_uOffset ||
        (uint64_t)uOffset + uSize > (uint64_t)m_uOffset + m_uMappingSize) {
        nRetCode = _ReMappingData(uOffset);
        QNLOG_PROCESS_ERROR(nRetCode);
    }

    QNLOG_PROCESS_ERROR(uOffset >= m_uOffset);
    QNLOG_PROCESS_ERROR(uOffset < m_uOffset + m_uMappingSize);
    QNLOG_PROCESS_ERROR(m_uOffset + m_uMappingSize - uOffset >= uSize);

    *ppvRetData = m_pbyData + (uOffset - m_uOffset);
    nResult = 1;
Exit0:
    return nResult;
}
