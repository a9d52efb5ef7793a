#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "QN_Log.h"
#include "qn_log_capture.h"

using qn::test::LogCapture;

// Small functions of every shape whose failure lines must carry the qualified name. Each one
// records the line of its check next to it.
int g_nCheckLine = 0;
int g_nConstructorLine = 0;
int g_nDestructorLine = 0;

int QN_GetClientMPakFlag(int nRetCode) {
    int nResult = 0;
    g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(nRetCode && "X()");
    nResult = 1;
Exit0:
    return nResult;
}

template <typename T>
T QN_Max(T a, T b) {
    T tResult = a;
    g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(a > b);
    tResult = b;
Exit0:
    return tResult;
}

enum QN_RPS_STATUS { QN_RPS_NONE = 0, QN_RPS_ERROR_ABROT = 6 };

class QN_RepairClientResource {
public:
    explicit QN_RepairClientResource(int nValue = 0) : m_nValue(nValue) {
        g_nConstructorLine = __LINE__; QNLOG_PROCESS_ERROR(m_nValue != 7);
    Exit0:
        return;
    }
    ~QN_RepairClientResource() {
        g_nDestructorLine = __LINE__; QNLOG_PROCESS_ERROR(m_nValue != 7);
    Exit0:
        return;
    }
    int Init(int nValue) {
        int nResult = 0;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(nValue > 0);
        nResult = 1;
    Exit0:
        return nResult;
    }
    static int Create(const char* cszName) {
        int nResult = 0;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(cszName);
        nResult = 1;
    Exit0:
        return nResult;
    }
    bool operator<(const QN_RepairClientResource& rhs) const {
        bool bResult = false;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(m_nValue < rhs.m_nValue);
        bResult = true;
    Exit0:
        return bResult;
    }
    int operator()(int nValue) const {
        int nResult = 0;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(nValue != 0);
        nResult = 1;
    Exit0:
        return nResult;
    }
    int RunLambda() {
        auto Check = [](int nValue) {
            int nResult = 0;
            g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(nValue == 5);
            nResult = 1;
        Exit0:
            return nResult;
        };
        return Check(4);
    }
    int CheckStatus() {
        int nResult = 0;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);
        nResult = 1;
    Exit0:
        return nResult;
    }
    HRESULT ComStep(HRESULT hrStep) {
        HRESULT hrResult = E_FAIL;
        g_nCheckLine = __LINE__; QNLOG_COM_PROCESS_ERROR(hrStep);
        hrResult = S_OK;
    Exit0:
        return hrResult;
    }
    int CheckWithText(int nFd) {
        int nResult = 0;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR_TEXT(nFd >= 0, "hFile != INVALID_HANDLE_VALUE");
        nResult = 1;
    Exit0:
        return nResult;
    }
    int CheckAndGoOn(int nValue) {
        int nSteps = 0;
        g_nCheckLine = __LINE__; QNLOG_CHECK_ERROR(nValue == 1);
        nSteps = 1;
        return nSteps;
    }

private:
    int m_nValue = 0;
    QN_RPS_STATUS m_eStatusCode = QN_RPS_ERROR_ABROT;
};

template <typename T>
class QN_Holder {
public:
    int Get(T value) {
        int nResult = 0;
        g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(value != T());
        nResult = 1;
    Exit0:
        return nResult;
    }
};

namespace qn::probe {
int Parse(const char* csz) {
    int nResult = 0;
    g_nCheckLine = __LINE__; QNLOG_PROCESS_ERROR(csz && csz[0]);
    nResult = 1;
Exit0:
    return nResult;
}
}  // namespace qn::probe

