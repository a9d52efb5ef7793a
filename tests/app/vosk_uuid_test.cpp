#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "QN_VoskUUID.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_profile.h"
#include "qn_registry.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

const char kKey[] =
    "CLSID\\{4C2E8A17-93B5-4d61-B8F2-6A0D51E7C93B}\\Implemented Categories\\{71D3B0C5-2A86-4c3e-9F47-E2B86A05D194}";
const char kNone[] = "<none>";
const std::string A = "0123456789abcdef0123456789abcdef";
const std::string B = "fedcba9876543210fedcba9876543210";

// A platform root with the class hive and, when asked, the folder of "hg.dat".
struct IdentifierFixture {
    qn::test::PlatformSandbox sandbox;
    std::string strFolder = sandbox / "ProgramData/Quorvane/YRT";
    std::string strFile = strFolder + "/hg.dat";

    // Values of the key in the hive; kNone leaves one out, nullptr writes no hive at all.
    void Registry(const std::vector<std::pair<const char*, std::string>>& values) {
        std::string strBody = std::string("[HKEY_CLASSES_ROOT\\") + kKey + "]\r\n";
        for (const auto& v : values) {
            if (v.second != kNone) strBody += std::string("\"") + v.first + "\"=\"" + v.second + "\"\r\n";
        }
        sandbox.WriteHive("HKEY_CLASSES_ROOT", strBody);
    }
    void File(const std::string& strText) {
        qn::test::MakeDirs(strFolder);
        qn::test::WriteFile(strFile, strText);
    }
    std::string RegistryValue(const char* cszEntry) const {
        HKEY hKey = nullptr;
        if (QN_RegOpenKeyExA(HKEY_CLASSES_ROOT, kKey, 0, KEY_READ, &hKey) != 0) return kNone;
        char sz[300] = {};
        uint32_t cb = sizeof(sz), uType = 0;
        int32_t nStatus = QN_RegQueryValueExA(hKey, cszEntry, &uType, (uint8_t*)sz, &cb);
        QN_RegCloseKey(hKey);
        return nStatus == 0 ? std::string(sz) : kNone;
    }
    std::string FileValue(const char* cszEntry) const {
        char sz[300] = {};
        QN_GetPrivateProfileStringA("id", cszEntry, kNone, sz, sizeof(sz), strFile.c_str());
        return sz;
    }
    std::string Fetch() const {
        char sz[64];
        std::memset(sz, 'x', sizeof(sz));
        if (!QN_GetVoskUUIDEx(sz)) return "<failed>";
        return sz;
    }
};

bool IsIdentifier(const std::string& s) { return std::regex_match(s, std::regex("[0-9a-f]{32}")); }

