// Loads a generated "qel_repair.info" or "Repair.REP", changes one field and recomputes the
// checksum a test chooses (or leaves it stale), for fault tests.
#pragma once

#include <cstdint>
#include <string>

#include "KitBytes.h"

namespace qn::kit {

enum class RepairFileKind { Info, Rep };

// The tables of both files. Info: FileCheck, Dir, FileRepair. Rep: DirFiles, Blocks, Regions,
// Repair, Sources.
enum class RepairTable { FileCheck, Dir, FileRepair, DirFiles, Blocks, Regions, Repair, Sources };

class RepairFileEditor {
public:
    bool Load(const std::string& path, RepairFileKind kind, std::string* pErr = nullptr);
    bool LoadBytes(const Bytes& bytes, RepairFileKind kind, std::string* pErr = nullptr);
    bool Save(const std::string& path, std::string* pErr = nullptr) const;

    Bytes& bytes() { return m_bytes; }
    const Bytes& bytes() const { return m_bytes; }

    // Header field offsets of a table: {offset field, size field, crc field or -1}.
    struct TableFields {
        size_t offsetField, sizeField;
        long crcField;
        bool wide;  // 64-bit offset and size
    };
    static bool FieldsOf(RepairTable table, RepairFileKind kind, TableFields* pRet);

    uint64_t TableOffset(RepairTable table) const;
    uint64_t TableSize(RepairTable table) const;

    // Raw edits by file offset; the file grows when needed.
    void SetU32(size_t uOffset, uint32_t uValue) { PutU32(&m_bytes, uOffset, uValue); }
    void SetU64(size_t uOffset, uint64_t ullValue) { PutU64(&m_bytes, uOffset, ullValue); }
    void SetByte(size_t uOffset, uint8_t value);
    void XorByte(size_t uOffset, uint8_t mask);
    // Edits relative to the start of a table, as placed by the header.
    void XorTableByte(RepairTable table, uint64_t ullOffsetInTable, uint8_t mask);
    void SetTableU32(RepairTable table, uint64_t ullOffsetInTable, uint32_t uValue);
    void SetTableU64(RepairTable table, uint64_t ullOffsetInTable, uint64_t ullValue);

    // Checksums: the header's (its CRC field taken as zero) and one table's, from its bytes.
    void RecomputeHeaderCrc();
    bool RecomputeTableCrc(RepairTable table);
    // Recomputes every table checksum, then the header's.
    void RecomputeAll();

private:
    Bytes m_bytes;
    RepairFileKind m_kind = RepairFileKind::Info;
};

}  // namespace qn::kit