namespace {

struct CheckCase {
    const char* cszWhat;
    std::function<void()> fnRun;  // makes one check fail
    std::string strCheck;         // the text before " at line"
    std::string strFunction;      // the name after " in "
};

TEST(QNLogChecks, WriteTheExactLineWithTheQualifiedName) {
    const std::vector<CheckCase> cases = {
        {"free function", [] { EXPECT_EQ(QN_GetClientMPakFlag(0), 0); },
         "QNLOG_PROCESS_ERROR(nRetCode && \"X()\")", "QN_GetClientMPakFlag"},
        {"member", [] { QN_RepairClientResource r; EXPECT_EQ(r.Init(0), 0); },
         "QNLOG_PROCESS_ERROR(nValue > 0)", "QN_RepairClientResource::Init"},
        {"static member", [] { EXPECT_EQ(QN_RepairClientResource::Create(nullptr), 0); },
         "QNLOG_PROCESS_ERROR(cszName)", "QN_RepairClientResource::Create"},
        {"operator<",
         [] {
             QN_RepairClientResource a, b;
             EXPECT_FALSE(a < b);
         },
         "QNLOG_PROCESS_ERROR(m_nValue < rhs.m_nValue)", "QN_RepairClientResource::operator<"},
        {"operator()", [] { QN_RepairClientResource r; EXPECT_EQ(r(0), 0); },
         "QNLOG_PROCESS_ERROR(nValue != 0)", "QN_RepairClientResource::operator()"},
        {"lambda", [] { QN_RepairClientResource r; EXPECT_EQ(r.RunLambda(), 0); },
         "QNLOG_PROCESS_ERROR(nValue == 5)", "QN_RepairClientResource::RunLambda"},
        {"template function", [] { EXPECT_EQ(QN_Max(1, 2), 1); }, "QNLOG_PROCESS_ERROR(a > b)",
         "QN_Max"},
        {"member of a class template", [] { QN_Holder<int> h; EXPECT_EQ(h.Get(0), 0); },
         "QNLOG_PROCESS_ERROR(value != T())", "QN_Holder::Get"},
        {"namespaced", [] { EXPECT_EQ(qn::probe::Parse(""), 0); },
         "QNLOG_PROCESS_ERROR(csz && csz[0])", "qn::probe::Parse"},
        {"enum constant keeps its name",
         [] { QN_RepairClientResource r; EXPECT_EQ(r.CheckStatus(), 0); },
         "QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT)",
         "QN_RepairClientResource::CheckStatus"},
        {"HRESULT in hexadecimal",
         [] { QN_RepairClientResource r; EXPECT_EQ(r.ComStep(E_FAIL), E_FAIL); },
         "QNLOG_COM_PROCESS_ERROR(0x80004005)", "QN_RepairClientResource::ComStep"},
        {"check with its own text",
         [] { QN_RepairClientResource r; EXPECT_EQ(r.CheckWithText(-1), 0); },
         "QNLOG_PROCESS_ERROR(hFile != INVALID_HANDLE_VALUE)",
         "QN_RepairClientResource::CheckWithText"},
        {"check that carries on",
         [] { QN_RepairClientResource r; EXPECT_EQ(r.CheckAndGoOn(0), 1); },
         "QNLOG_CHECK_ERROR(nValue == 1)", "QN_RepairClientResource::CheckAndGoOn"},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.cszWhat);
        LogCapture Log;
        c.fnRun();
        std::vector<std::string> lines = Log.Lines();
        ASSERT_EQ(lines.size(), 1u);
        std::string strExpected = c.strCheck + " at line " + std::to_string(g_nCheckLine) +
                                  " in " + c.strFunction + "\n";
        ASSERT_GT(lines[0].size(), strExpected.size());
        EXPECT_EQ(lines[0].substr(lines[0].size() - strExpected.size()), strExpected);
        EXPECT_NE(lines[0].find("<DEBUG:"), std::string::npos) << "checks log at level 7";
    }
}

