#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

CTempFolder::CTempFolder() {
    std::string strTemplate = (std::filesystem::temp_directory_path() / "klendo-test-XXXXXX").string();
    if (::mkdtemp(strTemplate.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_strPath = strTemplate;
}

CTempFolder::~CTempFolder() {
    std::error_code error;
    std::filesystem::remove_all(m_strPath, error);
}

std::string CTempFolder::operator/(const std::string& strName) const {
    return m_strPath + "/" + strName;
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

size_t Occurrences(const std::string& strText, const std::string& strWhat) {
    size_t nCount = 0;
    for (size_t nPos = strText.find(strWhat); nPos != std::string::npos;
         nPos = strText.find(strWhat, nPos + 1))
        ++nCount;
    return nCount;
}
