// Byte comparison of two client trees, recursive copy, and the damage operations of the repair
// scenarios (flip, set, truncate, extend, delete, replace by a folder, empty).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace qn::kit {

struct TreeDifference {
    enum Kind { Missing, Extra, TypeDiffers, SizeDiffers, ContentDiffers };
    Kind kind;
    std::string path;  // relative, '/' separated
    uint64_t sizeA = 0, sizeB = 0;
    uint64_t firstDiff = 0;  // first differing offset (sizes and content)
};

struct TreeDiff {
    std::vector<TreeDifference> items;
    bool empty() const { return items.empty(); }
    // One line per difference.
    std::string Describe() const;
    // The relative paths that differ, sorted.
    std::vector<std::string> Paths() const;
};

// Compares a and b below each of subdirs ("bin/zhcn" and "pakV3" by default): missing and extra
// entries, type, size and the first differing offset. Paths in exclude (relative to a and b) are
// skipped, with everything below them.
TreeDiff CompareTrees(const std::string& a, const std::string& b,
                      const std::vector<std::string>& subdirs = {"bin/zhcn", "pakV3"},
                      const std::set<std::string>& exclude = {});

// Copies the folder tree (regular files and folders; symbolic links as links). Refuses to copy
// into an existing non-empty folder.
bool CopyTree(const std::string& from, const std::string& to, std::string* pErr = nullptr);

// Damage operations on one file; false with *pErr on failure.
bool FlipByte(const std::string& path, uint64_t ullOffset, uint8_t mask = 0xFF, std::string* pErr = nullptr);
bool SetByteAt(const std::string& path, uint64_t ullOffset, uint8_t value, std::string* pErr = nullptr);
bool TruncateFile(const std::string& path, uint64_t ullSize, std::string* pErr = nullptr);
bool ExtendFile(const std::string& path, uint64_t ullExtra, uint8_t fill = 0, std::string* pErr = nullptr);
bool DeletePath(const std::string& path, std::string* pErr = nullptr);
// Replaces the file with a folder of the same name holding one small file innerName.
bool ReplaceByFolder(const std::string& path, const std::string& innerName = "x.txt", std::string* pErr = nullptr);
bool EmptyFile(const std::string& path, std::string* pErr = nullptr);

// Every regular file below root with its modification time in nanoseconds, for "which files
// were touched" checks.
struct FileStamp {
    std::string path;
    uint64_t size;
    int64_t mtimeNs;
};
std::vector<FileStamp> StampTree(const std::string& root);

}  // namespace qn::kit
