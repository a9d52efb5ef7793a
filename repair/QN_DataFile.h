// The package data files: PackageN.DAT files of equal size in the package folder that together
// form one linear address space, with every byte that no block occupies holding 0xCE. The
// reader tells whether a range is empty; the writer copies blocks in, refills empty regions
// and stamps the files it changed. Both live on one worker's stack and take no locks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "QN_FileManager.h"

// The byte every unused position of a data file holds.
#define QN_DATA_FILE_EMPTY_BYTE 0xCE
// The fill buffer of the writer, and the largest piece it refills at once.
#define QN_DATA_FILE_EMPTY_BUFFER_SIZE (16u * 1024u * 1024u)

// A package position (an address less the package's base address) is split into data file
// index = position / size and offset = position % size.
class QN_DataFileReader {
public:
    QN_DataFileReader();
    // Closes the streams that are still open.
    ~QN_DataFileReader();

    // Opens data files 0 to uFileCount - 1 of the folder for reading.
    int Init(const wchar_t* pcszDirectory, uint64_t ullMaxSizePerDataFile, uint32_t uFileCount);
    // 1 when every byte of [ullAddress, ullAddress + ullSize) is 0xCE; 0 when one differs and
    // on every failure. A range that runs into the next data file is checked in both.
    int IsEmptySpace(uint64_t ullAddress, uint64_t ullSize);
    // Closes all streams; always 1.
    int Uninit();

private:
    int _IsEmptySpaceInFile(uint64_t uDataFielIndex, uint64_t ullOffset, uint64_t ullSize);

    uint64_t ullMaxSizePerDataFile;
    wchar_t m_szDirectory[QN_MAX_PATH];
    wchar_t m_szFileNamePrefix[QN_MAX_PATH];
    std::vector<FILE*> m_fpDataFileArray;
};

class QN_DataFileWriter {
public:
    QN_DataFileWriter();
    // Uninit when still initialised.
    ~QN_DataFileWriter();

    // Creates the file manager and one read-write mapping per data file. A count of 0 maps
    // nothing and succeeds.
    int Init(const wchar_t* pcszDirectory, uint64_t ullMaxSizePerDataFile, uint32_t uDataFileCount);
    // Copies ullSize bytes (below 4 GiB) to the position; the range lies in one data file.
    int WriteData(uint64_t ullAddress, uint64_t ullSize, const uint8_t* pbyDataBuffer);
    // Fills the range with 0xCE, in pieces of at most 16 MiB. A range that runs into the
    // next data file is filled in both; one that runs past the last is refused before any
    // byte is written.
    int RemoveData(uint64_t ullAddress, uint64_t ullSize);
    // Releases the mappings, stamps the changed files with the current time, releases the
    // manager and the fill buffer. Everything is released even when stamping fails (0).
    int Uninit();

private:
    int _SetAllDataFileToCurrentTime();

    std::vector<IQN_FileMapping*> m_FileMappingArray;
    wchar_t m_szFileNamePrefix[QN_MAX_PATH];
    wchar_t m_szDirectory[QN_MAX_PATH];
    uint32_t uDataFileCount;
    uint64_t ullMaxSizePerDataFile;
    int m_bInitialized;
    IQN_FileManager* m_piFileManager;
    std::vector<uint32_t> m_ModifiedFlagArray;
    uint8_t* m_pbyEmptyBuffer;
};

// The core of every data-file path builder: name = prefix + index + ".DAT" ("%s%u.%s") and
// path = directory + "/" + name, each in a text of QN_MAX_PATH. Either output may be null.
// 1, or 0 on a null input or a text that does not fit. It writes no line.
int QN_FormatDataFileNameAndPath(const wchar_t* pcszDirectory, const wchar_t* pcszFileNamePrefix,
                                 uint32_t uIndex, wchar_t* pszRetFileName, wchar_t* pszRetFilePath);

// The path of data file uIndex ("%s/%s%u.%s"), in a text of QN_MAX_PATH.
int _GetDataFilePath(const wchar_t* pcszDirectory, const wchar_t* pcszFileNamePrefix, uint32_t uIndex,
                     wchar_t* pszRetFilePath);

// CRC-32 continued from uCRC over ullSize bytes; a null buffer gives 0.
uint32_t QN_GetBufferCRC32(uint32_t uCRC, const uint8_t* pbyBuffer, uint64_t ullSize);
// CRC-32 of a whole file. An empty file gives 1 with the CRC 0.
int QN_GetFileCRC32(const wchar_t* pcszDirFilePath, uint32_t* puRetCRC32);
