#include "qn_version_info.h"

#include <elf.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qn_file.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

const char kSectionName[] = ".qnverinfo";
const uint32_t kHeaderSize = 12;
// A record larger than this is not one of ours.
const uint64_t kMaxRecordSize = 65536;

bool ReadAt(FILE* fp, uint64_t ullOffset, void* pvData, size_t uSize) {
    if (QN_fseeki64(fp, (int64_t)ullOffset, SEEK_SET) != 0) return false;
    return std::fread(pvData, 1, uSize, fp) == uSize;
}

// The record's bytes from the ELF64 file; false with the last error set.
bool ReadRecord(const char* cszFileName, std::vector<uint8_t>* pRecord) {
    bool bResult = false;
    FILE* fp = nullptr;
    Elf64_Ehdr Header;
    Elf64_Shdr Names;
    std::vector<char> NameTable;

    if (!cszFileName || !cszFileName[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    fp = QN_fopen(cszFileName, "rb");
    if (!fp) {
        QN_SetLastErrorFromErrno();
        return false;
    }
    QN_SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    if (!ReadAt(fp, 0, &Header, sizeof(Header))) goto Exit0;
    if (std::memcmp(Header.e_ident, ELFMAG, SELFMAG) != 0 || Header.e_ident[EI_CLASS] != ELFCLASS64) goto Exit0;
    if (Header.e_shentsize != sizeof(Elf64_Shdr) || Header.e_shstrndx >= Header.e_shnum) goto Exit0;
    if (!ReadAt(fp, Header.e_shoff + (uint64_t)Header.e_shstrndx * sizeof(Elf64_Shdr), &Names, sizeof(Names))) goto Exit0;
    if (Names.sh_size == 0 || Names.sh_size > (1u << 20)) goto Exit0;
    NameTable.resize(Names.sh_size + 1, '\0');
    if (!ReadAt(fp, Names.sh_offset, NameTable.data(), Names.sh_size)) goto Exit0;
    for (uint32_t i = 0; i < Header.e_shnum; ++i) {
        Elf64_Shdr Section;
        if (!ReadAt(fp, Header.e_shoff + (uint64_t)i * sizeof(Elf64_Shdr), &Section, sizeof(Section))) goto Exit0;
        if (Section.sh_name >= Names.sh_size || std::strcmp(&NameTable[Section.sh_name], kSectionName) != 0) continue;
        if (Section.sh_type == SHT_NOBITS || Section.sh_size < kHeaderSize || Section.sh_size > kMaxRecordSize) goto Exit0;
        pRecord->resize(Section.sh_size);
        if (!ReadAt(fp, Section.sh_offset, pRecord->data(), Section.sh_size)) goto Exit0;
        if (std::memcmp(pRecord->data(), "QNVI", 4) != 0) goto Exit0;
        bResult = true;
        break;
    }
Exit0:
    std::fclose(fp);
    return bResult;
}

uint16_t U16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

}  // namespace

uint32_t QN_GetFileVersionInfoSizeA(const char* cszFileName, uint32_t* puHandle) {
    std::vector<uint8_t> Record;
    if (puHandle) *puHandle = 0;
    if (!ReadRecord(cszFileName, &Record)) return 0;
    return (uint32_t)Record.size();
}

int QN_GetFileVersionInfoA(const char* cszFileName, uint32_t, uint32_t uSize, void* pvData) {
    std::vector<uint8_t> Record;
    if (!pvData || uSize == 0) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!ReadRecord(cszFileName, &Record)) return 0;
    std::memcpy(pvData, Record.data(), Record.size() < uSize ? Record.size() : uSize);
    if (Record.size() < uSize) std::memset((uint8_t*)pvData + Record.size(), 0, uSize - Record.size());
    // The last byte is always an end of text, so that a cut record still ends its pairs.
    ((uint8_t*)pvData)[uSize - 1] = 0;
    return 1;
}

int QN_VerQueryValueA(const void* pvBlock, const char* cszSubBlock, void** ppvBuffer, uint32_t* puLength) {
    const uint8_t* pbyBlock = static_cast<const uint8_t*>(pvBlock);
    std::string strSubBlock = cszSubBlock ? cszSubBlock : "";
    const std::string strStrings = "\\StringFileInfo\\";
    uint16_t uTranslations = 0;
    const char* pszPair = nullptr;
    char szTranslation[16];

    QN_SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    if (!pbyBlock || !ppvBuffer || !puLength || std::memcmp(pbyBlock, "QNVI", 4) != 0) return 0;
    uTranslations = U16(pbyBlock + 6);
    if (uTranslations == 0) return 0;
    if (QN_StrICmp(strSubBlock.c_str(), "\\VarFileInfo\\Translation") == 0) {
        *ppvBuffer = (void*)(pbyBlock + 8);
        *puLength = 4u * uTranslations;
        return 1;
    }
    if (strSubBlock.compare(0, strStrings.size(), strStrings) != 0) return 0;
    strSubBlock = strSubBlock.substr(strStrings.size());
    QN_snprintf(szTranslation, sizeof(szTranslation), "%04x%04x", U16(pbyBlock + 8), U16(pbyBlock + 10));
    if (strSubBlock.size() < 9 || QN_StrICmp(strSubBlock.substr(0, 8).c_str(), szTranslation) != 0 ||
        strSubBlock[8] != '\\')
        return 0;
    strSubBlock = strSubBlock.substr(9);
    // The pairs follow the single translation entry; the block ends with a zero byte.
    pszPair = reinterpret_cast<const char*>(pbyBlock + 8 + 4u * uTranslations);
    while (*pszPair) {
        const char* pszValue = pszPair + std::strlen(pszPair) + 1;
        if (std::strcmp(pszPair, strSubBlock.c_str()) == 0) {
            *ppvBuffer = (void*)pszValue;
            *puLength = (uint32_t)std::strlen(pszValue) + 1;
            return 1;
        }
        pszPair = pszValue + std::strlen(pszValue) + 1;
    }
    return 0;
}