TEST(QNLogChecks, ConstructorAndDestructorNames) {
    LogCapture Log;
    { QN_RepairClientResource r(7); }
    const int nConstructorLine = g_nConstructorLine;
    const int nDestructorLine = g_nDestructorLine;
    std::vector<std::string> messages = Log.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "QNLOG_PROCESS_ERROR(m_nValue != 7) at line " +
                               std::to_string(nConstructorLine) +
                               " in QN_RepairClientResource::QN_RepairClientResource");
    EXPECT_EQ(messages[1], "QNLOG_PROCESS_ERROR(m_nValue != 7) at line " +
                               std::to_string(nDestructorLine) +
                               " in QN_RepairClientResource::~QN_RepairClientResource");
}

TEST(QNLogChecks, PassingChecksWriteNothing) {
    LogCapture Log;
    QN_RepairClientResource r;
    EXPECT_EQ(QN_GetClientMPakFlag(1), 1);
    EXPECT_EQ(r.Init(3), 1);
    EXPECT_EQ(r.ComStep(S_OK), S_OK);
    EXPECT_EQ(r.ComStep(1), S_OK) << "S_FALSE and other positive results pass";
    EXPECT_EQ(r.CheckAndGoOn(1), 1);
    EXPECT_TRUE(Log.Lines().empty());
}

struct NameCase {
    const char* cszPretty;
    const char* cszName;
};

// Forms that are awkward to produce from a real function.
TEST(QNQualifiedFunctionName, CutsCompilerNames) {
    const std::vector<NameCase> cases = {
        {"int QN_GetClientMPakFlag(const char*)", "QN_GetClientMPakFlag"},
        {"static int QN_A::Create(const char*)", "QN_A::Create"},
        {"QN_A::QN_A()", "QN_A::QN_A"},
        {"QN_A::~QN_A()", "QN_A::~QN_A"},
        {"const char* QN_A::Name() const", "QN_A::Name"},
        {"std::map<int, std::vector<int> > QN_A::Table(int)", "QN_A::Table"},
        {"bool QN_VersionNumber::operator<(const QN_VersionNumber&) const",
         "QN_VersionNumber::operator<"},
        {"std::ostream& operator<<(std::ostream&, const QN_A&)", "operator<<"},
        {"bool operator< <int>(const QN_B<int>&, const QN_B<int>&)", "operator<"},
        {"int QN_A::operator()(int) const", "QN_A::operator()"},
        {"QN_A& QN_A::operator=(const QN_A&)", "QN_A::operator="},
        {"int& QN_A::operator[](size_t)", "QN_A::operator[]"},
        {"QN_A::operator bool() const", "QN_A::operator bool"},
        {"static void* QN_A::operator new(size_t)", "QN_A::operator new"},
        {"T QN_Max(T, T) [with T = int]", "QN_Max"},
        {"void QN_B<T>::Set(T) [with T = int]", "QN_B::Set"},
        {"QN_A::Run()::<lambda(int)>", "QN_A::Run"},
        {"int qn::probe::Parse(const char*)", "qn::probe::Parse"},
        {"int {anonymous}::Helper()", "{anonymous}::Helper"},
        {"std::string QN_A::Text[abi:cxx11]() const", "QN_A::Text"},
        {"void (* QN_GetHandler(int))(int)", "QN_GetHandler"},
        {"int my_operator(int)", "my_operator"},
        {"no parameters here", "no parameters here"},
        {"", ""},
    };
    for (const NameCase& c : cases) {
        EXPECT_STREQ(QN_QualifiedFunctionName(c.cszPretty).c_str(), c.cszName) << c.cszPretty;
    }
    EXPECT_STREQ(QN_QualifiedFunctionName(nullptr).c_str(), "");
}

TEST(QNQualifiedFunctionName, CutsAnOverlongName) {
    std::string strLong = "int " + std::string(600, 'n') + "(int)";
    std::string strName = QN_QualifiedFunctionName(strLong.c_str()).c_str();
    EXPECT_EQ(strName, std::string(255, 'n'));
}

}  // namespace