TEST(MachineIdentifier, Stores) {
    const std::string str33 = A + "0";
    const std::string str31 = A.substr(0, 31);
    struct Row {
        const char* cszName;
        std::string strRegistry;  // kNone: no value
        std::string strFile;      // kNone: no value; "<no folder>": the folder is missing
        bool bReadOnlyHive;
        std::string strReported;  // "<new>": a new identifier
        std::string strRegistryAfter;  // "<new>": the reported one
        std::string strFileAfter;
    } rows[] = {
        {"both the same", A, A, false, A, A, A},
        {"they differ: the registry wins, nothing changes", A, B, false, A, A, B},
        {"only the registry", A, kNone, false, A, A, A},
        {"only the file", kNone, B, false, B, B, B},
        {"neither", kNone, kNone, false, "<new>", "<new>", "<new>"},
        {"only the registry, read-only hive", A, kNone, true, A, A, A},
        {"only the file, read-only hive", kNone, B, true, B, kNone, B},
        {"an empty registry value does not outweigh the file", "", B, false, B, B, B},
        {"33 characters in both", str33, str33, false, "<new>", "<new>", "<new>"},
        {"31 characters in both", str31, str31, false, "<new>", "<new>", "<new>"},
        {"only the registry, no folder for the file", A, "<no folder>", false, A, A, "<no folder>"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        IdentifierFixture f;
        qn::test::LogCapture log;
        f.Registry({{"idex", r.strRegistry}, {"idno", "7"}});
        if (r.bReadOnlyHive) {
            ASSERT_EQ(::chmod(f.sandbox.HivePath("HKEY_CLASSES_ROOT").c_str(), 0444), 0);
        }
        if (r.strFile != "<no folder>") f.File(r.strFile == kNone ? "[id]\r\n" : "[id]\r\nidex=" + r.strFile + "\r\n");
        const std::string strReported = f.Fetch();
        if (r.strReported == "<new>") {
            EXPECT_TRUE(IsIdentifier(strReported)) << strReported;
            EXPECT_NE(strReported, r.strRegistry);
        } else {
            EXPECT_EQ(strReported, r.strReported);
        }
        auto expect = [&](const std::string& strWanted) { return strWanted == "<new>" ? strReported : strWanted; };
        EXPECT_EQ(f.RegistryValue("idex"), expect(r.strRegistryAfter));
        if (r.strFileAfter == "<no folder>") {
            EXPECT_FALSE(qn::test::FileExists(f.strFolder));
        } else {
            EXPECT_EQ(f.FileValue("idex"), expect(r.strFileAfter));
        }
        // The shared key is never deleted: its other values stay.
        EXPECT_EQ(f.RegistryValue("idno"), "7");
        // The next call reports the same.
        EXPECT_EQ(f.Fetch(), strReported);
        EXPECT_TRUE(log.Messages().empty());
    }
}

// Stores that cannot be read count as missing and are never damaged.
TEST(MachineIdentifier, UnreadableStores) {
    {
        SCOPED_TRACE("a hive that is no registry file, the file holds the identifier");
        IdentifierFixture f;
        qn::test::MakeDirs(f.sandbox / "registry");
        qn::test::WriteFile(f.sandbox.HivePath("HKEY_CLASSES_ROOT"), "not a registry file\n");
        f.File("[id]\r\nidex=" + B + "\r\n");
        EXPECT_EQ(f.Fetch(), B);
        EXPECT_EQ(qn::test::ReadFile(f.sandbox.HivePath("HKEY_CLASSES_ROOT")), "not a registry file\n");
        EXPECT_EQ(f.FileValue("idex"), B);
    }
    {
        SCOPED_TRACE("a folder where the file should be, the registry holds the identifier");
        IdentifierFixture f;
        f.Registry({{"idex", A}});
        qn::test::MakeDirs(f.strFile);
        EXPECT_EQ(f.Fetch(), A);
        EXPECT_EQ(f.RegistryValue("idex"), A);
    }
    {
        SCOPED_TRACE("nothing readable or writable: a new identifier each call");
        IdentifierFixture f;
        f.Registry({});
        ASSERT_EQ(::chmod(f.sandbox.HivePath("HKEY_CLASSES_ROOT").c_str(), 0444), 0);
        const std::string strFirst = f.Fetch();
        const std::string strSecond = f.Fetch();
        EXPECT_TRUE(IsIdentifier(strFirst)) << strFirst;
        EXPECT_TRUE(IsIdentifier(strSecond)) << strSecond;
        EXPECT_NE(strFirst, strSecond);
        EXPECT_EQ(f.RegistryValue("idex"), kNone);
        EXPECT_FALSE(qn::test::FileExists(f.strFolder));
    }
}

TEST(MachineIdentifier, Reset) {
    struct Row {
        const char* cszNumber;
        bool bReset;
    } rows[] = {{"-1", true}, {"abc", false}, {"0", false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszNumber);
        IdentifierFixture f;
        f.Registry({{"idex", A}, {"idno", r.cszNumber}});
        f.File("[id]\r\nidex=" + A + "\r\nidno=" + r.cszNumber + "\r\n");
        const std::string strReported = f.Fetch();
        if (r.bReset) {
            EXPECT_TRUE(IsIdentifier(strReported));
            EXPECT_NE(strReported, A);
            EXPECT_EQ(f.RegistryValue("idno"), "0");
            EXPECT_EQ(f.FileValue("idno"), "0");
        } else {
            EXPECT_EQ(strReported, A);
            EXPECT_EQ(f.RegistryValue("idno"), r.cszNumber);
        }
        EXPECT_EQ(f.RegistryValue("idex"), strReported);
        EXPECT_EQ(f.FileValue("idex"), strReported);
        EXPECT_EQ(f.Fetch(), strReported);
    }
}

TEST(MachineIdentifier, NewIdentifiers) {
    for (const char* cszName : {"", "qel-host"}) {
        SCOPED_TRACE(cszName);
        IdentifierFixture f;
        qn::testing::SetComputerName(cszName);
        const std::string strReported = f.Fetch();
        qn::testing::SetComputerName(nullptr);
        EXPECT_TRUE(IsIdentifier(strReported)) << strReported;
    }
    qn::test::LogCapture log;
    EXPECT_EQ(QN_GetVoskUUIDEx(nullptr), 0);
    EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
              (std::vector<std::string>{"QNLOG_PROCESS_ERROR(pszRetBuffer) at line N in QN_GetVoskUUIDEx"}));
}

}  // namespace
