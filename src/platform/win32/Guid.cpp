#include "platform/Guid.h"

#include <windows.h>

#include <objbase.h>

#include <cstdio>

namespace Platform {

bool CreateGuid(std::string& strGuid) {
    GUID guid;
    HRESULT hResult = ::CoCreateGuid(&guid);
    if (FAILED(hResult)) {
        ::SetLastError(static_cast<DWORD>(hResult));
        return false;
    }
    char szText[37];
    std::snprintf(szText, sizeof(szText), "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                  guid.Data4[7]);
    strGuid.assign(szText, 36);
    return true;
}

} // namespace Platform
