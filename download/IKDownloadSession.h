// The download service and download sessions as callers see them: interfaces, option ids,
// status and error codes, and the information block of a session.
#pragma once

#include <cstdint>

#include "qn_com.h"
#include "qn_systemtime.h"

// {23170f69-40c1-278a-0000-000300030000}: the published IID of the seekable input stream.
inline constexpr QN_GUID IID_IInStream = {0x23170f69, 0x40c1, 0x278a, {0x00, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00}};
// {2a6885b6-23bc-4b6f-963f-de59b0d736d5}
inline constexpr QN_GUID IID_IKDownloadSession = {0x2a6885b6, 0x23bc, 0x4b6f, {0x96, 0x3f, 0xde, 0x59, 0xb0, 0xd7, 0x36, 0xd5}};
// {b3b89338-f1a2-4107-ad5e-17cd8a5012a7}
inline constexpr QN_GUID IID_IKDownloadService = {0xb3b89338, 0xf1a2, 0x4107, {0xad, 0x5e, 0x17, 0xcd, 0x8a, 0x50, 0x12, 0xa7}};

// Seek origins of IInStream::Seek.
enum KStreamSeekOrigin : uint32_t {
    KSTREAM_SEEK_SET = 0,
    KSTREAM_SEEK_CUR = 1,
    KSTREAM_SEEK_END = 2,
};

// A seekable input stream: Read and Seek after the three IUnknown slots.
struct IInStream : public IUnknown {
    virtual HRESULT Read(void* pvData, uint32_t uSize, uint32_t* puProcessedSize) = 0;
    virtual HRESULT Seek(int64_t llOffset, uint32_t uSeekOrigin, uint64_t* pullNewPosition) = 0;

protected:
    ~IInStream() = default;
};

// Session status (getProgress).
enum KDownloadStatus : uint32_t {
    KDS_STATUS_CREATED = 0,
    KDS_STATUS_QUERYING = 1,
    KDS_STATUS_ALLOCATING = 2,
    KDS_STATUS_DOWNLOADING = 3,
    KDS_STATUS_SUCCEEDED = 4,
    KDS_STATUS_FAILED = 5,
};

// Session error (getError), meaningful with status 5; the comment gives errorExt.
enum KDownloadError : uint32_t {
    KDS_ERR_NONE = 0,
    KDS_ERR_INTERNAL = 1,   // E_OUTOFMEMORY when memory ran out, else 0
    KDS_ERR_ABORTED = 2,    // 0
    KDS_ERR_NETWORK = 3,    // 0
    KDS_ERR_FILE = 4,       // the HRESULT of the file step; 0 for a piece write
    KDS_ERR_NOT_FOUND = 5,  // 404
    KDS_ERR_HTTP = 6,       // the HTTP status of the query
    KDS_ERR_CHECKSUM = 8,   // 0
};

// Option ids (getOption / setOption).
enum KDownloadOption : uint32_t {
    KDS_OPT_CONNECTIONS = 0,          // u32, 1..10, default 4
    KDS_OPT_SPEED_LIMIT = 1,          // u32 bytes per second, default 0xFFFFFFFF
    KDS_OPT_NO_RESUME = 2,            // byte, default false
    KDS_OPT_MAX_CHECKSUM_ERRORS = 5,  // u32, default 5
    KDS_OPT_USE_QUERY_SERVER_IP = 6,  // byte, default true
};

// The information block of a session; in-process only (its wide text makes its layout differ
// between platforms, so it is never written to a file or sent).
struct DownloadInfo {
    SYSTEMTIME startTime;
    SYSTEMTIME endTime;
    char finalUrl[2048];
    SYSTEMTIME lastModified;
    uint64_t fileSize;
    uint64_t bytesInherited;
    uint64_t bytesCompleted;
    uint32_t speedAvg;
    wchar_t filePath[260];
};

struct IKDownloadSession : public IUnknown {
    virtual HRESULT getOption(uint32_t uId, void* pvBuffer, uint32_t* puSize) = 0;
    virtual HRESULT setOption(uint32_t uId, const void* pvBuffer, uint32_t uSize) = 0;
    virtual HRESULT start() = 0;
    virtual HRESULT abort() = 0;
    virtual HRESULT isFinished(bool* pbFinished) = 0;
    virtual HRESULT getProgress(uint32_t* puStatus, uint64_t* pullFileSize, uint64_t* pullBytesDone,
                                uint32_t* puSpeedAvg, uint32_t* puSpeedCurrent) = 0;
    virtual HRESULT getError(uint32_t* puError, uint32_t* puErrorExt) = 0;
    virtual HRESULT getInfo(DownloadInfo* pInfo) = 0;
    virtual HRESULT getSpeed(uint32_t* puSpeedAvg, uint32_t* puSpeedCurrent, uint32_t* puSpeedSecondary) = 0;
    virtual HRESULT createStream(REFIID riid, void** ppvOut) = 0;

protected:
    ~IKDownloadSession() = default;
};

struct IKDownloadService : public IUnknown {
    // url, saveDir and ppSession must not be null; checksumFile and fileName may be. Without a
    // file name the session names the file after the final URL.
    virtual HRESULT createSession(const char* cszUrl, const wchar_t* wszChecksumFile, const wchar_t* wszSaveDir,
                                  const wchar_t* wszFileName, IKDownloadSession** ppSession) = 0;

protected:
    ~IKDownloadService() = default;
};
