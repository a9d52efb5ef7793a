#include "QN_OutsidePackageFileManager.h"

#include <atomic>
#include <cwchar>
#include <new>

#include "QN_LogW.h"
#include "QN_ObjectPool.h"
#include "qn_file.h"
#include "qn_time.h"
#include "repair_test_hooks.h"

namespace {

constexpr uint64_t QN_MAX_VIEW_SIZE = 0xFFFFFFFFull;

// The two pools and their counters. Never destroyed, so that a Release during static
// destruction finds them; the guard below empties them at process end and closes them, after
// which a released object is destroyed at once.
struct FileLayerPools {
    QN_ObjectPool<QN_OutsidePackageFileMapping> Mappings;
    QN_ObjectPool<QN_FileMappingFileBuffer> Buffers;
    std::atomic<uint64_t> ullMappingsCreated{0};
    std::atomic<uint64_t> ullMappingsDestroyed{0};
    std::atomic<uint64_t> ullBuffersCreated{0};
    std::atomic<uint64_t> ullBuffersDestroyed{0};
    std::atomic<bool> bMappingShortage{false};
    std::atomic<bool> bBufferShortage{false};
    std::atomic<qn::testing::FileViewMappedHook> pfnViewMapped{nullptr};
};

FileLayerPools& Pools() {
    static FileLayerPools* s_pPools = new FileLayerPools;
    return *s_pPools;
}

void DestroyMapping(QN_OutsidePackageFileMapping* p) {
    delete p;
    Pools().ullMappingsDestroyed.fetch_add(1, std::memory_order_relaxed);
}

void DestroyBuffer(QN_FileMappingFileBuffer* p) {
    delete p;
    Pools().ullBuffersDestroyed.fetch_add(1, std::memory_order_relaxed);
}

struct FileLayerPoolGuard {
    ~FileLayerPoolGuard() {
        FileLayerPools& pools = Pools();
        pools.Mappings.Close();
        pools.Buffers.Close();
        pools.Mappings.Drain(DestroyMapping);
        pools.Buffers.Drain(DestroyBuffer);
    }
} g_FileLayerPoolGuard;

QN_OutsidePackageFileMapping* TakeMapping() {
    FileLayerPools& pools = Pools();
    if (pools.bMappingShortage.load(std::memory_order_relaxed)) return nullptr;
    QN_OutsidePackageFileMapping* p = pools.Mappings.Take();
    if (p) return p;
    p = new (std::nothrow) QN_OutsidePackageFileMapping();
    if (p) pools.ullMappingsCreated.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void ParkMapping(QN_OutsidePackageFileMapping* p) {
    QN_OutsidePackageFileMapping* pLeft = Pools().Mappings.Park(p);
    if (pLeft) DestroyMapping(pLeft);
}

QN_FileMappingFileBuffer* TakeBuffer() {
    FileLayerPools& pools = Pools();
    if (pools.bBufferShortage.load(std::memory_order_relaxed)) return nullptr;
    QN_FileMappingFileBuffer* p = pools.Buffers.Take();
    if (p) return p;
    p = new (std::nothrow) QN_FileMappingFileBuffer();
    if (p) pools.ullBuffersCreated.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void ParkBuffer(QN_FileMappingFileBuffer* p) {
    QN_FileMappingFileBuffer* pLeft = Pools().Buffers.Park(p);
    if (pLeft) DestroyBuffer(pLeft);
}

}  // namespace

namespace qn::testing {

FileLayerPoolStats GetFileMappingPoolStats() {
    FileLayerPools& pools = Pools();
    return {pools.Mappings.ParkedCount(), pools.ullMappingsCreated.load(), pools.ullMappingsDestroyed.load()};
}

FileLayerPoolStats GetFileBufferPoolStats() {
    FileLayerPools& pools = Pools();
    return {pools.Buffers.ParkedCount(), pools.ullBuffersCreated.load(), pools.ullBuffersDestroyed.load()};
}

void DrainFileLayerPools() {
    FileLayerPools& pools = Pools();
    pools.Mappings.Drain(DestroyMapping);
    pools.Buffers.Drain(DestroyBuffer);
}

void SetFileLayerObjectShortage(bool bMappings, bool bViews) {
    Pools().bMappingShortage.store(bMappings);
    Pools().bBufferShortage.store(bViews);
}

void SetFileViewMappedHook(FileViewMappedHook pfnHook) { Pools().pfnViewMapped.store(pfnHook); }

}  // namespace qn::testing

int QN_StrCopy(wchar_t* pcszDest, const wchar_t* pcszSource) {
    int nResult = 0;

    QNLOG_ASSERT_EXIT(pcszDest);
    QNLOG_ASSERT_EXIT(pcszSource);

    std::wcsncpy(pcszDest, pcszSource, QN_MAX_PATH);
    if (pcszDest[QN_MAX_PATH - 1] != L'\0') {
        QN_LogPrintfW(L"The last char of the string is not NULL, It is '%lc'",
                      (wint_t)pcszDest[QN_MAX_PATH - 1]);
        pcszDest[QN_MAX_PATH - 1] = L'\0';
        QN_LogPrintfW(L"The the string is '%ls'.", pcszDest);
        goto Exit0;
    }

    nResult = 1;
Exit0:
    return nResult;
}

HRESULT QN_CreateOutsidePackageFileManager(const wchar_t* cszRootPath, IQN_FileManager** ppRetManager) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    QN_OutsidePackageFileManager* pManager = nullptr;

    QNLOG_ASSERT_EXIT(ppRetManager);

    pManager = new (std::nothrow) QN_OutsidePackageFileManager();
    QNLOG_PROCESS_ERROR(pManager);

    // A root cut to fit would send every relative path into another folder.
    nRetCode = pManager->SetRootPath(cszRootPath);
    QNLOG_PROCESS_ERROR(nRetCode);

    *ppRetManager = pManager;
    pManager = nullptr;
    hrResult = S_OK;
Exit0:
    if (pManager) pManager->Release();
    return hrResult;
}

// ---------------------------------------------------------------------------------------------
// The manager

QN_OutsidePackageFileManager::QN_OutsidePackageFileManager() : m_lRefCount(1) {
    std::wmemset(m_szRootPath, L'\0', QN_MAX_PATH);
}

HRESULT QN_OutsidePackageFileManager::QueryInterface(REFIID, void**) { return E_FAIL; }

uint32_t QN_OutsidePackageFileManager::AddRef() { return (uint32_t)(m_lRefCount.fetch_add(1) + 1); }

uint32_t QN_OutsidePackageFileManager::Release() {
    int32_t lCount = m_lRefCount.fetch_sub(1) - 1;
    if (lCount == 0) delete this;
    return (uint32_t)lCount;
}

int QN_OutsidePackageFileManager::SetRootPath(const wchar_t* cszRootPath) {
    if (!cszRootPath) {
        m_szRootPath[0] = L'\0';
        return 1;
    }
    return QN_StrCopy(m_szRootPath, cszRootPath);
}

HRESULT QN_OutsidePackageFileManager::_GetRealPath(const wchar_t* pcszPath, wchar_t* pszRealPathBuffer) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    wchar_t szWorkPath[QN_MAX_PATH];
    const wchar_t* pcszBase = m_szRootPath;

