#include "QN_VoskUUID.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "QN_Log.h"
#include "QN_MD5.h"
#include "qn_machine.h"
#include "qn_platform.h"
#include "qn_profile.h"
#include "qn_registry.h"
#include "qn_special_folder.h"
#include "qn_string.h"
#include "qn_systemtime.h"
#include "qn_uuid.h"

namespace {

const wchar_t kVoskKey[] =
    L"CLSID\\{4C2E8A17-93B5-4d61-B8F2-6A0D51E7C93B}\\Implemented Categories\\{71D3B0C5-2A86-4c3e-9F47-E2B86A05D194}";
const wchar_t kEntryIdex[] = L"idex";
const wchar_t kEntryIdno[] = L"idno";
const wchar_t kFileSection[] = L"id";
const uint32_t kValueSize = 260;  // wide characters

// The registry-key holder of the stores: an open key, closed on destruction.
class KRegKey {
public:
    KRegKey() : m_hKey(nullptr) {}
    virtual ~KRegKey() { Close(); }
    KRegKey(const KRegKey&) = delete;
    KRegKey& operator=(const KRegKey&) = delete;

    // Opens the key, making it when missing: with full access, else read-only. True when a key
    // is open.
    bool Open(HKEY hRoot, const wchar_t* cwszKeyName) {
        Close();
        uint32_t uDisposition = 0;
        m_strKeyName = cwszKeyName;
        if (QN_RegCreateKeyExW(hRoot, cwszKeyName, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &m_hKey, &uDisposition) == 0)
            return true;
        m_hKey = nullptr;
        if (QN_RegCreateKeyExW(hRoot, cwszKeyName, KEY_READ | KEY_WOW64_64KEY, &m_hKey, &uDisposition) == 0)
            return true;
        m_hKey = nullptr;
        // The store's create call asks for write access even for KEY_READ, where a read-only
        // create of an existing key simply opens it; opening it is the same here.
        if (QN_RegOpenKeyExW(hRoot, cwszKeyName, 0, KEY_READ | KEY_WOW64_64KEY, &m_hKey) == 0) return true;
        m_hKey = nullptr;
        return false;
    }
    // Reads a string value of at most 260 characters: the Windows status code, 0 on success.
    int32_t QueryStringValue(const wchar_t* cwszValueName, std::wstring* pRetValue) {
        wchar_t wszValue[kValueSize];
        uint32_t uType = REG_NONE;
        uint32_t uSize = sizeof(wszValue);
        std::memset(wszValue, 0, sizeof(wszValue));
        int32_t nStatus = QN_RegQueryValueExW(m_hKey, cwszValueName, &uType, (uint8_t*)wszValue, &uSize);
        if (nStatus != 0) return nStatus;
        if (uType != REG_SZ && uType != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
        wszValue[kValueSize - 1] = L'\0';
        *pRetValue = wszValue;
        return 0;
    }
    HKEY Handle() const { return m_hKey; }

private:
    void Close() {
        if (m_hKey) QN_RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    HKEY m_hKey;
    std::wstring m_strKeyName;
};

}  // namespace

// The folder of "hg.dat" into a zeroed buffer of 260 characters; left empty when the whole would
// not fit.
static void _GetVoskUUIDFolder(wchar_t* pwszRetFolder) {
    wchar_t wszFolder[kValueSize];
    std::wstring strFolder;

    std::memset(wszFolder, 0, sizeof(wszFolder));
    if (QN_SHGetSpecialFolderPathW(wszFolder, CSIDL_COMMON_APPDATA, 1)) {
        strFolder = wszFolder;
    } else {
        std::memset(wszFolder, 0, sizeof(wszFolder));
        uint32_t uLength = QN_GetWindowsDirectoryW(wszFolder, kValueSize);
        if (uLength >= kValueSize) wszFolder[0] = L'\0';
        strFolder = std::wstring(wszFolder) + L"/All Users/Application Data";
    }
    strFolder += L"/Quorvane/YRT/";
    if (strFolder.size() < kValueSize) std::wmemcpy(pwszRetFolder, strFolder.c_str(), strFolder.size() + 1);
}

// The path of "hg.dat": 0 (and empty) when no folder could be had.
static int _GetVoskUUIDFilePath(std::wstring* pRetPath) {
    wchar_t wszFolder[kValueSize];

    std::memset(wszFolder, 0, sizeof(wszFolder));
    pRetPath->clear();
    _GetVoskUUIDFolder(wszFolder);
    if (!wszFolder[0]) return 0;
    *pRetPath = std::wstring(wszFolder) + L"hg.dat";
    return 1;
}

// Writes the entry to the registry (silently nothing without write access) and to "hg.dat" when
// its path is known (silently nothing when its folder does not exist).
static void _StoreVoskUUIDValue(const wchar_t* cwszEntry, const std::wstring& strValue) {
    KRegKey RegKey;
    std::wstring strPath;

    if (RegKey.Open(HKEY_CLASSES_ROOT, kVoskKey)) {
        QN_RegSetValueExW(RegKey.Handle(), cwszEntry, REG_SZ, (const uint8_t*)strValue.c_str(),
                          (uint32_t)((strValue.size() + 1) * sizeof(wchar_t)));
    }
    if (_GetVoskUUIDFilePath(&strPath)) {
        QN_WritePrivateProfileStringW(kFileSection, cwszEntry, strValue.c_str(), strPath.c_str());
    }
}

static std::string HexOf(const uint8_t abyDigest[16]) {
    char szHex[33];
    for (int i = 0; i < 16; ++i) QN_snprintf(szHex + 2 * i, 3, "%02x", abyDigest[i]);
    return std::string(szHex, 32);
}

static std::string MD5HexOf(const std::string& strText) {
    QN_MD5_CTX Context;
    uint8_t abyDigest[16];
    QN_MD5Init(&Context);
    QN_MD5Update(&Context, (const uint8_t*)strText.data(), (int)strText.size());
    QN_MD5Final(&Context, abyDigest);
    return HexOf(abyDigest);
}

// For "idex" makes a new identifier into the value; then stores the value in both places.
static int _GenerateVoskUUIDValue(const wchar_t* cwszEntry, std::wstring* pValue) {
    if (std::wcscmp(cwszEntry, kEntryIdex) == 0) {
        std::string strText;
        char szPart[128];
        QN_GUID Guid;
        static const QN_GUID kZeroGuid = {};
        SYSTEMTIME LocalTime;
        char szComputerName[260];
        uint32_t uNameSize = sizeof(szComputerName);
        wchar_t wszSystemFolder[kValueSize];
        uint64_t ullFree = 0;

        std::srand((unsigned)std::time(nullptr));
        QN_snprintf(szPart, sizeof(szPart), "%05ld", (long)std::rand());
        strText += szPart;

        std::memset(&Guid, 0, sizeof(Guid));
        if (QN_UuidCreate(&Guid) && Guid != kZeroGuid) {
            QN_snprintf(szPart, sizeof(szPart), "%08lX%04X%04x%02X%02X%02X%02X%02X%02X%02X%02X", (unsigned long)Guid.Data1,
                        Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                        Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
            strText += szPart;
        }

        QN_GetLocalSystemTime(&LocalTime);
        QN_snprintf(szPart, sizeof(szPart), "%03d%02d%02d%04d%02d%02d%02d", LocalTime.wMilliseconds, LocalTime.wMinute,
                    LocalTime.wDay, LocalTime.wYear, LocalTime.wHour, LocalTime.wSecond, LocalTime.wMonth);
        strText += szPart;

        std::memset(szComputerName, 0, sizeof(szComputerName));
        if (!QN_GetComputerNameA(szComputerName, &uNameSize)) szComputerName[0] = '\0';
        strText += MD5HexOf(szComputerName);

        std::memset(wszSystemFolder, 0, sizeof(wszSystemFolder));
        if (QN_GetSystemDirectoryW(wszSystemFolder, kValueSize) < kValueSize)
            QN_GetDiskFreeSpaceExW(wszSystemFolder, nullptr, nullptr, &ullFree);
        QN_snprintf(szPart, sizeof(szPart), "%010lu", (unsigned long)(ullFree & 0xFFFFFFFFull));
        strText += szPart;

        *pValue = QN_Utf8ToWide(MD5HexOf(strText));
    }
    _StoreVoskUUIDValue(cwszEntry, *pValue);
    return 1;
}

// Reads one entry from both stores and mirrors it, or makes it when neither has it. An empty
// text counts as missing in either store, so an empty registry value never outweighs the
// file's identifier. 0 only when the registry held the entry and there is no "hg.dat" path.
static int _ReadVoskUUIDValue(const wchar_t* cwszEntry, std::wstring* pRetValue) {
    KRegKey RegKey;
    std::wstring strRegistryValue;
    std::wstring strPath;
    wchar_t wszFileValue[kValueSize];
    bool bRegistry = false;
    bool bFile = false;
    int nHavePath = 0;

    if (RegKey.Open(HKEY_CLASSES_ROOT, kVoskKey)) {
        bRegistry = RegKey.QueryStringValue(cwszEntry, &strRegistryValue) == 0 && !strRegistryValue.empty();
    }
    nHavePath = _GetVoskUUIDFilePath(&strPath);
    std::memset(wszFileValue, 0, sizeof(wszFileValue));
    if (nHavePath) {
        bFile = QN_GetPrivateProfileStringW(kFileSection, cwszEntry, nullptr, wszFileValue, kValueSize,
                                            strPath.c_str()) > 0;
    }

    if (bRegistry && bFile) {
        *pRetValue = strRegistryValue;
    } else if (bRegistry) {
        *pRetValue = strRegistryValue;
        _StoreVoskUUIDValue(cwszEntry, *pRetValue);
    } else if (bFile) {
        *pRetValue = wszFileValue;
        _StoreVoskUUIDValue(cwszEntry, *pRetValue);
    } else {
        pRetValue->clear();
        _GenerateVoskUUIDValue(cwszEntry, pRetValue);
    }
    return (bRegistry && !nHavePath) ? 0 : 1;
}

// 1 when a new identifier is asked for: "idno" holds a negative number, which is reset to "0".
static int _CheckVoskUUIDNumber() {
    std::wstring strNumber;
    wchar_t wszNumber[32];

    if (_ReadVoskUUIDValue(kEntryIdno, &strNumber) != 1) return 0;
    if (std::wcstol(strNumber.c_str(), nullptr, 10) >= 0) return 0;
    QN_snwprintf(wszNumber, _countof(wszNumber), L"%ld", 0L);
    strNumber = wszNumber;
    _GenerateVoskUUIDValue(kEntryIdno, &strNumber);
    return 1;
}

void GetVoskUUID(std::wstring* pRetValue, const wchar_t* cwszBlockListPath) {
    std::wstring strValue;

    if (_CheckVoskUUIDNumber()) {
        _GenerateVoskUUIDValue(kEntryIdex, &strValue);
    } else {
        _ReadVoskUUIDValue(kEntryIdex, &strValue);
    }
    // Any length but 32 is malformed: replaced here, and so never copied back from one store
    // into the other.
    if (strValue.size() != UUID5_STRING_LEN) _GenerateVoskUUIDValue(kEntryIdex, &strValue);
    if (strValue.empty() || (cwszBlockListPath && cwszBlockListPath[0] &&
                             QN_GetPrivateProfileIntW(L"ulst", strValue.c_str(), -1, cwszBlockListPath) != (uint32_t)-1)) {
        _GenerateVoskUUIDValue(kEntryIdex, &strValue);
    }
    *pRetValue = strValue;
}

int GetVoskUUIDEx(char* pszRetBuffer) {
    int nResult = 0;
    int nRetCode = 0;
    const uint32_t uBufferSizeInChar = 64;
    std::wstring strValue;
    std::string strNarrow;

    GetVoskUUID(&strValue, L"");
    strNarrow = QN_WideToUtf8(strValue);
    nRetCode = (int)strNarrow.size() + 1;  // with the terminator
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR(nRetCode < (int)uBufferSizeInChar);
    std::memcpy(pszRetBuffer, strNarrow.c_str(), (size_t)nRetCode);

    nResult = 1;
Exit0:
    return nResult;
}

int QN_GetVoskUUIDEx(char* pszRetBuffer) {
    int nResult = 0;
    int nRetCode = 0;
    size_t nLen = 0;
    char szBuffer[64];

    QNLOG_PROCESS_ERROR(pszRetBuffer);

    std::memset(szBuffer, 0, sizeof(szBuffer));
    nRetCode = GetVoskUUIDEx(szBuffer);
    QNLOG_PROCESS_ERROR(nRetCode);
    nLen = std::strlen(szBuffer);
    if (nLen != UUID5_STRING_LEN) {
        nRetCode = QN_RegDeleteKeyW(HKEY_CLASSES_ROOT, kVoskKey) == 0;
        QNLOG_CHECK_ERROR(nRetCode);
        std::memset(szBuffer, 0, sizeof(szBuffer));
        nRetCode = GetVoskUUIDEx(szBuffer);
        QNLOG_PROCESS_ERROR(nRetCode);
        nLen = std::strlen(szBuffer);
        QNLOG_PROCESS_ERROR(nLen == UUID5_STRING_LEN);
    }
    QN_StrCopyN(pszRetBuffer, 64, szBuffer);

    nResult = 1;
Exit0:
    return nResult;
}
