#include "TreeTools.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "KitBytes.h"

namespace qn::kit {

namespace fs = std::filesystem;

namespace {

bool Fail(std::string* pErr, const std::string& text) {
    if (pErr) *pErr = text;
    return false;
}

enum class EntryType { File, Folder, Other };

void Collect(const std::string& root, const std::string& sub, const std::set<std::string>& exclude,
             std::map<std::string, EntryType>* pOut) {
    std::error_code ec;
    fs::path base = fs::path(root) / sub;
    if (!fs::exists(fs::symlink_status(base, ec))) return;
    auto it = fs::recursive_directory_iterator(base, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).generic_string();
        if (exclude.count(rel)) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        fs::file_status st = it->symlink_status();
        EntryType t = fs::is_regular_file(st) ? EntryType::File : fs::is_directory(st) ? EntryType::Folder : EntryType::Other;
        (*pOut)[rel] = t;
    }
}

}  // namespace

std::string TreeDiff::Describe() const {
    std::ostringstream o;
    static const char* kNames[] = {"missing", "extra", "type differs", "size differs", "content differs"};
    for (const TreeDifference& d : items) {
        o << kNames[d.kind] << ": " << d.path;
        if (d.kind == TreeDifference::SizeDiffers || d.kind == TreeDifference::ContentDiffers)
            o << " (sizes " << d.sizeA << " and " << d.sizeB << ", first difference at " << d.firstDiff << ")";
        o << "\n";
    }
    return o.str();
}

std::vector<std::string> TreeDiff::Paths() const {
    std::vector<std::string> p;
    for (const TreeDifference& d : items) p.push_back(d.path);
    std::sort(p.begin(), p.end());
    return p;
}

TreeDiff CompareTrees(const std::string& a, const std::string& b, const std::vector<std::string>& subdirs,
                      const std::set<std::string>& exclude) {
    TreeDiff diff;
    std::map<std::string, EntryType> ea, eb;
    for (const std::string& s : subdirs) {
        Collect(a, s, exclude, &ea);
        Collect(b, s, exclude, &eb);
    }
    for (const auto& [path, type] : ea) {
        auto it = eb.find(path);
        if (it == eb.end()) {
            diff.items.push_back({TreeDifference::Missing, path});
            continue;
        }
        if (it->second != type) {
            diff.items.push_back({TreeDifference::TypeDiffers, path});
            continue;
        }
        if (type != EntryType::File) continue;
        Bytes ba, bb;
        ReadBytes(a + "/" + path, &ba);
        ReadBytes(b + "/" + path, &bb);
        if (ba == bb) continue;
        size_t n = std::min(ba.size(), bb.size());
        size_t k = 0;
        while (k < n && ba[k] == bb[k]) ++k;
        TreeDifference d{ba.size() != bb.size() ? TreeDifference::SizeDiffers : TreeDifference::ContentDiffers, path};
        d.sizeA = ba.size();
        d.sizeB = bb.size();
        d.firstDiff = k;
        diff.items.push_back(d);
    }
    for (const auto& [path, type] : eb)
        if (!ea.count(path)) diff.items.push_back({TreeDifference::Extra, path});
    return diff;
}

bool CopyTree(const std::string& from, const std::string& to, std::string* pErr) {
    std::error_code ec;
    if (!fs::is_directory(from, ec)) return Fail(pErr, "not a folder: " + from);
    if (fs::exists(to, ec) && !fs::is_empty(to, ec)) return Fail(pErr, "target folder not empty: " + to);
    fs::create_directories(to, ec);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) return Fail(pErr, "copy " + from + " to " + to + ": " + ec.message());
    return true;
}

static bool EditFile(const std::string& path, std::string* pErr, const std::function<bool(Bytes*)>& edit) {
    Bytes b;
    if (!ReadBytes(path, &b, pErr)) return false;
    if (!edit(&b)) return Fail(pErr, "offset outside " + path);
    return WriteBytes(path, b, pErr);
}

bool FlipByte(const std::string& path, uint64_t ullOffset, uint8_t mask, std::string* pErr) {
    return EditFile(path, pErr, [&](Bytes* b) {
        if (ullOffset >= b->size()) return false;
        (*b)[(size_t)ullOffset] = (char)((uint8_t)(*b)[(size_t)ullOffset] ^ mask);
        return true;
    });
}

bool SetByteAt(const std::string& path, uint64_t ullOffset, uint8_t value, std::string* pErr) {
    return EditFile(path, pErr, [&](Bytes* b) {
        if (ullOffset >= b->size()) return false;
        (*b)[(size_t)ullOffset] = (char)value;
        return true;
    });
}

bool TruncateFile(const std::string& path, uint64_t ullSize, std::string* pErr) {
    std::error_code ec;
    fs::resize_file(path, ullSize, ec);
    if (ec) return Fail(pErr, "truncate " + path + ": " + ec.message());
    return true;
}

bool ExtendFile(const std::string& path, uint64_t ullExtra, uint8_t fill, std::string* pErr) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (!out) return Fail(pErr, "cannot open " + path);
    std::string pad((size_t)ullExtra, (char)fill);
    out.write(pad.data(), (std::streamsize)pad.size());
    if (!out) return Fail(pErr, "cannot extend " + path);
    return true;
}

bool DeletePath(const std::string& path, std::string* pErr) {
    std::error_code ec;
    if (fs::remove_all(path, ec) == 0 || ec) return Fail(pErr, "nothing deleted at " + path);
    return true;
}

bool ReplaceByFolder(const std::string& path, const std::string& innerName, std::string* pErr) {
    if (!DeletePath(path, pErr)) return false;
    return WriteBytes(path + "/" + innerName, "in the way\n", pErr);
}

bool EmptyFile(const std::string& path, std::string* pErr) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return Fail(pErr, "not a file: " + path);
    return TruncateFile(path, 0, pErr);
}

std::vector<FileStamp> StampTree(const std::string& root) {
    std::vector<FileStamp> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!fs::is_regular_file(it->symlink_status())) continue;
        auto t = fs::last_write_time(it->path(), ec);
        int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
        out.push_back({fs::relative(it->path(), root).generic_string(), (uint64_t)fs::file_size(it->path(), ec), ns});
    }
    std::sort(out.begin(), out.end(), [](const FileStamp& a, const FileStamp& b) { return a.path < b.path; });
    return out;
}

}  // namespace qn::kit
