#include "QN_VersionNumber.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "QN_Log.h"

namespace {

// The runtime's decimal conversion without undefined behaviour on overflow: clamped to the
// int range, then taken as an unsigned part ("-1" gives 0xFFFFFFFF).
uint32_t ToPart(const char* cszText) {
    long lValue = std::strtol(cszText, nullptr, 10);
    if (lValue > INT_MAX) lValue = INT_MAX;
    if (lValue < INT_MIN) lValue = INT_MIN;
    return (uint32_t)(int)lValue;
}

}  // namespace

QN_VersionNumber::QN_VersionNumber() : m_uParts{0, 0, 0, 0} {}

int QN_VersionNumber::_GetPartitionChar(const char* cszText, char* pchRetPartition) {
    static const char s_szCandidates[] = ".-,";
    for (const char* pch = s_szCandidates; *pch; ++pch) {
        if (std::strchr(cszText, *pch)) {
            *pchRetPartition = *pch;
            return 1;
        }
    }
    return 0;
}

int QN_VersionNumber::ParseString(const char* cszVersionNumber) {
    int nResult = 0;
    int nRetCode = 0;
    char szVersionNumber[256];
    char chPartition = 0;
    char* pchPos = nullptr;
    char* pchPartition = nullptr;
    uint32_t auParts[4] = {0, 0, 0, 0};
    size_t uLength = 0;

    QNLOG_PROCESS_ERROR(cszVersionNumber);
    QNLOG_PROCESS_ERROR(cszVersionNumber[0]);

    // Copy at most 256 characters; a text of 256 or more leaves the last byte set.
    std::memset(szVersionNumber, 0, sizeof(szVersionNumber));
    uLength = strnlen(cszVersionNumber, sizeof(szVersionNumber));
    std::memcpy(szVersionNumber, cszVersionNumber, uLength);
    QNLOG_PROCESS_ERROR(szVersionNumber[_countof(szVersionNumber) - 1] == _T('\0'));

    nRetCode = _GetPartitionChar(szVersionNumber, &chPartition);
    QNLOG_PROCESS_ERROR(nRetCode && "_GetPartitionChar()");

    pchPos = szVersionNumber;
    for (int i = 0; i < 3; ++i) {
        pchPartition = std::strchr(pchPos, chPartition);
        QNLOG_PROCESS_ERROR(pchPartition);
        *pchPartition = '\0';
        auParts[i] = ToPart(pchPos);
        pchPos = pchPartition + 1;
    }
    auParts[3] = ToPart(pchPos);

    std::memcpy(m_uParts, auParts, sizeof(m_uParts));
    nResult = 1;
Exit0:
    if (!nResult) {
        std::memset(m_uParts, 0, sizeof(m_uParts));
        QNLog_Printf(7, "Failed to parse the version number: %s",
                     cszVersionNumber ? cszVersionNumber : "(null)");
    }
    return nResult;
}

bool QN_VersionNumber::operator<(const QN_VersionNumber& other) const {
    for (int i = 0; i < 4; ++i) {
        if (m_uParts[i] != other.m_uParts[i]) return m_uParts[i] < other.m_uParts[i];
    }
    return false;
}
