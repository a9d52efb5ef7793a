#include "RepairFileEditor.h"

#include "ServerTreeGenerator.h"

namespace qn::kit {

bool RepairFileEditor::LoadBytes(const Bytes& bytes, RepairFileKind kind, std::string* pErr) {
    size_t need = kind == RepairFileKind::Info ? kRepairInfoHeaderSize : kRepairRepHeaderSize;
    if (bytes.size() < need) {
        if (pErr) *pErr = "file shorter than its header";
        return false;
    }
    m_bytes = bytes;
    m_kind = kind;
    return true;
}

bool RepairFileEditor::Load(const std::string& path, RepairFileKind kind, std::string* pErr) {
    Bytes b;
    return ReadBytes(path, &b, pErr) && LoadBytes(b, kind, pErr);
}

bool RepairFileEditor::Save(const std::string& path, std::string* pErr) const {
    return WriteBytes(path, m_bytes, pErr);
}

bool RepairFileEditor::FieldsOf(RepairTable table, RepairFileKind kind, TableFields* pRet) {
    if (kind == RepairFileKind::Info) {
        switch (table) {
            case RepairTable::FileCheck: *pRet = {12, 16, 20, false}; return true;
            case RepairTable::Dir: *pRet = {36, 40, 44, false}; return true;
            case RepairTable::FileRepair: *pRet = {48, 52, -1, false}; return true;
            default: return false;
        }
    }
    int k = -1;
    switch (table) {
        case RepairTable::DirFiles: k = 0; break;
        case RepairTable::Blocks: k = 1; break;
        case RepairTable::Regions: k = 2; break;
        case RepairTable::Repair: k = 3; break;
        case RepairTable::Sources: k = 4; break;
        default: return false;
    }
    size_t at = 212 + 20 * (size_t)k;
    *pRet = {at, at + 8, (long)(at + 16), true};
    return true;
}

uint64_t RepairFileEditor::TableOffset(RepairTable table) const {
    TableFields f{};
    if (!FieldsOf(table, m_kind, &f)) return 0;
    return f.wide ? GetU64(m_bytes, f.offsetField) : GetU32(m_bytes, f.offsetField);
}

uint64_t RepairFileEditor::TableSize(RepairTable table) const {
    TableFields f{};
    if (!FieldsOf(table, m_kind, &f)) return 0;
    return f.wide ? GetU64(m_bytes, f.sizeField) : GetU32(m_bytes, f.sizeField);
}

void RepairFileEditor::SetByte(size_t uOffset, uint8_t value) {
    if (m_bytes.size() <= uOffset) m_bytes.resize(uOffset + 1, '\0');
    m_bytes[uOffset] = (char)value;
}

void RepairFileEditor::XorByte(size_t uOffset, uint8_t mask) {
    if (m_bytes.size() <= uOffset) m_bytes.resize(uOffset + 1, '\0');
    m_bytes[uOffset] = (char)((uint8_t)m_bytes[uOffset] ^ mask);
}

void RepairFileEditor::XorTableByte(RepairTable table, uint64_t ullOffsetInTable, uint8_t mask) {
    XorByte((size_t)(TableOffset(table) + ullOffsetInTable), mask);
}

void RepairFileEditor::SetTableU32(RepairTable table, uint64_t ullOffsetInTable, uint32_t uValue) {
    SetU32((size_t)(TableOffset(table) + ullOffsetInTable), uValue);
}

void RepairFileEditor::SetTableU64(RepairTable table, uint64_t ullOffsetInTable, uint64_t ullValue) {
    SetU64((size_t)(TableOffset(table) + ullOffsetInTable), ullValue);
}

void RepairFileEditor::RecomputeHeaderCrc() {
    if (m_kind == RepairFileKind::Info)
        SetU32(8, RepairInfoHeaderCrc(m_bytes));
    else
        SetU32(208, RepairRepHeaderCrc(m_bytes));
}

bool RepairFileEditor::RecomputeTableCrc(RepairTable table) {
    TableFields f{};
    if (!FieldsOf(table, m_kind, &f) || f.crcField < 0) return false;
    uint64_t off = TableOffset(table), size = TableSize(table);
    if (off > m_bytes.size() || size > m_bytes.size() - off) return false;
    SetU32((size_t)f.crcField, Crc32(m_bytes.data() + off, (size_t)size));
    return true;
}

void RepairFileEditor::RecomputeAll() {
    if (m_kind == RepairFileKind::Info) {
        RecomputeTableCrc(RepairTable::FileCheck);
        RecomputeTableCrc(RepairTable::Dir);
    } else {
        for (RepairTable t : {RepairTable::DirFiles, RepairTable::Blocks, RepairTable::Regions, RepairTable::Repair,
                              RepairTable::Sources})
            if (TableSize(t) > 0) RecomputeTableCrc(t);
    }
    RecomputeHeaderCrc();
}

}  // namespace qn::kit
