#include "qn_file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <string>

#include "qn_fs_core.h"
#include "qn_string.h"
#include "qn_test_hooks.h"

struct QN_MappingObject {
    int nFd;
    uint64_t uSize;
    uint32_t uProtect;
};

namespace {

std::atomic<int64_t> g_nLiveViews{0};
std::atomic<int64_t> g_nLiveMappings{0};

// The open flags of a file handle, or -1.
int AccessMode(int nFd) {
    int nFlags = ::fcntl(nFd, F_GETFL);
    return nFlags < 0 ? -1 : (nFlags & O_ACCMODE);
}

}  // namespace

QN_FILE QN_CreateFileA(const char* cszPath, uint32_t uAccess, uint32_t uDisposition) {
    int nAccess = 0;
    qn::fs::OpenWay eWay = qn::fs::OpenWay::kOpenExisting;
    bool bExisted = false;

    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((uAccess & GENERIC_READ) && (uAccess & GENERIC_WRITE)) {
        nAccess = O_RDWR;
    } else if (uAccess & GENERIC_WRITE) {
        nAccess = O_WRONLY;
    } else if (uAccess & GENERIC_READ) {
        nAccess = O_RDONLY;
    } else {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    switch (uDisposition) {
        case CREATE_NEW: eWay = qn::fs::OpenWay::kCreateNew; break;
        case OPEN_EXISTING: eWay = qn::fs::OpenWay::kOpenExisting; break;
        case TRUNCATE_EXISTING: eWay = qn::fs::OpenWay::kTruncateExisting; break;
        case CREATE_ALWAYS: eWay = qn::fs::OpenWay::kCreateAlways; break;
        case OPEN_ALWAYS: eWay = qn::fs::OpenWay::kOpenAlways; break;
        default:
            QN_SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    if (uDisposition == TRUNCATE_EXISTING && nAccess == O_RDONLY) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    // Windows does not open a folder, or a device by a file name, as a file to be mapped.
    qn::fs::OpenOptions options;
    options.bRegularOnly = true;
    const int nFd = qn::fs::OpenFile(cszPath, nAccess, eWay, options, &bExisted);
    if (nFd < 0) return INVALID_HANDLE_VALUE;
    // Only the dispositions that may create report whether the file was there.
    QN_SetLastError(bExisted && (uDisposition == CREATE_ALWAYS || uDisposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                                : ERROR_SUCCESS);
    return nFd;
}

QN_FILE QN_CreateFileW(const wchar_t* cwszPath, uint32_t uAccess, uint32_t uDisposition) {
    if (!cwszPath || !cwszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string sPath = QN_WideToUtf8(cwszPath);
    return QN_CreateFileA(sPath.c_str(), uAccess, uDisposition);
}

int QN_GetFileSizeEx(QN_FILE hFile, uint64_t* puRetSize) {
    struct stat st;
    if (!puRetSize) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (hFile < 0) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (::fstat(hFile, &st) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return 0;
    }
    *puRetSize = (uint64_t)st.st_size;
    QN_SetLastError(ERROR_SUCCESS);
    return 1;
}

void QN_CloseFile(QN_FILE hFile) {
    if (hFile >= 0) ::close(hFile);
}

QN_HMAPPING QN_CreateFileMapping(QN_FILE hFile, uint32_t uProtect, uint64_t uMaxSize) {
    uint64_t uFileSize = 0;
    int nMode = -1;
    int nDup = -1;
    uint64_t uSize = 0;

    if (hFile < 0) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (uProtect != PAGE_READONLY && uProtect != PAGE_READWRITE && uProtect != PAGE_WRITECOPY) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    nMode = AccessMode(hFile);
    if (nMode < 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return nullptr;
    }
    // Every view reads, so the file must be readable; a writable mapping needs a writable file.
    if (nMode == O_WRONLY || (uProtect == PAGE_READWRITE && nMode != O_RDWR)) {
        QN_SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!QN_GetFileSizeEx(hFile, &uFileSize)) return nullptr;

    uSize = uMaxSize ? uMaxSize : uFileSize;
    if (uSize == 0) {
        QN_SetLastError(ERROR_FILE_INVALID);
        return nullptr;
    }
    if (uSize > (uint64_t)INT64_MAX) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (uSize > uFileSize) {
        if (uProtect != PAGE_READWRITE) {
            QN_SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        // Allocate the new part for real: a sparse tail would raise SIGBUS on a full disk.
        int nErr = ::posix_fallocate(hFile, (off_t)uFileSize, (off_t)(uSize - uFileSize));
        if (nErr != 0) {
            errno = nErr;
            QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
            return nullptr;
        }
    }

    nDup = ::fcntl(hFile, F_DUPFD_CLOEXEC, 0);
    if (nDup < 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return nullptr;
    }
    QN_MappingObject* pMapping = new (std::nothrow) QN_MappingObject{nDup, uSize, uProtect};
    if (!pMapping) {
        ::close(nDup);
        QN_SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    g_nLiveMappings.fetch_add(1, std::memory_order_relaxed);
    QN_SetLastError(ERROR_SUCCESS);
    return pMapping;
}

void* QN_MapViewOfFile(QN_HMAPPING hMapping, uint32_t uAccess, uint64_t uOffset, size_t uSize) {
    int nProt = 0;
    int nFlags = 0;
    uint64_t uLength = 0;
    void* pv = nullptr;

    if (!hMapping) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (uAccess & FILE_MAP_COPY) {
        nProt = PROT_READ | PROT_WRITE;
        nFlags = MAP_PRIVATE;
    } else if (uAccess & FILE_MAP_WRITE) {
        if (hMapping->uProtect != PAGE_READWRITE) {
            QN_SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        nProt = PROT_READ | PROT_WRITE;
        nFlags = MAP_SHARED;
    } else if (uAccess & FILE_MAP_READ) {
        nProt = PROT_READ;
        nFlags = MAP_SHARED;
    } else {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (uOffset % QN_GetAllocationGranularity() != 0) {
        QN_SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    // Bounds against the size fixed at creation; the subtraction form cannot overflow.
    if (uOffset >= hMapping->uSize || (uint64_t)uSize > hMapping->uSize - uOffset) {
        QN_SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uLength = uSize ? (uint64_t)uSize : hMapping->uSize - uOffset;
    if (uLength > (uint64_t)SIZE_MAX) {
        QN_SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pv = ::mmap(nullptr, (size_t)uLength, nProt, nFlags, hMapping->nFd, (off_t)uOffset);
    if (pv == MAP_FAILED) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return nullptr;
    }
    g_nLiveViews.fetch_add(1, std::memory_order_relaxed);
    QN_SetLastError(ERROR_SUCCESS);
    return pv;
}

int QN_UnmapViewOfFile(void* pvView, size_t uSize) {
    if (!pvView || uSize == 0) {
        QN_SetLastError(ERROR_INVALID_ADDRESS);
        return 0;
    }
    if (::munmap(pvView, uSize) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return 0;
    }
    g_nLiveViews.fetch_sub(1, std::memory_order_relaxed);
    QN_SetLastError(ERROR_SUCCESS);
    return 1;
}

void QN_CloseFileMapping(QN_HMAPPING hMapping) {
    if (!hMapping) return;
    ::close(hMapping->nFd);
    delete hMapping;
    g_nLiveMappings.fetch_sub(1, std::memory_order_relaxed);
}

uint64_t QN_GetMappingSize(QN_HMAPPING hMapping) { return hMapping ? hMapping->uSize : 0; }

uint32_t QN_GetAllocationGranularity() {
    static const uint32_t s_uGranularity = [] {
        long nPage = ::sysconf(_SC_PAGESIZE);
        return (nPage > 65536) ? (uint32_t)nPage : 65536u;
    }();
    return s_uGranularity;
}

namespace qn::testing {
int64_t LiveMappingViews() { return g_nLiveViews.load(std::memory_order_relaxed); }
int64_t LiveFileMappings() { return g_nLiveMappings.load(std::memory_order_relaxed); }
}  // namespace qn::testing
