// Four-part version numbers ("1.0.0.9", "1-2-3-4", "1,2,3,4") and their order.
#pragma once

#include <cstdint>

class QN_VersionNumber {
public:
    QN_VersionNumber();

    // Reads four decimal parts split by the first of '.', '-', ',' that occurs in the text;
    // each part is read as the runtime's text-to-integer conversion does (leading blanks and
    // a sign accepted, stops at the first non-digit, no digit gives 0). A fourth part runs to
    // the first non-digit. On failure all parts are 0. 1 or 0.
    int ParseString(const char* cszVersionNumber);

    // Part by part, as unsigned numbers; the first unequal part decides.
    bool operator<(const QN_VersionNumber& other) const;

    // Most significant first: 1.0.0.9 gives 1, 0, 0, 9.
    uint32_t m_uParts[4];

private:
    static int _GetPartitionChar(const char* cszText, char* pchRetPartition);
};
