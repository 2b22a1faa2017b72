#include "config/IniFile.h"

#include "Include/StringUtil.h"
#include "platform/FileSystem.h"

#include <cctype>
#include <cstdint>
#include <sstream>

namespace {

constexpr size_t kMaxValueLength = 1023;
// Longer lines are cut here while reading, so that a hostile file cannot exhaust memory.
constexpr size_t kMaxLineLength = 65536;
// A settings file for a thousand hot folders takes well under a megabyte; anything larger is not one.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

std::string RemoveSurroundingQuotes(const std::string& strValue) {
    if (strValue.size() >= 2 && (strValue.front() == '"' || strValue.front() == '\'') &&
        strValue.back() == strValue.front())
        return strValue.substr(1, strValue.size() - 2);
    return strValue;
}

// One line without its LF or CRLF, cut at kMaxLineLength; false at the end of the file.
bool ReadLine(std::istream& stream, std::string& strLine) {
    strLine.clear();
    std::streambuf* pBuffer = stream.rdbuf();
    bool bReadAny = false;
    for (int c = pBuffer->sbumpc(); c != std::char_traits<char>::eof(); c = pBuffer->sbumpc()) {
        bReadAny = true;
        if (c == '\n')
            break;
        if (strLine.size() < kMaxLineLength)
            strLine.push_back(static_cast<char>(c));
    }
    if (!strLine.empty() && strLine.back() == '\r')
        strLine.pop_back();
    return bReadAny;
}

// The name between "[" and "]" (or the line's end), trimmed.
std::string SectionName(const std::string& strTrimmed) {
    size_t nClose = strTrimmed.find(']');
    return TrimBlanks(strTrimmed.substr(1, nClose == std::string::npos ? std::string::npos : nClose - 1));
}

void SkipByteOrderMark(std::istream& stream) {
    char bom[3] = {0, 0, 0};
    stream.read(bom, 3);
    if (stream.gcount() == 3 && bom[0] == '\xEF' && bom[1] == '\xBB' && bom[2] == '\xBF')
        return;
    stream.clear();
    stream.seekg(0);
}

// The whole file, when it is a regular file no larger than kMaxFileSize.
bool ReadSettingsFile(const std::string& strPath, std::string& strContent) {
    strContent.clear();
    bool bTooLarge = false;
    bool bRead = Platform::ReadRegularFile(strPath, [&](const char* pData, size_t nSize) {
        bTooLarge = strContent.size() + nSize > kMaxFileSize;
        if (!bTooLarge)
            strContent.append(pData, nSize);
        return !bTooLarge;
    });
    return bRead && !bTooLarge;
}

} // namespace

CIniFile::CIniFile(std::string strPath) : m_strPath(std::move(strPath)) {}

CIniFile::~CIniFile() = default;

CIniFile CIniFile::FromContent(std::string strContent) {
    CIniFile file(std::string{});
    file.m_bFromContent = true;
    file.m_strContent = std::move(strContent);
    return file;
}

bool CIniFile::ForEachLine(const std::function<bool(const std::string&)>& onLine) const {
    std::istringstream stream;
    if (m_bFromContent) {
        stream.str(m_strContent);
    } else {
        std::string strContent;
        if (!ReadSettingsFile(m_strPath, strContent))
            return false;
        stream.str(std::move(strContent));
    }
    SkipByteOrderMark(stream);
    std::string strLine;
    while (ReadLine(stream, strLine)) {
        std::string strTrimmed = TrimBlanks(strLine);
        if (!strTrimmed.empty() && strTrimmed.front() != ';' && !onLine(strTrimmed))
            break;
    }
    return true;
}

