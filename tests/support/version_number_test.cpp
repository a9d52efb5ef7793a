#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QN_VersionNumber.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"

using qn::test::LogCapture;
using qn::test::WithoutLineNumbers;
using Lines = std::vector<std::string>;

namespace {

std::string FailureLine(const std::string& strCondition) {
    return "QNLOG_PROCESS_ERROR(" + strCondition + ") at line N in QN_VersionNumber::ParseString";
}

QN_VersionNumber Version(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    QN_VersionNumber v;
    v.m_uParts[0] = a;
    v.m_uParts[1] = b;
    v.m_uParts[2] = c;
    v.m_uParts[3] = d;
    return v;
}

}  // namespace

TEST(VersionNumber, ParseTable) {
    const std::string str255 = "1.2.3." + std::string(249, '4');
    const std::string str256 = "1.2.3." + std::string(250, '4');
    struct Row {
        const char* cszText;
        int nResult;
        uint32_t auParts[4];
        Lines lines;  // after the condition line, "Failed to parse ..." follows on failure
    } rows[] = {
        {"1.0.0.9", 1, {1, 0, 0, 9}, {}},
        {"1-2-3-4", 1, {1, 2, 3, 4}, {}},
        {"1,2,3,4", 1, {1, 2, 3, 4}, {}},
        {" 1.2.3.4", 1, {1, 2, 3, 4}, {}},
        {"1.2.3.4.5", 1, {1, 2, 3, 4}, {}},
        {"1.x.3.4", 1, {1, 0, 3, 4}, {}},
        {"1.2.3.", 1, {1, 2, 3, 0}, {}},
        {"-1.+2.3.4", 1, {0xFFFFFFFFu, 2, 3, 4}, {}},
        // Beyond the int range the conversion is clamped, never undefined.
        {"99999999999.2147483648.4294967295.-99999999999", 1,
         {0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, 0x80000000u}, {}},
        {str255.c_str(), 1, {1, 2, 3, 0x7FFFFFFFu}, {}},
        {"1.2.3", 0, {0, 0, 0, 0}, {FailureLine("pchPartition")}},
        {"2,0.1.1", 0, {0, 0, 0, 0}, {FailureLine("pchPartition")}},
        {"1234", 0, {0, 0, 0, 0}, {FailureLine("nRetCode && \"_GetPartitionChar()\"")}},
        {str256.c_str(), 0, {0, 0, 0, 0},
         {FailureLine("szVersionNumber[_countof(szVersionNumber) - 1] == _T('\\0')")}},
        {"", 0, {0, 0, 0, 0}, {FailureLine("cszVersionNumber[0]")}},
        {nullptr, 0, {0, 0, 0, 0}, {FailureLine("cszVersionNumber")}},
    };
    for (const Row& r : rows) {
        const std::string strWhat = r.cszText ? std::string(r.cszText).substr(0, 40) : "(null)";
        LogCapture Log;
        // Start from other values: a failure must clear every part.
        QN_VersionNumber v = Version(7, 7, 7, 7);
        EXPECT_EQ(v.ParseString(r.cszText), r.nResult) << strWhat;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(v.m_uParts[i], r.auParts[i]) << strWhat << " part " << i;
        Lines expected = r.lines;
        if (!r.nResult) {
            expected.push_back(std::string("Failed to parse the version number: ") +
                               (r.cszText ? r.cszText : "(null)"));
        }
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()), expected) << strWhat;
    }
}

TEST(VersionNumber, LessThanTable) {
    struct Row {
        QN_VersionNumber a;
        QN_VersionNumber b;
        bool bLess;
    } rows[] = {
        {Version(1, 10, 0, 0), Version(1, 9, 0, 0), false},
        {Version(1, 9, 0, 0), Version(1, 10, 0, 0), true},
        {Version(1, 2, 3, 4), Version(1, 2, 3, 4), false},
        {Version(0, 0, 0, 0x80000000u), Version(0, 0, 0, 1), false},
        {Version(0, 0, 0, 1), Version(0, 0, 0, 0x80000000u), true},
        {Version(2, 0, 0, 0), Version(1, 9, 9, 9), false},
        {Version(1, 9, 9, 9), Version(2, 0, 0, 0), true},
        {Version(1, 2, 4, 0), Version(1, 2, 3, 9), false},
        {Version(1, 2, 3, 9), Version(1, 2, 4, 0), true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.a < r.b, r.bLess) << r.a.m_uParts[0] << "." << r.a.m_uParts[1] << "."
                                      << r.a.m_uParts[2] << "." << r.a.m_uParts[3];
    }
}
