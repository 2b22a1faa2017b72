#include "Include/StringUtil.h"

#include <cctype>

bool EqualsNoCase(const std::string& strA, const std::string& strB) {
    if (strA.size() != strB.size())
        return false;
    for (size_t i = 0; i < strA.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(strA[i])) != std::tolower(static_cast<unsigned char>(strB[i])))
            return false;
    return true;
}

bool EndsWithNoCase(const std::string& strText, const std::string& strEnd) {
    if (strText.size() < strEnd.size())
        return false;
    return EqualsNoCase(strText.substr(strText.size() - strEnd.size()), strEnd);
}

std::string TrimBlanks(const std::string& strText) {
    size_t nStart = strText.find_first_not_of(" \t");
    if (nStart == std::string::npos)
        return std::string();
    size_t nEnd = strText.find_last_not_of(" \t");
    return strText.substr(nStart, nEnd - nStart + 1);
}

std::string ReplaceAll(std::string strText, const std::string& strWhat, const std::string& strWith) {
    if (strWhat.empty())
        return strText;
    for (size_t nPos = strText.find(strWhat); nPos != std::string::npos;
         nPos = strText.find(strWhat, nPos + strWith.size()))
        strText.replace(nPos, strWhat.size(), strWith);
    return strText;
}
