#include "support/TempFolder.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

CTempFolder::CTempFolder() {
    std::filesystem::path temp = std::filesystem::temp_directory_path();
    std::random_device random;
    // create_directory fails on a name that exists, so a folder another test made is never shared.
    for (int nTry = 0; nTry < 100; ++nTry) {
        std::filesystem::path folder = temp / ("klendo-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(folder)) {
            m_strPath = folder.string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

CTempFolder::~CTempFolder() {
    std::error_code error;
    std::filesystem::remove_all(m_strPath, error);
}

std::string CTempFolder::operator/(const std::string& strName) const {
    return m_strPath + Platform::kPathSeparator + strName;
}

std::string ReadWholeFile(const std::string& strPath) {
    std::ifstream stream(strPath, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

void WriteWholeFile(const std::string& strPath, const std::string& strContent) {
    std::ofstream stream(strPath, std::ios::binary | std::ios::trunc);
    stream << strContent;
}

std::string NativePath(std::string strPath) {
    std::replace(strPath.begin(), strPath.end(), '/', Platform::kPathSeparator);
    return strPath;
}

size_t Occurrences(const std::string& strText, const std::string& strWhat) {
    size_t nCount = 0;
    for (size_t nPos = strText.find(strWhat); nPos != std::string::npos;
         nPos = strText.find(strWhat, nPos + 1))
        ++nCount;
    return nCount;
}
