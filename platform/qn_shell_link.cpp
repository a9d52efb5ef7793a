#include "qn_shell_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qn_fd.h"
#include "qn_file.h"
#include "qn_platform.h"
#include "qn_special_folder.h"
#include "qn_string.h"
#include "qn_test_hooks.h"

struct QN_ITEMIDLIST {
    std::string strPath;
};

namespace {

thread_local int t_nComInitCount = 0;

const size_t kMaxLinkFileSize = 64 * 1024;
const char kMagicLine[] = "QNLNK 1";

enum Field { FIELD_TARGET, FIELD_ARGUMENTS, FIELD_WORKING_DIRECTORY, FIELD_DESCRIPTION, FIELD_ICON, FIELD_HOTKEY,
             FIELD_SHOW, FIELD_COUNT };
const char* const kFieldKeys[FIELD_COUNT] = {"Target", "Arguments", "WorkingDirectory", "Description",
                                             "IconLocation", "HotKey", "ShowCommand"};

HRESULT CopyOut(const std::string& strValue, char* psz, int cch) {
    if (!psz || cch <= 0) return E_INVALIDARG;
    if (strValue.size() >= (size_t)cch) {
        std::memcpy(psz, strValue.data(), (size_t)cch - 1);
        psz[cch - 1] = '\0';
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(psz, strValue.c_str(), strValue.size() + 1);
    return S_OK;
}

HRESULT ResultFromErrno(int nErrno) { return HRESULT_FROM_WIN32(QN_Win32ErrorFromErrno(nErrno)); }

class ShellLink final : public IShellLinkA, public IPersistFile {
public:
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_INVALIDARG;
        *ppvObject = nullptr;
        if (riid == IID_IUnknown || riid == IID_IShellLinkA) {
            *ppvObject = static_cast<IShellLinkA*>(this);
        } else if (riid == IID_IPersistFile) {
            *ppvObject = static_cast<IPersistFile*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return ++m_uRefCount; }
    uint32_t Release() override {
        uint32_t uCount = --m_uRefCount;
        if (uCount == 0) delete this;
        return uCount;
    }

    HRESULT GetPath(char* pszFile, int cch, WIN32_FIND_DATAA* /*pfd*/, uint32_t /*fFlags*/) override {
        if (!m_bSet[FIELD_TARGET] || m_strValue[FIELD_TARGET].empty()) {
            HRESULT hr = CopyOut("", pszFile, cch);
            return FAILED(hr) ? hr : S_FALSE;
        }
        return CopyOut(m_strValue[FIELD_TARGET], pszFile, cch);
    }
    HRESULT GetArguments(char* pszArgs, int cch) override { return CopyOut(m_strValue[FIELD_ARGUMENTS], pszArgs, cch); }
    HRESULT SetPath(const char* pszFile) override { return Set(FIELD_TARGET, pszFile); }
    HRESULT SetArguments(const char* pszArgs) override { return Set(FIELD_ARGUMENTS, pszArgs); }

    HRESULT Load(const wchar_t* pszFileName, uint32_t /*dwMode*/) override {
        if (!pszFileName) return E_INVALIDARG;
        std::string strText;
        if (!ReadLinkFile(QN_NativePathFromWide(pszFileName), &strText)) return E_FAIL;
        Clear();
        size_t uPos = 0;
        bool bFirst = true;
        while (uPos < strText.size()) {
            size_t uEnd = strText.find('\n', uPos);
            if (uEnd == std::string::npos) uEnd = strText.size();
            std::string strLine = strText.substr(uPos, uEnd - uPos);
            uPos = uEnd + 1;
            if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
            if (bFirst) {
                if (strLine != kMagicLine) {
                    Clear();
                    return E_FAIL;
                }
                bFirst = false;
                continue;
            }
            size_t uEqual = strLine.find('=');
            int nField = FIELD_COUNT;
            if (uEqual != std::string::npos) {
                for (int i = 0; i < FIELD_COUNT; ++i) {
                    if (strLine.compare(0, uEqual, kFieldKeys[i]) == 0 && std::strlen(kFieldKeys[i]) == uEqual) nField = i;
                }
            }
            if (nField < FIELD_COUNT && !m_bSet[nField]) {
                m_bSet[nField] = true;
                m_strValue[nField] = strLine.substr(uEqual + 1);
            } else if (!strLine.empty()) {
                m_OtherLines.push_back(strLine);
            }
        }
        if (bFirst) return E_FAIL;
        return S_OK;
    }

    HRESULT Save(const wchar_t* pszFileName, int /*fRemember*/) override {
        if (!pszFileName) return E_INVALIDARG;
        const std::string strPath = QN_NativePathFromWide(pszFileName);
        mode_t uMode = 0644;
        struct stat st;
        if (::lstat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (!(st.st_mode & S_IWUSR)) return E_ACCESSDENIED;
            uMode = st.st_mode & 07777;
        } else if (::lstat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return E_ACCESSDENIED;
        }
        std::string strText = std::string(kMagicLine) + "\n";
        for (int i = 0; i < FIELD_COUNT; ++i) {
            if (m_bSet[i]) strText += std::string(kFieldKeys[i]) + "=" + m_strValue[i] + "\n";
        }
        for (const std::string& strLine : m_OtherLines) strText += strLine + "\n";

        size_t uSlash = strPath.rfind('/');
        std::string strTemp = (uSlash == std::string::npos ? std::string() : strPath.substr(0, uSlash + 1)) + ".qnlnk-XXXXXX";
        int nError = QN_ReplaceFileContents(strPath.c_str(), strTemp.c_str(), strText.data(), strText.size(), uMode);
        if (nError) return ResultFromErrno(nError);
        return S_OK;
    }

private:
    ~ShellLink() = default;

    HRESULT Set(Field eField, const char* csz) {
        if (!csz || QN_HasLineBreak(csz)) return E_INVALIDARG;
        m_strValue[eField] = csz;
        m_bSet[eField] = true;
        return S_OK;
    }

    void Clear() {
        for (int i = 0; i < FIELD_COUNT; ++i) {
            m_bSet[i] = false;
            m_strValue[i].clear();
        }
        m_OtherLines.clear();
    }

    // The file's bytes when it is a regular file (not through a symbolic link) of at most
    // 64 KiB.
    static bool ReadLinkFile(const std::string& strPath, std::string* pstrText) {
        int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (nFd < 0) return false;
        bool bOk = false;
        struct stat st;
        if (::fstat(nFd, &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size <= kMaxLinkFileSize) {
            char buf[4096];
            bOk = true;
            for (;;) {
                ssize_t n = ::read(nFd, buf, sizeof(buf));
                if (n > 0) {
                    pstrText->append(buf, (size_t)n);
                    if (pstrText->size() > kMaxLinkFileSize) {
                        bOk = false;
                        break;
                    }
                } else if (n == 0) {
                    break;
                } else if (errno != EINTR) {
                    bOk = false;
                    break;
                }
            }
        }
        ::close(nFd);
        return bOk;
    }

    std::atomic<uint32_t> m_uRefCount{1};
    bool m_bSet[FIELD_COUNT] = {};
    std::string m_strValue[FIELD_COUNT];
    std::vector<std::string> m_OtherLines;
};

}  // namespace

namespace qn::testing {
int ComInitializeCount() { return t_nComInitCount; }
}  // namespace qn::testing

HRESULT QN_CoInitialize(void* /*pvReserved*/) { return t_nComInitCount++ == 0 ? S_OK : S_FALSE; }

void QN_CoUninitialize() {
    if (t_nComInitCount > 0) --t_nComInitCount;
}

HRESULT QN_CoCreateInstance(REFGUID rclsid, IUnknown* /*pUnkOuter*/, uint32_t /*dwClsContext*/, REFIID riid,
                            void** ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (t_nComInitCount == 0) return CO_E_NOTINITIALIZED;
    if (rclsid != CLSID_ShellLink) return REGDB_E_CLASSNOTREG;
    ShellLink* pLink = new ShellLink;
    HRESULT hr = pLink->QueryInterface(riid, ppv);
    static_cast<IShellLinkA*>(pLink)->Release();
    return hr;
}

HRESULT QN_SHGetSpecialFolderLocation(void* /*hwndOwner*/, int nFolder, LPITEMIDLIST* ppidl) {
    if (!ppidl) return E_INVALIDARG;
    *ppidl = nullptr;
    std::string strPath;
    if (!QN_GetSpecialFolderPath(nFolder, &strPath, false)) return E_INVALIDARG;
    *ppidl = new QN_ITEMIDLIST{strPath};
    return S_OK;
}

int QN_SHGetPathFromIDListA(LPITEMIDLIST pidl, char* pszPath) {
    if (!pidl || !pszPath || pidl->strPath.size() >= 260) return 0;
    std::memcpy(pszPath, pidl->strPath.c_str(), pidl->strPath.size() + 1);
    return 1;
}

void QN_ILFree(LPITEMIDLIST pidl) { delete pidl; }
