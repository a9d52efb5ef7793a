// The INI reader with the results of the Windows profile functions: defaults, case, blanks,
// quotes, comments, truncation and the name lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qn_profile.h"
#include "qn_test_env.h"

namespace {

const char kIni[] =
    "\xEF\xBB\xBF; a comment line\r\n"
    "orphan=before any section\r\n"
    "[DevVersionInfo]\r\n"
    "IsDevVersion=1\r\n"
    "  Spaced  =   padded value  \r\n"
    "Empty=\r\n"
    "Quoted=\"  in quotes  \"\r\n"
    "Single='x'\r\n"
    "Half=\"open\n"
    "Negative= -12abc\n"
    "Plus=+7\n"
    "Word=yes\n"
    "NoEquals\n"
    "  ;Commented=1\n"
    "Semi=a;b\n"
    "Dup=first\n"
    "Dup=second\n"
    "[ Other ]\n"
    "Key=other\n"
    "[devversioninfo]\n"
    "Late=never seen\n";

}  // namespace

TEST(PlatformProfile, StringValuesFollowTheWindowsRules) {
    qn::test::TempDir dir;
    const std::string file = dir / "a.ini";
    qn::test::WriteFile(file, kIni);
    struct Row {
        const char* section;
        const char* key;
        const char* def;
        uint32_t size;
        std::string file;
        std::string want;
        uint32_t ret;
    } rows[] = {
        {"DevVersionInfo", "IsDevVersion", "d", 64, file, "1", 1},
        {"DEVVERSIONINFO", "isdevversion", "d", 64, file, "1", 1},        // case of both names
        {"DevVersionInfo", "spaced", "d", 64, file, "padded value", 12},  // blanks trimmed
        {"DevVersionInfo", "Empty", "d", 64, file, "", 0},                // present and empty: no default
        {"DevVersionInfo", "Quoted", "d", 64, file, "  in quotes  ", 13},
        {"DevVersionInfo", "Single", "d", 64, file, "x", 1},
        {"DevVersionInfo", "Half", "d", 64, file, "\"open", 5},  // one quote stays
        {"DevVersionInfo", "Semi", "d", 64, file, "a;b", 3},     // no comments inside a line
        {"DevVersionInfo", "Commented", "d", 64, file, "d", 1},
        {"DevVersionInfo", "NoEquals", "d", 64, file, "", 0},
        {"DevVersionInfo", "Dup", "d", 64, file, "first", 5},
        {"DevVersionInfo", "Late", "d", 64, file, "d", 1},  // a second section of the name is not read
        {"Other", "Key", "d", 64, file, "other", 5},        // blanks inside the brackets
        {"None", "orphan", "d", 64, file, "d", 1},
        {"DevVersionInfo", "Missing", "dflt  ", 64, file, "dflt", 4},  // the default loses trailing blanks
        {"DevVersionInfo", "Missing", nullptr, 64, file, "", 0},
        {"DevVersionInfo", "IsDevVersion", "d", 64, dir / "absent.ini", "d", 1},
        {"DevVersionInfo", "Spaced", "d", 7, file, "padded", 6},  // cut: size - 1
        {"DevVersionInfo", "Missing", "abcdef", 4, file, "abc", 3},
        {"DevVersionInfo", "IsDevVersion", "d", 1, file, "", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.section) + "/" + r.key);
        char buf[64];
        std::memset(buf, 'Z', sizeof(buf));
        uint32_t ret = QN_GetPrivateProfileStringA(r.section, r.key, r.def, buf, r.size, r.file.c_str());
        EXPECT_EQ(ret, r.ret);
        EXPECT_EQ(std::string(buf), r.want);
    }
    char one = 'Z';
    EXPECT_EQ(QN_GetPrivateProfileStringA("DevVersionInfo", "IsDevVersion", "d", &one, 0, file.c_str()), 0u);
    EXPECT_EQ(one, 'Z');
}

TEST(PlatformProfile, IntegerValues) {
    qn::test::TempDir dir;
    const std::string file = dir / "a.ini";
    qn::test::WriteFile(file, kIni);
    // A backslash path reads the same file.
    const std::string backslashed = dir.path() + "\\a.ini";
    struct Row {
        const char* key;
        std::string file;
        int32_t def;
        uint32_t want;
    } rows[] = {
        {"IsDevVersion", file, 0, 1},
        {"IsDevVersion", backslashed, 0, 1},
        {"Negative", file, 0, (uint32_t)-12},  // sign and digits up to the first non-digit
        {"Plus", file, 0, 7},
        {"Word", file, 5, 0},    // present but no digits
        {"Empty", file, 5, 5},   // present and empty
        {"Missing", file, 9, 9},
        {"Quoted", file, 3, 0},  // quotes go first, then no digits
        {"IsDevVersion", dir / "absent.ini", -1, (uint32_t)-1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(QN_GetPrivateProfileIntA("DevVersionInfo", r.key, r.def, r.file.c_str()), r.want);
    }
}

TEST(PlatformProfile, NameListsEndInTwoZerosAndAreCutWithRoomForThem) {
    qn::test::TempDir dir;
    const std::string file = dir / "a.ini";
    qn::test::WriteFile(file, "[A]\nk1=1\nk2=2\n[Bb]\n[c]\n");
    char buf[32];
    EXPECT_EQ(QN_GetPrivateProfileStringA(nullptr, nullptr, "d", buf, sizeof(buf), file.c_str()), 7u);
    EXPECT_EQ(std::string(buf, 8), std::string("A\0Bb\0c\0\0", 8));
    EXPECT_EQ(QN_GetPrivateProfileStringA("a", nullptr, "d", buf, sizeof(buf), file.c_str()), 6u);
    EXPECT_EQ(std::string(buf, 7), std::string("k1\0k2\0\0", 7));
    std::memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(QN_GetPrivateProfileStringA(nullptr, nullptr, "d", buf, 5, file.c_str()), 3u);
    EXPECT_EQ(std::string(buf, 5), std::string("A\0B\0\0", 5));
    EXPECT_EQ(QN_GetPrivateProfileStringA("missing", nullptr, "d", buf, sizeof(buf), file.c_str()), 0u);
    EXPECT_EQ(std::string(buf, 2), std::string("\0\0", 2));
}
