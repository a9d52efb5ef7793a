#include "KClientIdentity.h"

#include <cstring>
#include <mutex>
#include <string>

#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_uuid.h"

namespace {

struct IdentityStore {
    std::mutex lock;
    QN_GUID uuid{};
    char szText[37] = "00000000-0000-0000-0000-000000000000";
};

IdentityStore& Store() {
    static IdentityStore* s_pStore = new IdentityStore;  // never destroyed
    return *s_pStore;
}

QN_GUID FallbackUuid(uint32_t uError) {
    QN_GUID uuid{};
    uuid.Data4[4] = (uint8_t)(uError >> 24);
    uuid.Data4[5] = (uint8_t)(uError >> 16);
    uuid.Data4[6] = (uint8_t)(uError >> 8);
    uuid.Data4[7] = (uint8_t)uError;
    return uuid;
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
void PutU16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
uint32_t GetU32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t GetU16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

void EncodeRecord(uint64_t ullCreation, const QN_GUID& uuid, uint8_t abRet[24]) {
    PutU32(abRet, (uint32_t)ullCreation);
    PutU32(abRet + 4, (uint32_t)(ullCreation >> 32));
    PutU32(abRet + 8, uuid.Data1);
    PutU16(abRet + 12, uuid.Data2);
    PutU16(abRet + 14, uuid.Data3);
    std::memcpy(abRet + 16, uuid.Data4, 8);
}

QN_GUID DecodeUuid(const uint8_t ab[24]) {
    QN_GUID uuid;
    uuid.Data1 = GetU32(ab + 8);
    uuid.Data2 = GetU16(ab + 12);
    uuid.Data3 = GetU16(ab + 14);
    std::memcpy(uuid.Data4, ab + 16, 8);
    return uuid;
}

QN_GUID LoadOrCreate() {
    std::string sFolder = QN_GetAppDataFolder();
    if (sFolder.empty()) return FallbackUuid(QN_GetLastError() ? QN_GetLastError() : ERROR_PATH_NOT_FOUND);
    std::string sPath = sFolder + "/" + KCLIENT_IDENTITY_FILE_NAME;
    bool bExisted = false;
    // Only a regular file at the name itself: a symbolic link there is never followed, so the
    // file it points to is neither read nor truncated nor overwritten.
    int nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_NONE,
                          QN_FILE_OPEN_ALWAYS, &bExisted, QN_FILE_OPTION_REGULAR_NO_LINK);
    if (nFd < 0) return FallbackUuid(QN_GetLastError());

    QN_GUID uuid{};
    uint64_t ullCreation = 0;
    uint8_t abRecord[24];
    uint32_t uCount = 0;
    bool bValid = false;
    if (!QN_FileGetCreationTime(nFd, &ullCreation)) {
        uint32_t uError = QN_GetLastError();
        QN_FileClose(nFd);
        return FallbackUuid(uError);
    }
    if (bExisted) {
        if (QN_FileReadAt(nFd, 0, abRecord, sizeof(abRecord), &uCount) && uCount == sizeof(abRecord) &&
            GetU32(abRecord) == (uint32_t)ullCreation && GetU32(abRecord + 4) == (uint32_t)(ullCreation >> 32)) {
            uuid = DecodeUuid(abRecord);
            bValid = true;
        } else {
            QN_FileSetSize(nFd, 0);
        }
    }
    if (!bValid) {
        if (!QN_UuidCreate(&uuid)) {
            uuid = FallbackUuid(QN_GetLastError());
        } else {
            EncodeRecord(ullCreation, uuid, abRecord);
            if (!QN_FileWriteAt(nFd, 0, abRecord, sizeof(abRecord), &uCount) || uCount != sizeof(abRecord)) {
                uint32_t uError = QN_GetLastError();
                uuid = FallbackUuid(uError ? uError : ERROR_WRITE_FAULT);
            }
        }
    }
    QN_FileClose(nFd);
    return uuid;
}

}  // namespace

void loadClientIdentity() {
    QN_GUID uuid = LoadOrCreate();
    IdentityStore& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    store.uuid = uuid;
    QN_UuidToString(uuid, store.szText);
}

QN_GUID KGetClientUuid() {
    IdentityStore& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.uuid;
}

void KGetClientUuidText(char szRetText[37]) {
    IdentityStore& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    std::memcpy(szRetText, store.szText, 37);
}