    QNLOG_ASSERT_EXIT(pcszPath);
    QNLOG_ASSERT_EXIT(pszRealPathBuffer);

    // A drive-letter path, and on this system a path that begins with a separator, is
    // absolute and is taken as it is.
    if ((pcszPath[0] && pcszPath[1] == L':') || QN_IsPathSeparatorW(pcszPath[0])) {
        nRetCode = QN_StrCopy(pszRealPathBuffer, pcszPath);
        QNLOG_PROCESS_ERROR(nRetCode);
    } else {
        if (!m_szRootPath[0]) {
            nRetCode = QN_GetCurrentDirectoryW(szWorkPath, QN_MAX_PATH);
            QNLOG_PROCESS_ERROR(nRetCode);
            pcszBase = szWorkPath;
        }
        nRetCode = QN_snwprintf(pszRealPathBuffer, QN_MAX_PATH, L"%ls/%ls", pcszBase, pcszPath);
        QNLOG_PROCESS_ERROR(nRetCode > 0);
    }

    hrResult = S_OK;
Exit0:
    return hrResult;
}

HRESULT QN_OutsidePackageFileManager::CreateFileMappingW(const wchar_t* cszFilePath, int nMode,
                                                         IQN_FileMapping** ppRetFileMapping) {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;
    wchar_t szRealPath[QN_MAX_PATH];
    QN_OutsidePackageFileMapping Prepared;
    QN_OutsidePackageFileMapping* pMapping = nullptr;

    QNLOG_ASSERT_EXIT(cszFilePath);
    QNLOG_ASSERT_EXIT(ppRetFileMapping);
    if (!cszFilePath[0]) goto Exit0;

    hrRetCode = _GetRealPath(cszFilePath, szRealPath);
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    hrRetCode = Prepared.Init(szRealPath, nMode);
    if (FAILED(hrRetCode)) goto Exit0;

    pMapping = TakeMapping();
    *ppRetFileMapping = pMapping;
    QNLOG_PROCESS_ERROR(*ppRetFileMapping);
    pMapping->_MoveFrom(Prepared);

    hrResult = S_OK;
Exit0:
    // Closes the handles when they did not move on.
    Prepared.Uninit();
    return hrResult;
}

