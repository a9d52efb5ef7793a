#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qn_platform_sandbox.h"
#include "qn_registry.h"
#include "qn_special_folder.h"
#include "qn_string.h"
#include "qn_test_env.h"

namespace {

const char kMachineHive[] =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3]\r\n"
    "\"installPath\"=\"/games/qel/bin/zhcn\"\r\n"
    "\"Other\"=dword:0000002a\r\n"
    "\"Quoted\"=\"a\\\\b\\\"c\"\r\n"
    "\"Blob\"=hex:01,02,\\\r\n"
    "  ff\r\n"
    "@=\"default\"\r\n"
    "\"Odd\"=something this layer does not know\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\42]\n"
    "\"path\"=\"/opt/tmqs\"\n";

// Reads of the hand-written hive: names without regard to case, implied parent keys, the
// value types and the sizes.
TEST(Registry, ReadTable) {
    qn::test::PlatformSandbox box;
    box.WriteHive("HKEY_LOCAL_MACHINE", kMachineHive);
    struct Row {
        const char* cszKey;
        const char* cszValue;
        int32_t nOpen;
        int32_t nQuery;
        uint32_t uType;
        std::string strData;  // with the terminator for strings
    } rows[] = {
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", "installPath", 0, 0, REG_SZ, std::string("/games/qel/bin/zhcn", 20)},
        {"software\\QUORVANE\\qel\\ZHCN_pakv3", "INSTALLPATH", 0, 0, REG_SZ, std::string("/games/qel/bin/zhcn", 20)},
        {"\\SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3\\", "Other", 0, 0, REG_DWORD, std::string("\x2a\0\0\0", 4)},
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", "Quoted", 0, 0, REG_SZ, std::string("a\\b\"c", 6)},
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", "Blob", 0, 0, REG_BINARY, std::string("\x01\x02\xff", 3)},
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", nullptr, 0, 0, REG_SZ, std::string("default", 8)},
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", "Odd", 0, ERROR_FILE_NOT_FOUND, 0, ""},
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", "missing", 0, ERROR_FILE_NOT_FOUND, 0, ""},
        {"SOFTWARE\\Quorvane", "installPath", 0, ERROR_FILE_NOT_FOUND, 0, ""},  // a parent without a section
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_exp", "installPath", ERROR_FILE_NOT_FOUND, 0, 0, ""},
        {"SOFTWARE\\Quorvane\\Qe", "x", ERROR_FILE_NOT_FOUND, 0, 0, ""},  // a prefix of a name is no key
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszKey + std::string(" / ") + (r.cszValue ? r.cszValue : "@"));
        HKEY hKey = nullptr;
        ASSERT_EQ(QN_RegOpenKeyExA(HKEY_LOCAL_MACHINE, r.cszKey, 0, KEY_READ | KEY_WOW64_32KEY, &hKey), r.nOpen);
        if (r.nOpen != 0) {
            EXPECT_EQ(hKey, nullptr);
            continue;
        }
        uint8_t buf[260] = {};
        uint32_t cb = sizeof(buf), uType = 0;
        EXPECT_EQ(QN_RegQueryValueExA(hKey, r.cszValue, &uType, buf, &cb), r.nQuery);
        if (r.nQuery == 0) {
            EXPECT_EQ(uType, r.uType);
            EXPECT_EQ(std::string((const char*)buf, cb), r.strData);
        }
        EXPECT_EQ(QN_RegCloseKey(hKey), 0);
    }
    // Sizes: a small buffer gives 234 and the size, no buffer the size alone; wide strings
    // count in the platform's wchar_t.
    HKEY hKey = nullptr;
    ASSERT_EQ(QN_RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", 0, KEY_READ, &hKey), 0);
    uint8_t small[4];
    uint32_t cb = sizeof(small);
    EXPECT_EQ(QN_RegQueryValueExA(hKey, "installPath", nullptr, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 20u);
    cb = 0;
    EXPECT_EQ(QN_RegQueryValueExA(hKey, "installPath", nullptr, nullptr, &cb), 0);
    EXPECT_EQ(cb, 20u);
    wchar_t wsz[260];
    cb = sizeof(wsz);
    uint32_t uType = 0;
    EXPECT_EQ(QN_RegQueryValueExW(hKey, L"installpath", &uType, (uint8_t*)wsz, &cb), 0);
    EXPECT_EQ(cb, 20u * sizeof(wchar_t));
    EXPECT_STREQ(wsz, L"/games/qel/bin/zhcn");
    QN_RegCloseKey(hKey);
    EXPECT_EQ(QN_RegCloseKey(hKey), ERROR_INVALID_HANDLE);
    // Another hive's file is not read.
    EXPECT_EQ(QN_RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Quorvane", 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
}

// Changes keep what the file holds beside them, go through a new file, and respect the
// owner-write bit of the hive file.
TEST(Registry, WritesKeepTheRestAndReplaceTheFile) {
    qn::test::PlatformSandbox box;
    box.WriteHive("HKEY_LOCAL_MACHINE", kMachineHive);
    const std::string strHive = box.HivePath("HKEY_LOCAL_MACHINE");
    // The file as it was, held open: a change replaces it instead of writing into it.
    int nOldFd = ::open(strHive.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(nOldFd, 0);
    const std::string strOriginal = qn::test::ReadFile(strHive);

    HKEY hKey = nullptr;
    uint32_t uDisp = 0;
    ASSERT_EQ(QN_RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvane\\Qel\\zhcn_hd", KEY_ALL_ACCESS, &hKey, &uDisp), 0);
    EXPECT_EQ(uDisp, (uint32_t)REG_CREATED_NEW_KEY);
    const wchar_t wszPath[] = L"/g/hd/bin/zhcn_hd";
    EXPECT_EQ(QN_RegSetValueExW(hKey, L"installPath", REG_SZ, (const uint8_t*)wszPath, sizeof(wszPath)), 0);
    uint32_t u = 7;
    EXPECT_EQ(QN_RegSetValueExW(hKey, L"n", REG_DWORD, (const uint8_t*)&u, 4), 0);
    EXPECT_EQ(QN_RegSetValueExA(hKey, "bad", REG_SZ, (const uint8_t*)"a\nb", 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(QN_RegSetValueExA(hKey, "bad", REG_DWORD, (const uint8_t*)"ab", 2), ERROR_INVALID_PARAMETER);
    QN_RegCloseKey(hKey);
    ASSERT_EQ(QN_RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\quorvane\\qel\\ZHCN_HD", KEY_ALL_ACCESS, &hKey, &uDisp), 0);
    EXPECT_EQ(uDisp, (uint32_t)REG_OPENED_EXISTING_KEY);
    // The value's name keeps the case it was first written with.
    EXPECT_EQ(QN_RegSetValueExA(hKey, "INSTALLPATH", REG_SZ, (const uint8_t*)"/g/hd2/", 8), 0);
    QN_RegCloseKey(hKey);

    std::string strText = qn::test::ReadFile(strHive);
    EXPECT_NE(strText.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Qel\\zhcn_hd]\r\n\"installPath\"=\"/g/hd2/\"\r\n\"n\"=dword:00000007\r\n"),
              std::string::npos)
        << strText;
    for (const char* csz : {"\"Quoted\"=\"a\\\\b\\\"c\"", "\"Blob\"=hex:01,02,ff", "\"Odd\"=something this layer does not know",
                            "@=\"default\"", "\"path\"=\"/opt/tmqs\""})
        EXPECT_NE(strText.find(csz), std::string::npos) << csz;
    struct stat stOld;
    ASSERT_EQ(::fstat(nOldFd, &stOld), 0);
    EXPECT_EQ(stOld.st_nlink, 0u);
    std::string strOld(strOriginal.size() + 16, '\0');
    EXPECT_EQ(::pread(nOldFd, strOld.data(), strOld.size(), 0), (ssize_t)strOriginal.size());
    strOld.resize(strOriginal.size());
    EXPECT_EQ(strOld, strOriginal);
    ::close(nOldFd);
    std::vector<std::string> files = qn::test::ListFiles(box / "registry");
    EXPECT_EQ(files, (std::vector<std::string>{"HKEY_LOCAL_MACHINE.lock", "HKEY_LOCAL_MACHINE.reg"}));

    // Deleting: a key with keys below it is refused, a leaf goes, a missing one is 2.
    struct Row {
        const char* cszKey;
        int32_t nResult;
    } del[] = {
        {"SOFTWARE\\Quorvane\\Qel", ERROR_ACCESS_DENIED},
        {"SOFTWARE\\Quorvane\\Qel\\ZHCN_HD", 0},
        {"SOFTWARE\\Quorvane\\Qel\\zhcn_hd", ERROR_FILE_NOT_FOUND},
    };
    for (const Row& r : del) EXPECT_EQ(QN_RegDeleteKeyA(HKEY_LOCAL_MACHINE, r.cszKey), r.nResult) << r.cszKey;

    // A read-only handle cannot write; a read-only hive cannot be opened for writing, even by
    // root, and stays as it was, while reading goes on.
    ASSERT_EQ(QN_RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", 0, KEY_READ, &hKey), 0);
    EXPECT_EQ(QN_RegSetValueExA(hKey, "x", REG_SZ, (const uint8_t*)"y", 2), ERROR_ACCESS_DENIED);
    QN_RegCloseKey(hKey);
    ASSERT_EQ(::chmod(strHive.c_str(), 0444), 0);
    std::string strBefore = qn::test::ReadFile(strHive);
    EXPECT_EQ(QN_RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", 0, KEY_ALL_ACCESS, &hKey),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(QN_RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", KEY_WRITE, &hKey, &uDisp), ERROR_ACCESS_DENIED);
    EXPECT_EQ(QN_RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane\\Qel\\zhcn_PakV3", 0, KEY_READ, &hKey), 0);
    QN_RegCloseKey(hKey);
    EXPECT_EQ(qn::test::ReadFile(strHive), strBefore);
}

// A file that is no registry export is never rewritten.
TEST(Registry, ForeignFileIsLeftAlone) {
    qn::test::PlatformSandbox box;
    qn::test::MakeDirs(box / "registry");
    const std::string strHive = box.HivePath("HKEY_CLASSES_ROOT");
    qn::test::WriteFile(strHive, "not a registry file\n[HKEY_CLASSES_ROOT\\x]\n");
    HKEY hKey = nullptr;
    EXPECT_EQ(QN_RegOpenKeyExA(HKEY_CLASSES_ROOT, "x", 0, KEY_READ, &hKey), ERROR_FILE_CORRUPT);
    EXPECT_EQ(QN_RegCreateKeyExA(HKEY_CLASSES_ROOT, "y", KEY_ALL_ACCESS, &hKey, nullptr), ERROR_FILE_CORRUPT);
    EXPECT_EQ(qn::test::ReadFile(strHive), "not a registry file\n[HKEY_CLASSES_ROOT\\x]\n");
}

// Writers on several threads lose none of each other's values.
TEST(Registry, ConcurrentWritersLoseNothing) {
    qn::test::PlatformSandbox box;
    HKEY hKey = nullptr;
    ASSERT_EQ(QN_RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\T", KEY_ALL_ACCESS, &hKey, nullptr), 0);
    QN_RegCloseKey(hKey);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            HKEY h = nullptr;
            ASSERT_EQ(QN_RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, KEY_ALL_ACCESS, &h), 0);
            for (int i = 0; i < 15; ++i) {
                std::string strName = "v" + std::to_string(t) + "_" + std::to_string(i);
                EXPECT_EQ(QN_RegSetValueExA(h, strName.c_str(), REG_SZ, (const uint8_t*)"1", 2), 0);
            }
            QN_RegCloseKey(h);
        });
    for (auto& th : threads) th.join();
    ASSERT_EQ(QN_RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, KEY_READ, &hKey), 0);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 15; ++i) {
            std::string strName = "v" + std::to_string(t) + "_" + std::to_string(i);
            uint32_t cb = 0;
            EXPECT_EQ(QN_RegQueryValueExA(hKey, strName.c_str(), nullptr, nullptr, &cb), 0) << strName;
        }
    QN_RegCloseKey(hKey);
}

// Special folders under the platform root; the lookup gives a path for a missing folder and
// makes it only when asked.
TEST(SpecialFolders, UnderThePlatformRoot) {
    qn::test::PlatformSandbox box;
    struct Row {
        int nCsidl;
        const char* cszRelative;
    } rows[] = {
        {CSIDL_COMMON_APPDATA, "/ProgramData"},
        {CSIDL_APPDATA, "/Users/user/AppData/Roaming"},
        {CSIDL_COMMON_DESKTOPDIRECTORY, "/Users/Public/Desktop"},
        {CSIDL_DESKTOPDIRECTORY, "/Users/user/Desktop"},
        {CSIDL_COMMON_STARTMENU, "/ProgramData/Microsoft/Windows/Start Menu"},
        {CSIDL_STARTMENU, "/Users/user/AppData/Roaming/Microsoft/Windows/Start Menu"},
    };
    for (const Row& r : rows) {
        std::string strPath;
        ASSERT_EQ(QN_GetSpecialFolderPath(r.nCsidl, &strPath, false), 1);
        EXPECT_EQ(strPath, box.root() + r.cszRelative);
        struct stat st;
        EXPECT_NE(::stat(strPath.c_str(), &st), 0);
        char sz[260];
        ASSERT_EQ(QN_SHGetSpecialFolderPathA(sz, r.nCsidl, 1), 1);
        EXPECT_EQ(sz, strPath);
        EXPECT_EQ(::stat(strPath.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    std::string strPath;
    EXPECT_EQ(QN_GetSpecialFolderPath(0x7777, &strPath, false), 0);
    wchar_t wsz[260];
    EXPECT_EQ(QN_GetWindowsDirectoryW(wsz, 260), (uint32_t)(box.root().size() + 8));
    EXPECT_EQ(QN_WideToUtf8(wsz), box.root() + "/Windows");
    EXPECT_EQ(QN_GetSystemDirectoryW(wsz, 3), (uint32_t)(box.root().size() + 17 + 1));
    EXPECT_EQ(QN_GetRegistryFolder("HKEY_CURRENT_USER"), box.root() + "/registry");
}

}  // namespace
