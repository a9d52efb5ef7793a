// Shell links and the few component-object calls around them.
//
// A link is a small UTF-8 text file of at most 64 KiB, whatever its name:
//
//     QNLNK 1
//     Target=/games/qel/gameupdater.exe
//     Arguments=
//     WorkingDirectory=/games/qel/
//     Description=Qel
//     IconLocation=/games/qel/gameupdater.exe,0
//     HotKey=0
//     ShowCommand=1
//
// The first line is exactly "QNLNK 1"; a field is "Key=value" up to the line's end (LF or
// CR LF); keys are case-sensitive. Lines of other keys are kept as they are and written back
// after the known fields, so a rewrite loses nothing. Only the fields that were read or set are
// written, in the order above.
#pragma once

#include <cstdint>

#include "qn_com.h"

// The component library is "initialised" per thread: the first call gives S_OK, later ones
// S_FALSE; every successful call needs its QN_CoUninitialize.
HRESULT QN_CoInitialize(void* pvReserved);
void QN_CoUninitialize();

#define CLSCTX_INPROC_SERVER 0x1u
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0u)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154u)
#define SLGP_RAWPATH 0x4u

// {00021401-0000-0000-C000-000000000046}
inline constexpr QN_GUID CLSID_ShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {000214EE-0000-0000-C000-000000000046}
inline constexpr QN_GUID IID_IShellLinkA = {0x000214EE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {0000010B-0000-0000-C000-000000000046}
inline constexpr QN_GUID IID_IPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct WIN32_FIND_DATAA;

// The link's target and arguments (narrow, UTF-8).
struct IShellLinkA : public IUnknown {
    // S_OK with the target; S_FALSE (and "") when the link has none. A target that does not fit
    // into cch characters with its terminator fails (0x8007007A) with the text cut. pfd is not
    // filled.
    virtual HRESULT GetPath(char* pszFile, int cch, WIN32_FIND_DATAA* pfd, uint32_t fFlags) = 0;
    // S_OK with the arguments ("" when none); too long fails as GetPath does.
    virtual HRESULT GetArguments(char* pszArgs, int cch) = 0;
    // E_INVALIDARG for null or a text with CR or LF.
    virtual HRESULT SetPath(const char* pszFile) = 0;
    virtual HRESULT SetArguments(const char* pszArgs) = 0;

protected:
    ~IShellLinkA() = default;
};

struct IPersistFile : public IUnknown {
    // Reads the link file. E_FAIL for anything that is no link: a missing or unreadable file, a
    // symbolic link (never followed), a non-regular file, more than 64 KiB, no "QNLNK 1" line.
    virtual HRESULT Load(const wchar_t* pszFileName, uint32_t dwMode) = 0;
    // Writes the link file: E_ACCESSDENIED when an existing file lacks its owner's write
    // permission (also for root, as a read-only file on Windows), else a temporary file in the
    // same folder renamed over the name, with the old file's permission bits. A symbolic link
    // at the name is replaced, never written through.
    virtual HRESULT Save(const wchar_t* pszFileName, int fRemember) = 0;

protected:
    ~IPersistFile() = default;
};

// A new link object for IID_IShellLinkA or IID_IPersistFile (the other is reached through
// QueryInterface). CO_E_NOTINITIALIZED on a thread that has not initialised the library,
// REGDB_E_CLASSNOTREG for another class, E_NOINTERFACE for another interface.
HRESULT QN_CoCreateInstance(REFGUID rclsid, IUnknown* pUnkOuter, uint32_t dwClsContext, REFIID riid, void** ppv);

// Special folders as item lists: a heap copy of the folder's path, freed with QN_ILFree.
struct QN_ITEMIDLIST;
typedef QN_ITEMIDLIST* LPITEMIDLIST;
// S_OK for the special folder ids of qn_special_folder.h (the path is given even when the
// folder does not exist); E_INVALIDARG for another id or a null output.
HRESULT QN_SHGetSpecialFolderLocation(void* hwndOwner, int nFolder, LPITEMIDLIST* ppidl);
// Copies the path into 260 characters: 1, or 0 when it does not fit.
int QN_SHGetPathFromIDListA(LPITEMIDLIST pidl, char* pszPath);
void QN_ILFree(LPITEMIDLIST pidl);