int QN_OutsidePackageFileManager::IsFileExists(const wchar_t* cszFilePath, int* pbRetExist) {
    int nResult = 0;

    QNLOG_ASSERT_EXIT(cszFilePath);
    QNLOG_ASSERT_EXIT(pbRetExist);

    *pbRetExist = QN_PathExistsW(cszFilePath) ? 1 : 0;

    nResult = 1;
Exit0:
    return nResult;
}

// ---------------------------------------------------------------------------------------------
// The mapping

QN_OutsidePackageFileMapping::QN_OutsidePackageFileMapping()
    : m_lRefCount(1),
      m_nMode(0),
      m_uViewAccess(0),
      m_ullFileSize(0),
      m_uAllocationGranularity(0),
      m_hFileMapping(nullptr),
      m_hFile(INVALID_HANDLE_VALUE) {}

QN_OutsidePackageFileMapping::~QN_OutsidePackageFileMapping() { Uninit(); }

HRESULT QN_OutsidePackageFileMapping::QueryInterface(REFIID, void**) { return E_FAIL; }

uint32_t QN_OutsidePackageFileMapping::AddRef() { return (uint32_t)(m_lRefCount.fetch_add(1) + 1); }

uint32_t QN_OutsidePackageFileMapping::Release() {
    int32_t lCount = m_lRefCount.fetch_sub(1) - 1;
    if (lCount == 0) {
        Uninit();
        ParkMapping(this);
    }
    return (uint32_t)lCount;
}

void QN_OutsidePackageFileMapping::_MoveFrom(QN_OutsidePackageFileMapping& rPrepared) {
    m_lRefCount.store(1);
    m_nMode = rPrepared.m_nMode;
    m_uViewAccess = rPrepared.m_uViewAccess;
    m_ullFileSize = rPrepared.m_ullFileSize;
    m_uAllocationGranularity = rPrepared.m_uAllocationGranularity;
    m_hFileMapping = rPrepared.m_hFileMapping;
    m_hFile = rPrepared.m_hFile;

    rPrepared.m_hFileMapping = nullptr;
    rPrepared.m_hFile = INVALID_HANDLE_VALUE;
    rPrepared.m_ullFileSize = 0;
}

HRESULT QN_OutsidePackageFileMapping::Init(const wchar_t* cszFilePath, int nMode) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    uint32_t uFileAccess = 0;
    uint32_t uPageProtect = 0;
    uint64_t ullFileSize = 0;

    m_nMode = (uint32_t)nMode;
    switch (nMode) {
        case QN_FILE_MAPPING_MODE_COPY_ON_WRITE:
            uFileAccess = GENERIC_READ;
            uPageProtect = PAGE_WRITECOPY;
            m_uViewAccess = FILE_MAP_COPY;
            break;
        case QN_FILE_MAPPING_MODE_READ_WRITE:
            uFileAccess = GENERIC_READ | GENERIC_WRITE;
            uPageProtect = PAGE_READWRITE;
            m_uViewAccess = FILE_MAP_WRITE;
            break;
        case QN_FILE_MAPPING_MODE_READ_ONLY:
            uFileAccess = GENERIC_READ;
            uPageProtect = PAGE_READONLY;
            m_uViewAccess = FILE_MAP_READ;
            break;
        default:
            goto Exit0;
    }
    if (!cszFilePath) goto Exit0;

    m_hFile = QN_CreateFileW(cszFilePath, uFileAccess, OPEN_EXISTING);
    if (m_hFile == INVALID_HANDLE_VALUE) goto Exit0;

    // A write through a shared view into a hole of a sparse file kills the process when the
    // disk is full; with the file's space allocated first, a full disk fails here instead.
    nRetCode = 1;
    if (nMode == QN_FILE_MAPPING_MODE_READ_WRITE) nRetCode = QN_AllocateFileSpace(m_hFile);
    if (nRetCode) m_hFileMapping = QN_CreateFileMapping(m_hFile, uPageProtect, 0);
    if (!m_hFileMapping) {
        QN_LogPrintfW(L"CreateFileMapping error: %ls, flProtect = 0x%X, ErrCode = %u", cszFilePath,
                      uPageProtect, QN_GetLastError());
        goto Exit0;
    }

    nRetCode = QN_GetFileSizeEx(m_hFile, &ullFileSize);
    QNLOG_PROCESS_ERROR(nRetCode);
    m_ullFileSize = ullFileSize;

    m_uAllocationGranularity = QN_GetAllocationGranularity();

    hrResult = S_OK;
