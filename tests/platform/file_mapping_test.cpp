#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "qn_file_mapping.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

using qn::test::TempDir;

// Bytes whose value depends on the position, so that a view at a wrong offset shows.
std::string Pattern(size_t uSize) {
    std::string s(uSize, '\0');
    for (size_t i = 0; i < uSize; ++i) s[i] = (char)((i * 131 + (i >> 16) * 7) & 0xFF);
    return s;
}

}  // namespace

TEST(CreateFile, DispositionTable) {
    struct Row {
        const char* name;
        bool bExists;
        uint32_t uAccess;
        uint32_t uDisposition;
        bool bOpens;
        uint32_t uLastError;
        const char* szContentAfter;  // nullptr: the file must not exist afterwards
    } rows[] = {
        {"open existing", true, GENERIC_READ, OPEN_EXISTING, true, 0, "old"},
        {"open missing", false, GENERIC_READ, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"new on existing", true, GENERIC_WRITE, CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
        {"new on missing", false, GENERIC_WRITE, CREATE_NEW, true, 0, ""},
        {"always on existing", true, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, true,
         ERROR_ALREADY_EXISTS, ""},
        {"always on missing", false, GENERIC_WRITE, CREATE_ALWAYS, true, 0, ""},
        {"open always existing", true, GENERIC_READ, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
        {"open always missing", false, GENERIC_READ, OPEN_ALWAYS, true, 0, ""},
        {"truncate existing", true, GENERIC_WRITE, TRUNCATE_EXISTING, true, 0, ""},
        {"truncate missing", false, GENERIC_WRITE, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND,
         nullptr},
        {"no access", true, 0, OPEN_EXISTING, false, ERROR_INVALID_PARAMETER, "old"},
        {"bad disposition", true, GENERIC_READ, 99, false, ERROR_INVALID_PARAMETER, "old"},
    };
    for (const Row& r : rows) {
        TempDir dir;
        std::string path = dir / "f.bin";
        if (r.bExists) qn::test::WriteFile(path, "old");
        QN_FILE h = QN_CreateFileA(path.c_str(), r.uAccess, r.uDisposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, r.bOpens) << r.name;
        EXPECT_EQ(QN_GetLastError(), r.uLastError) << r.name;
        if (h != INVALID_HANDLE_VALUE) {
            int nFdFlags = fcntl(h, F_GETFD);
            EXPECT_TRUE(nFdFlags >= 0 && (nFdFlags & FD_CLOEXEC)) << r.name;
            EXPECT_EQ(fcntl(h, F_GETFL) & O_NONBLOCK, 0) << r.name;
        }
        QN_CloseFile(h);
        if (r.szContentAfter) {
            EXPECT_EQ(qn::test::ReadFile(path), r.szContentAfter) << r.name;
        } else {
            EXPECT_FALSE(qn::test::FileExists(path)) << r.name;
        }
    }
}

TEST(CreateFile, RefusesFoldersAndFifosWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), dir / "fifo"}) {
        for (uint32_t uAccess : {GENERIC_READ, GENERIC_READ | GENERIC_WRITE}) {
            EXPECT_EQ(QN_CreateFileA(path.c_str(), uAccess, OPEN_EXISTING), INVALID_HANDLE_VALUE)
                << path;
            EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_ACCESS_DENIED) << path;
        }
    }
    EXPECT_EQ(QN_CreateFileA("", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(QN_CreateFileA(nullptr, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_PARAMETER);
}

TEST(CreateFile, WidePathIsUtf8OnDisk) {
    TempDir dir;
    qn::test::WriteFile(dir / "\xE8\xB7\xAF\xE5\xBE\x84.dat", "abc");  // "路径.dat" in UTF-8
    std::wstring wpath = QN_Utf8ToWide(dir.path()) + L"/\x8DEF\x5F84.dat";
    QN_FILE h = QN_CreateFileW(wpath.c_str(), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint64_t uSize = 0;
    EXPECT_EQ(QN_GetFileSizeEx(h, &uSize), 1);
    EXPECT_EQ(uSize, 3u);
    QN_CloseFile(h);
    EXPECT_EQ(QN_GetFileSizeEx(INVALID_HANDLE_VALUE, &uSize), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_HANDLE);
}

class FileMappingLayer : public ::testing::Test {
protected:
    void SetUp() override {
        m_nFdsBefore = qn::test::CountOpenFds();
        m_nViewsBefore = qn::testing::LiveMappingViews();
        m_nMappingsBefore = qn::testing::LiveFileMappings();
        m_sContent = Pattern(3 * 65536 + 100);
        m_sPath = m_dir / "data.bin";
        qn::test::WriteFile(m_sPath, m_sContent);
    }
    void TearDown() override {
        EXPECT_EQ(qn::testing::LiveMappingViews(), m_nViewsBefore);
        EXPECT_EQ(qn::testing::LiveFileMappings(), m_nMappingsBefore);
        EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsBefore);
    }

    TempDir m_dir;
    std::string m_sPath;
    std::string m_sContent;
    int m_nFdsBefore = 0;
    int64_t m_nViewsBefore = 0;
    int64_t m_nMappingsBefore = 0;
};

TEST_F(FileMappingLayer, ViewRangesAreCheckedAgainstTheMappingSize) {
    const uint64_t uSize = m_sContent.size();
    const uint64_t G = QN_GetAllocationGranularity();
    ASSERT_EQ(G, 65536u);
    struct Row {
        uint64_t uOffset;
        size_t uSize;
        uint32_t uError;  // 0: the view maps
    } rows[] = {
        {0, 0, 0},
        {0, (size_t)uSize, 0},
        {G, 10, 0},
        {2 * G, 0, 0},
        {3 * G, 100, 0},
        {3 * G, 101, ERROR_ACCESS_DENIED},
        {0, (size_t)uSize + 1, ERROR_ACCESS_DENIED},
        {4 * G, 0, ERROR_ACCESS_DENIED},
        {4096, 10, ERROR_MAPPED_ALIGNMENT},
        {G, SIZE_MAX, ERROR_ACCESS_DENIED},  // offset + size would wrap
        {UINT64_MAX - G + 1, 10, ERROR_ACCESS_DENIED},
    };
    QN_FILE h = QN_CreateFileA(m_sPath.c_str(), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QN_HMAPPING hMap = QN_CreateFileMapping(h, PAGE_READONLY, 0);
    ASSERT_NE(hMap, nullptr);
    EXPECT_EQ(QN_GetMappingSize(hMap), uSize);
    for (const Row& r : rows) {
        void* pv = QN_MapViewOfFile(hMap, FILE_MAP_READ, r.uOffset, r.uSize);
        if (r.uError == 0) {
            ASSERT_NE(pv, nullptr) << r.uOffset << "+" << r.uSize;
            size_t uLen = r.uSize ? r.uSize : (size_t)(uSize - r.uOffset);
            EXPECT_EQ(std::memcmp(pv, m_sContent.data() + r.uOffset, uLen), 0) << r.uOffset;
            EXPECT_EQ(QN_UnmapViewOfFile(pv, uLen), 1);
        } else {
            EXPECT_EQ(pv, nullptr) << r.uOffset << "+" << r.uSize;
            EXPECT_EQ(QN_GetLastError(), r.uError) << r.uOffset << "+" << r.uSize;
        }
    }
    EXPECT_EQ(QN_MapViewOfFile(hMap, 0, 0, 0), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(QN_MapViewOfFile(nullptr, FILE_MAP_READ, 0, 0), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_HANDLE);
    QN_CloseFileMapping(hMap);
    QN_CloseFile(h);
}

TEST_F(FileMappingLayer, SizeIsFixedAtCreationAndViewsOutliveTheHandles) {
    QN_FILE h = QN_CreateFileA(m_sPath.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QN_HMAPPING hMap = QN_CreateFileMapping(h, PAGE_READONLY, 0);
    ASSERT_NE(hMap, nullptr);
    // The file grows after the mapping was made: the mapping keeps its size.
    ASSERT_EQ(ftruncate(h, (off_t)m_sContent.size() + 5 * 65536), 0);
    EXPECT_EQ(QN_MapViewOfFile(hMap, FILE_MAP_READ, 4 * 65536, 0), nullptr);
    const uint8_t* pb = (const uint8_t*)QN_MapViewOfFile(hMap, FILE_MAP_READ, 0, 0);
    ASSERT_NE(pb, nullptr);
    QN_CloseFileMapping(hMap);
    QN_CloseFile(h);
    EXPECT_EQ(std::memcmp(pb, m_sContent.data(), m_sContent.size()), 0);
    EXPECT_EQ(QN_UnmapViewOfFile((void*)pb, m_sContent.size()), 1);
    EXPECT_EQ(QN_UnmapViewOfFile(nullptr, 10), 0);
}

TEST_F(FileMappingLayer, WritableSharedAndCopyOnWriteViews) {
    QN_FILE h = QN_CreateFileA(m_sPath.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QN_HMAPPING hMap = QN_CreateFileMapping(h, PAGE_READWRITE, 0);
    ASSERT_NE(hMap, nullptr);

    char* pcCopy = (char*)QN_MapViewOfFile(hMap, FILE_MAP_COPY, 0, 16);
    ASSERT_NE(pcCopy, nullptr);
    std::memcpy(pcCopy, "private", 7);
    EXPECT_EQ(QN_UnmapViewOfFile(pcCopy, 16), 1);

    char* pcShared = (char*)QN_MapViewOfFile(hMap, FILE_MAP_WRITE, 65536, 16);
    ASSERT_NE(pcShared, nullptr);
    std::memcpy(pcShared, "shared", 6);
    EXPECT_EQ(QN_UnmapViewOfFile(pcShared, 16), 1);
    QN_CloseFileMapping(hMap);
    QN_CloseFile(h);

    std::string expected = m_sContent;
    std::memcpy(&expected[65536], "shared", 6);
    EXPECT_EQ(qn::test::ReadFile(m_sPath), expected);
}

TEST_F(FileMappingLayer, ProtectionMustMatchTheFile) {
    QN_FILE hRead = QN_CreateFileA(m_sPath.c_str(), GENERIC_READ, OPEN_EXISTING);
    QN_FILE hWrite = QN_CreateFileA(m_sPath.c_str(), GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(hRead, INVALID_HANDLE_VALUE);
    ASSERT_NE(hWrite, INVALID_HANDLE_VALUE);
    struct Row {
        QN_FILE h;
        uint32_t uProtect;
        uint64_t uMaxSize;
        uint32_t uError;
    } rows[] = {
        {hRead, PAGE_READWRITE, 0, ERROR_ACCESS_DENIED},
        {hWrite, PAGE_READONLY, 0, ERROR_ACCESS_DENIED},
        {hRead, PAGE_READONLY, m_sContent.size() + 1, ERROR_NOT_ENOUGH_MEMORY},
        {hRead, PAGE_WRITECOPY, m_sContent.size() + 1, ERROR_NOT_ENOUGH_MEMORY},
        {hRead, 0x40, 0, ERROR_INVALID_PARAMETER},
        {INVALID_HANDLE_VALUE, PAGE_READONLY, 0, ERROR_INVALID_HANDLE},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(QN_CreateFileMapping(r.h, r.uProtect, r.uMaxSize), nullptr) << r.uProtect;
        EXPECT_EQ(QN_GetLastError(), r.uError) << r.uProtect;
    }
    // A read-only mapping gives no shared writable view, but a private copy.
    QN_HMAPPING hMap = QN_CreateFileMapping(hRead, PAGE_READONLY, 0);
    ASSERT_NE(hMap, nullptr);
    EXPECT_EQ(QN_MapViewOfFile(hMap, FILE_MAP_WRITE, 0, 0), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_ACCESS_DENIED);
    void* pv = QN_MapViewOfFile(hMap, FILE_MAP_COPY, 0, 10);
    EXPECT_NE(pv, nullptr);
    if (pv) QN_UnmapViewOfFile(pv, 10);
    QN_CloseFileMapping(hMap);
    QN_CloseFile(hRead);
    QN_CloseFile(hWrite);
}

TEST_F(FileMappingLayer, EmptyFileFailsAndAWritableMappingExtendsTheFile) {
    std::string empty = m_dir / "empty.bin";
    QN_FILE h = QN_CreateFileA(empty.c_str(), GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(QN_CreateFileMapping(h, PAGE_READONLY, 0), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_INVALID);
    EXPECT_EQ(QN_CreateFileMapping(h, PAGE_READWRITE, 0), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_INVALID);

    QN_HMAPPING hMap = QN_CreateFileMapping(h, PAGE_READWRITE, 2 * 65536);
    ASSERT_NE(hMap, nullptr);
    uint64_t uSize = 0;
    EXPECT_EQ(QN_GetFileSizeEx(h, &uSize), 1);
    EXPECT_EQ(uSize, 2u * 65536);
    struct stat st;
    ASSERT_EQ(fstat(h, &st), 0);
    EXPECT_GE((uint64_t)st.st_blocks * 512, 2u * 65536) << "the new length is allocated";
    char* pc = (char*)QN_MapViewOfFile(hMap, FILE_MAP_WRITE, 65536, 0);
    ASSERT_NE(pc, nullptr);
    pc[65535] = 'z';
    EXPECT_EQ(QN_UnmapViewOfFile(pc, 65536), 1);
    QN_CloseFileMapping(hMap);
    QN_CloseFile(h);
    std::string s = qn::test::ReadFile(empty);
    ASSERT_EQ(s.size(), 2u * 65536);
    EXPECT_EQ(s.back(), 'z');
}
