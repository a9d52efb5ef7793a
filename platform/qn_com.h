// COM-style result codes, GUIDs and the reference-counted interface base shared by every
// interface of the program.
#pragma once

#include <cstdint>
#include <cstring>

typedef int32_t HRESULT;

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_ABORT ((HRESULT)0x80004004u)
#define E_ACCESSDENIED ((HRESULT)0x80070005u)
#define E_NOTIMPL ((HRESULT)0x80004001u)

#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define HRESULT_FROM_WIN32(e) \
    ((HRESULT)(((uint32_t)(e)) == 0 ? 0u : (0x80070000u | (((uint32_t)(e)) & 0xFFFFu))))

struct QN_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef QN_GUID GUID;
typedef QN_GUID IID;
typedef const QN_GUID& REFIID;
typedef const QN_GUID& REFGUID;

inline bool operator==(const QN_GUID& a, const QN_GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}
inline bool operator!=(const QN_GUID& a, const QN_GUID& b) { return !(a == b); }
#define IsEqualGUID(a, b) ((a) == (b))
#define IsEqualIID(a, b) ((a) == (b))

// The three first slots of every interface. There is no virtual destructor: an object is
// destroyed only by its own Release.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

// IID of IUnknown, {00000000-0000-0000-C000-000000000046}.
inline constexpr QN_GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