Exit0:
    if (FAILED(hrResult)) Uninit();
    return hrResult;
}

HRESULT QN_OutsidePackageFileMapping::Uninit() {
    if (m_hFileMapping) {
        QN_CloseFileMapping(m_hFileMapping);
        m_hFileMapping = nullptr;
    }
    if (m_hFile != INVALID_HANDLE_VALUE) {
        QN_CloseFile(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }
    m_ullFileSize = 0;
    return S_OK;
}

HRESULT QN_OutsidePackageFileMapping::MapView(uint64_t ullOffset, uint32_t uSize, IQN_Buffer** ppRetBuffer) {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;
    uint64_t ullRemainSize = 0;
    QN_FileMappingFileBuffer Prepared;
    QN_FileMappingFileBuffer* pBuffer = nullptr;

    QNLOG_ASSERT_EXIT(uSize <= m_ullFileSize);
    // Written so that an offset near 2^64 cannot wrap the sum.
    QNLOG_ASSERT_EXIT_TEXT(ullOffset <= m_ullFileSize && uSize <= m_ullFileSize - ullOffset,
                      "ullOffset + uSize <= m_ullFileSize");
    QNLOG_ASSERT_EXIT(ppRetBuffer);

    if (uSize == 0) {
        ullRemainSize = m_ullFileSize - ullOffset;
        // A view size is 32-bit whatever the width of size_t.
        QNLOG_ASSERT_EXIT_TEXT(ullRemainSize <= QN_MAX_VIEW_SIZE, "ullRemainSize <= SIZE_MAX");
        QNLOG_ASSERT_EXIT(ullRemainSize > 0);
        uSize = (uint32_t)ullRemainSize;
    }

    hrRetCode = Prepared.Init(this, ullOffset, uSize, m_hFileMapping, m_uViewAccess, m_uAllocationGranularity);
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    pBuffer = TakeBuffer();
    *ppRetBuffer = pBuffer;
    QNLOG_PROCESS_ERROR(*ppRetBuffer);
    pBuffer->_MoveFrom(Prepared);

    hrResult = S_OK;
Exit0:
    // Undoes the prepared view when it did not move on.
    Prepared.Uninit();
    return hrResult;
}

HRESULT QN_OutsidePackageFileMapping::GetFileInfo(QN_FILE_INFO* pRetFileInfo) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    uint64_t ullCreationTime = 0;
    uint64_t ullLastWriteTime = 0;

    QNLOG_ASSERT_EXIT(pRetFileInfo);

    nRetCode = QN_GetFileTime(m_hFile, &ullCreationTime, nullptr, &ullLastWriteTime);
    QNLOG_PROCESS_ERROR(nRetCode);

    pRetFileInfo->ullFileSize = m_ullFileSize;
    pRetFileInfo->ullCreationTime = ullCreationTime ? (uint64_t)QN_FileTimeToUnixTime(ullCreationTime) : 0;
    pRetFileInfo->ullLastWriteTime = (uint64_t)QN_FileTimeToUnixTime(ullLastWriteTime);
    pRetFileInfo->uMode = m_nMode;
    pRetFileInfo->uReserved = 0;

    hrResult = S_OK;
Exit0:
    return hrResult;
}

// ---------------------------------------------------------------------------------------------
// The view

QN_FileMappingFileBuffer::QN_FileMappingFileBuffer()
    : m_lRefCount(1),
      m_piFileMapping(nullptr),
      m_pbyData(nullptr),
      m_uSize(0),
      m_pvAlignedData(nullptr),
      m_uAlignedSize(0) {}

QN_FileMappingFileBuffer::~QN_FileMappingFileBuffer() { Uninit(); }

HRESULT QN_FileMappingFileBuffer::QueryInterface(REFIID, void**) { return E_FAIL; }

uint32_t QN_FileMappingFileBuffer::AddRef() { return (uint32_t)(m_lRefCount.fetch_add(1) + 1); }

