// The classes behind the outside-package file layer (QN_FileManager.h). Callers use the
// interfaces; this header is for the layer itself and its tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "QN_FileManager.h"
#include "qn_file_mapping.h"

class QN_OutsidePackageFileManager final : public IQN_FileManager {
public:
    QN_OutsidePackageFileManager();
    ~QN_OutsidePackageFileManager() = default;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT CreateFileMappingW(const wchar_t* cszFilePath, int nMode,
                               IQN_FileMapping** ppRetFileMapping) override;
    int IsFileExists(const wchar_t* cszFilePath, int* pbRetExist) override;

    // 1 when the root fitted (a null root leaves it empty), else 0.
    int SetRootPath(const wchar_t* cszRootPath);
    // The path a mapping opens: an absolute path unchanged, else root (or the working
    // folder when the root is empty) + "/" + path. S_OK or E_FAIL.
    HRESULT _GetRealPath(const wchar_t* pcszPath, wchar_t* pszRealPathBuffer);

private:
    wchar_t m_szRootPath[QN_MAX_PATH];
    std::atomic<int32_t> m_lRefCount;
};

class QN_OutsidePackageFileMapping final : public IQN_FileMapping {
public:
    QN_OutsidePackageFileMapping();
    // Closes the handles if they are still open.
    ~QN_OutsidePackageFileMapping();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT MapView(uint64_t ullOffset, uint32_t uSize, IQN_Buffer** ppRetBuffer) override;
    HRESULT GetFileInfo(QN_FILE_INFO* pRetFileInfo) override;
    HRESULT Init(const wchar_t* cszFilePath, int nMode) override;
    HRESULT Uninit() override;

    // Takes over the state of a prepared mapping; the handles leave it. The count is 1.
    void _MoveFrom(QN_OutsidePackageFileMapping& rPrepared);

private:
    std::atomic<int32_t> m_lRefCount;
    uint32_t m_nMode;
    uint32_t m_uViewAccess;
    uint64_t m_ullFileSize;
    uint32_t m_uAllocationGranularity;
    QN_HMAPPING m_hFileMapping;
    QN_FILE m_hFile;
};

class QN_FileMappingFileBuffer final : public IQN_FileBuffer {
public:
    QN_FileMappingFileBuffer();
    // Undoes a view that is still mapped.
    ~QN_FileMappingFileBuffer();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    uint32_t GetSize() override;
    uint8_t* GetData() override;

    virtual HRESULT Init(IQN_FileMapping* piFileMapping, uint64_t ullOffset, uint32_t uSize,
                         QN_HMAPPING hFileMapping, uint32_t uViewAccess, uint32_t uGranularity);
    virtual HRESULT Uninit();

    // Takes over a prepared view: its view, its sizes and its reference to the mapping all
    // leave it, so that undoing or destroying it afterwards releases nothing. The count is 1.
    void _MoveFrom(QN_FileMappingFileBuffer& rPrepared);

    void* _GetAlignedData() const { return m_pvAlignedData; }
    uint32_t _GetAlignedSize() const { return m_uAlignedSize; }

private:
    std::atomic<int32_t> m_lRefCount;
    IQN_FileMapping* m_piFileMapping;
    uint8_t* m_pbyData;
    uint32_t m_uSize;
    void* m_pvAlignedData;
    uint32_t m_uAlignedSize;
};