bool CIniFile::FindValue(const std::string& strSection, const std::string& strKey,
                         std::string& strValue) const {
    const std::string strWantedSection = TrimBlanks(strSection);
    const std::string strWantedKey = TrimBlanks(strKey);
    bool bInSection = false;
    bool bSectionSeen = false;
    bool bFound = false;
    ForEachLine([&](const std::string& strTrimmed) {
        if (strTrimmed.front() == '[') {
            if (bInSection)
                return false;
            bInSection = !bSectionSeen && EqualsNoCase(SectionName(strTrimmed), strWantedSection);
            bSectionSeen = bSectionSeen || bInSection;
            return true;
        }
        size_t nEquals = strTrimmed.find('=');
        if (!bInSection || nEquals == std::string::npos ||
            !EqualsNoCase(TrimBlanks(strTrimmed.substr(0, nEquals)), strWantedKey))
            return true;
        strValue = RemoveSurroundingQuotes(TrimBlanks(strTrimmed.substr(nEquals + 1)));
        if (strValue.size() > kMaxValueLength)
            strValue.resize(kMaxValueLength);
        bFound = true;
        return false;
    });
    return bFound;
}

std::vector<CIniFile::SSection> CIniFile::ListSections() const {
    std::vector<SSection> sections;
    ForEachLine([&](const std::string& strTrimmed) {
        if (strTrimmed.front() == '[') {
            sections.push_back(SSection{SectionName(strTrimmed), {}});
            return true;
        }
        size_t nEquals = strTrimmed.find('=');
        if (!sections.empty() && nEquals != std::string::npos)
            sections.back().keys.push_back(TrimBlanks(strTrimmed.substr(0, nEquals)));
        return true;
    });
    return sections;
}

std::string CIniFile::GetString(const std::string& strSection, const std::string& strKey,
                                const std::string& strDefault) const {
    try {
        std::string strValue;
        if (FindValue(strSection, strKey, strValue))
            return strValue;
        return strDefault.size() > kMaxValueLength ? strDefault.substr(0, kMaxValueLength) : strDefault;
    } catch (...) {
        return std::string();
    }
}

int CIniFile::GetInt(const std::string& strSection, const std::string& strKey, int nDefault) const {
    try {
        std::string strValue;
        if (!FindValue(strSection, strKey, strValue) || strValue.empty())
            return nDefault;
        return ParseProfileInt(strValue);
    } catch (...) {
        return 0;
    }
}

namespace {

// GetPrivateProfileIntA's reading of strValue; bExact false when it wrapped around.
int ParseProfileNumber(const std::string& strValue, bool& bExact) {
    bExact = true;
    size_t nPos = strValue.find_first_not_of(" \t");
    if (nPos == std::string::npos)
        return 0;
    bool bNegative = false;
    if (strValue[nPos] == '-' || strValue[nPos] == '+') {
        bNegative = strValue[nPos] == '-';
        ++nPos;
    }
    unsigned nBase = 10;
    if (nPos + 1 < strValue.size() && strValue[nPos] == '0' &&
        (strValue[nPos + 1] == 'x' || strValue[nPos + 1] == 'X')) {
        nBase = 16;
        nPos += 2;
    }
    // Unsigned arithmetic wraps like the Windows reader instead of overflowing; the wide copy tells
    // whether it did.
    uint32_t nResult = 0;
    uint64_t nWide = 0;
    const uint64_t nLargest = bNegative ? 0x80000000u : 0x7FFFFFFFu;
    for (; nPos < strValue.size(); ++nPos) {
        int c = std::tolower(static_cast<unsigned char>(strValue[nPos]));
        unsigned nDigit;
        if (c >= '0' && c <= '9')
            nDigit = static_cast<unsigned>(c - '0');
        else if (nBase == 16 && c >= 'a' && c <= 'f')
            nDigit = static_cast<unsigned>(c - 'a' + 10);
        else
            break;
        nResult = nResult * nBase + nDigit;
        if (bExact)
            nWide = nWide * nBase + nDigit;
        bExact = bExact && nWide <= nLargest;
    }
    if (bNegative)
        nResult = 0u - nResult;
    return static_cast<int>(nResult);
}

} // namespace

int CIniFile::ParseProfileInt(const std::string& strValue) {
    bool bExact = true;
    return ParseProfileNumber(strValue, bExact);
}

bool CIniFile::IsProfileIntExact(const std::string& strValue) {
    bool bExact = true;
    ParseProfileNumber(strValue, bExact);
    return bExact;
}

bool CIniFile::CanBeRead() const {
    std::string strContent;
    return m_bFromContent || ReadSettingsFile(m_strPath, strContent);
}