uint32_t QN_FileMappingFileBuffer::Release() {
    int32_t lCount = m_lRefCount.fetch_sub(1) - 1;
    if (lCount == 0) {
        Uninit();
        ParkBuffer(this);
    }
    return (uint32_t)lCount;
}

uint32_t QN_FileMappingFileBuffer::GetSize() { return m_uSize; }

uint8_t* QN_FileMappingFileBuffer::GetData() { return m_pbyData; }

void QN_FileMappingFileBuffer::_MoveFrom(QN_FileMappingFileBuffer& rPrepared) {
    m_lRefCount.store(1);
    m_piFileMapping = rPrepared.m_piFileMapping;
    m_pbyData = rPrepared.m_pbyData;
    m_uSize = rPrepared.m_uSize;
    m_pvAlignedData = rPrepared.m_pvAlignedData;
    m_uAlignedSize = rPrepared.m_uAlignedSize;

    rPrepared.m_piFileMapping = nullptr;
    rPrepared.m_pbyData = nullptr;
    rPrepared.m_uSize = 0;
    rPrepared.m_pvAlignedData = nullptr;
    rPrepared.m_uAlignedSize = 0;
}

HRESULT QN_FileMappingFileBuffer::Init(IQN_FileMapping* piFileMapping, uint64_t ullOffset, uint32_t uSize,
                                       QN_HMAPPING hFileMapping, uint32_t uViewAccess, uint32_t uGranularity) {
    HRESULT hrResult = E_FAIL;
    uint64_t ullAlignedOffset = 0;
    uint64_t ullAlignedSize = 0;
    uint32_t uErrCode = 0;
    qn::testing::FileViewMappedHook pfnHook = nullptr;

    m_piFileMapping = piFileMapping;
    if (m_piFileMapping) m_piFileMapping->AddRef();

    if (uGranularity == 0) uGranularity = 1;
    ullAlignedOffset = ullOffset - ullOffset % uGranularity;
    // In 64 bits: a size near 4 GiB plus the distance to the aligned offset does not fit the
    // 32-bit view size, and a wrapped size would map a view far smaller than m_uSize.
    ullAlignedSize = (ullOffset - ullAlignedOffset) + uSize;
    m_uSize = uSize;

    if (ullAlignedSize > QN_MAX_VIEW_SIZE) {
        uErrCode = ERROR_INVALID_PARAMETER;
    } else {
        m_pvAlignedData = QN_MapViewOfFile(hFileMapping, uViewAccess, ullAlignedOffset, (size_t)ullAlignedSize);
        if (!m_pvAlignedData) uErrCode = QN_GetLastError();
    }
    if (!m_pvAlignedData) {
        if (uErrCode == ERROR_NOT_ENOUGH_MEMORY) QN_LogPrintfW(L"ERROR: No enough memory for FileMapping");
        QN_LogPrintfW(L"ERROR: MapViewOfFile failed. m_uAlignedSize = %llu,  ErrCode = %u",
                      (unsigned long long)ullAlignedSize, uErrCode);
        goto Exit0;
    }
    m_uAlignedSize = (uint32_t)ullAlignedSize;
    m_pbyData = (uint8_t*)m_pvAlignedData + (ullOffset - ullAlignedOffset);

    pfnHook = Pools().pfnViewMapped.load(std::memory_order_relaxed);
    if (pfnHook) pfnHook(ullAlignedOffset, m_uSize, m_uAlignedSize);

    hrResult = S_OK;
Exit0:
    if (FAILED(hrResult)) {
        if (m_piFileMapping) {
            m_piFileMapping->Release();
            m_piFileMapping = nullptr;
        }
        m_pbyData = nullptr;
        m_uSize = 0;
        m_pvAlignedData = nullptr;
        m_uAlignedSize = 0;
    }
    return hrResult;
}

HRESULT QN_FileMappingFileBuffer::Uninit() {
    int nRetCode = 0;

    m_uSize = 0;
    m_pbyData = nullptr;
    if (m_pvAlignedData) {
        nRetCode = QN_UnmapViewOfFile(m_pvAlignedData, m_uAlignedSize);
        if (!nRetCode) QN_LogPrintfW(L"UnmapViewOfFile error. m_pvAlignedData = %p", m_pvAlignedData);
    }
    m_pvAlignedData = nullptr;
    m_uAlignedSize = 0;
    if (m_piFileMapping) {
        m_piFileMapping->Release();
        m_piFileMapping = nullptr;
    }
    return S_OK;
}
