#include "qn_uuid.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qn_platform.h"
#include "qn_string.h"

int QN_UuidCreate(QN_GUID* pRetUuid) {
    uint8_t abBytes[16];
    int nFd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (nFd < 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    size_t uDone = 0;
    while (uDone < sizeof(abBytes)) {
        ssize_t n = ::read(nFd, abBytes + uDone, sizeof(abBytes) - uDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            QN_SetLastErrorFromErrno();
            ::close(nFd);
            return 0;
        }
        uDone += (size_t)n;
    }
    ::close(nFd);
    std::memcpy(&pRetUuid->Data1, abBytes, 4);
    std::memcpy(&pRetUuid->Data2, abBytes + 4, 2);
    std::memcpy(&pRetUuid->Data3, abBytes + 6, 2);
    std::memcpy(pRetUuid->Data4, abBytes + 8, 8);
    pRetUuid->Data3 = (uint16_t)((pRetUuid->Data3 & 0x0FFF) | 0x4000);
    pRetUuid->Data4[0] = (uint8_t)((pRetUuid->Data4[0] & 0x3F) | 0x80);
    return 1;
}

void QN_UuidToString(const QN_GUID& u, char szRetText[37]) {
    QN_snprintf(szRetText, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", u.Data1, u.Data2, u.Data3,
                u.Data4[0], u.Data4[1], u.Data4[2], u.Data4[3], u.Data4[4], u.Data4[5], u.Data4[6], u.Data4[7]);
}
