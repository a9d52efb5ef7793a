#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qn_find_file.h"
#include "qn_platform.h"
#include "qn_shell_link.h"
#include "qn_string.h"
#include "qn_test_env.h"

namespace {

// One link object on an initialised thread.
struct LinkObject {
    IShellLinkA* pLink = nullptr;
    IPersistFile* pFile = nullptr;
    LinkObject() {
        EXPECT_EQ(QN_CoInitialize(nullptr), S_OK);
        EXPECT_EQ(QN_CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&pLink),
                  S_OK);
        EXPECT_EQ(pLink->QueryInterface(IID_IPersistFile, (void**)&pFile), S_OK);
    }
    ~LinkObject() {
        pFile->Release();
        pLink->Release();
        QN_CoUninitialize();
    }
    HRESULT Load(const std::string& strPath) { return pFile->Load(QN_Utf8ToWide(strPath).c_str(), 0); }
    HRESULT Save(const std::string& strPath) { return pFile->Save(QN_Utf8ToWide(strPath).c_str(), 0); }
};

TEST(ShellLink, WhatLoads) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "good.lnk", "QNLNK 1\nTarget=/t\n");
    ASSERT_EQ(::symlink((dir / "good.lnk").c_str(), (dir / "symlink.lnk").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.lnk").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir((dir / "folder.lnk").c_str(), 0755), 0);
    qn::test::WriteFile(dir / "big.lnk", "QNLNK 1\nTarget=/t\n" + std::string(64 * 1024, 'x'));
    qn::test::WriteFile(dir / "limit.lnk", "QNLNK 1\nTarget=/t\n" + std::string(64 * 1024 - 18, 'x'));
    qn::test::WriteFile(dir / "nomagic.lnk", "QNLNK 2\nTarget=/t\n");
    qn::test::WriteFile(dir / "empty.lnk", "");
    struct Row {
        const char* cszName;
        HRESULT hLoad;
        HRESULT hPath;  // GetPath after a good load
        std::string strTarget;
    } rows[] = {
        {"good.lnk", S_OK, S_OK, "/t"},
        {"limit.lnk", S_OK, S_OK, "/t"},
        {"symlink.lnk", E_FAIL, 0, ""},
        {"fifo.lnk", E_FAIL, 0, ""},
        {"folder.lnk", E_FAIL, 0, ""},
        {"big.lnk", E_FAIL, 0, ""},
        {"nomagic.lnk", E_FAIL, 0, ""},
        {"empty.lnk", E_FAIL, 0, ""},
        {"missing.lnk", E_FAIL, 0, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        LinkObject link;
        EXPECT_EQ(link.Load(dir / r.cszName), r.hLoad);
        if (r.hLoad == S_OK) {
            char szTarget[260];
            EXPECT_EQ(link.pLink->GetPath(szTarget, 260, nullptr, SLGP_RAWPATH), r.hPath);
            EXPECT_EQ(std::string(szTarget), r.strTarget);
        }
    }
}

TEST(ShellLink, FieldsAndSaving) {
    qn::test::TempDir dir;
    LinkObject link;
    char szText[8];
    // No target: S_FALSE, the case of a link to something that is no file.
    EXPECT_EQ(link.pLink->GetPath(szText, 8, nullptr, SLGP_RAWPATH), S_FALSE);
    EXPECT_EQ(link.pLink->SetPath("/a\r\nX=1"), E_INVALIDARG);
    EXPECT_EQ(link.pLink->SetArguments("a\nb"), E_INVALIDARG);
    EXPECT_EQ(link.pLink->SetPath(nullptr), E_INVALIDARG);
    ASSERT_EQ(link.pLink->SetPath("/long/target"), S_OK);
    // A target that does not fit is a failure, never a cut text that could match another one.
    EXPECT_TRUE(FAILED(link.pLink->GetPath(szText, 8, nullptr, SLGP_RAWPATH)));
    ASSERT_EQ(link.Save(dir / "new.lnk"), S_OK);
    EXPECT_EQ(qn::test::ReadFile(dir / "new.lnk"), "QNLNK 1\nTarget=/long/target\n");

    // A read-only file is refused, also for root, and stays as it was.
    qn::test::WriteFile(dir / "ro.lnk", "QNLNK 1\nTarget=/old\n");
    ASSERT_EQ(::chmod((dir / "ro.lnk").c_str(), 0444), 0);
    EXPECT_EQ(link.Save(dir / "ro.lnk"), E_ACCESSDENIED);
    EXPECT_EQ(qn::test::ReadFile(dir / "ro.lnk"), "QNLNK 1\nTarget=/old\n");

    // The permission bits of the file replaced are kept; a symbolic link at the name is
    // replaced and what it pointed at is left alone.
    qn::test::WriteFile(dir / "mode.lnk", "QNLNK 1\n");
    ASSERT_EQ(::chmod((dir / "mode.lnk").c_str(), 0600), 0);
    ASSERT_EQ(link.Save(dir / "mode.lnk"), S_OK);
    struct stat st;
    ASSERT_EQ(::stat((dir / "mode.lnk").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    qn::test::WriteFile(dir / "pointed.txt", "keep");
    ASSERT_EQ(::symlink((dir / "pointed.txt").c_str(), (dir / "sym.lnk").c_str()), 0);
    ASSERT_EQ(link.Save(dir / "sym.lnk"), S_OK);
    EXPECT_EQ(qn::test::ReadFile(dir / "pointed.txt"), "keep");
    ASSERT_EQ(::lstat((dir / "sym.lnk").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(ShellLink, NeedsAnInitialisedThread) {
    void* pv = nullptr;
    EXPECT_EQ(QN_CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, &pv),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(QN_CoInitialize(nullptr), S_OK);
    EXPECT_EQ(QN_CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(QN_CoCreateInstance(IID_IPersistFile, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, &pv),
              REGDB_E_CLASSNOTREG);
    QN_CoUninitialize();
    QN_CoUninitialize();
}

std::vector<std::pair<std::string, uint32_t>> ListAll(const std::string& strPattern) {
    std::vector<std::pair<std::string, uint32_t>> entries;
    WIN32_FIND_DATAA fd;
    QN_HFIND h = QN_FindFirstFileA(strPattern.c_str(), &fd);
    if (!h) return entries;
    do {
        entries.emplace_back(fd.cFileName, fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    } while (QN_FindNextFileA(h, &fd));
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_NO_MORE_FILES);
    QN_FindClose(h);
    return entries;
}

TEST(FindFile, Listing) {
    qn::test::TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    qn::test::WriteFile(dir / "b.lnk", "");
    ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "a-loop").c_str()), 0);
    const std::vector<std::pair<std::string, uint32_t>> expected = {{".", FILE_ATTRIBUTE_DIRECTORY},
                                                                    {"..", FILE_ATTRIBUTE_DIRECTORY},
                                                                    {"a-loop", FILE_ATTRIBUTE_REPARSE_POINT},
                                                                    {"b.lnk", 0},
                                                                    {"sub", FILE_ATTRIBUTE_DIRECTORY}};
    EXPECT_EQ(ListAll(dir / "*"), expected);
    EXPECT_EQ(ListAll(dir.path() + "\\*.*"), expected);
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(QN_FindFirstFileA((dir / "missing/*").c_str(), &fd), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(QN_FindFirstFileA((dir / "b.lnk/*").c_str(), &fd), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_DIRECTORY);
}

}  // namespace
