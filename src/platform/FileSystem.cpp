#include "platform/FileSystem.h"

namespace Platform {

bool ReadWholeRegularFile(const std::string& strPath, std::string& strContent) {
    strContent.clear();
    return ReadRegularFile(strPath, [&](const char* pData, size_t nSize) {
        strContent.append(pData, nSize);
        return true;
    });
}

} // namespace Platform
