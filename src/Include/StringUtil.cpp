#include "Include/StringUtil.h"

#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdlib>

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

int ParseLeadingInt(const std::string& strText) {
    const char* szStart = strText.c_str();
    while (std::isspace(static_cast<unsigned char>(*szStart)))
        ++szStart;
    const char* szDigits = szStart + ((*szStart == '+' || *szStart == '-') ? 1 : 0);
    if (!std::isdigit(static_cast<unsigned char>(*szDigits)))
        return 0;
    long long nValue = std::strtoll(szStart, nullptr, 10);
    if (nValue > INT_MAX)
        return INT_MAX;
    if (nValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(nValue);
}

namespace {

// Length of the decimal number (sign, digits, point, exponent) at the front of szText; 0 when none.
size_t DecimalPrefixLength(const char* szText) {
    size_t nPos = (szText[0] == '+' || szText[0] == '-') ? 1 : 0;
    size_t nDigits = 0;
    for (; std::isdigit(static_cast<unsigned char>(szText[nPos])); ++nPos)
        ++nDigits;
    if (szText[nPos] == '.')
        for (++nPos; std::isdigit(static_cast<unsigned char>(szText[nPos])); ++nPos)
            ++nDigits;
    if (nDigits == 0)
        return 0;
    if (szText[nPos] == 'e' || szText[nPos] == 'E') {
        size_t nExponent = nPos + 1 + ((szText[nPos + 1] == '+' || szText[nPos + 1] == '-') ? 1 : 0);
        if (std::isdigit(static_cast<unsigned char>(szText[nExponent]))) {
            nPos = nExponent;
            while (std::isdigit(static_cast<unsigned char>(szText[nPos])))
                ++nPos;
        }
    }
    return nPos;
}

} // namespace

double ParseLeadingDouble(const std::string& strText) {
    const char* szStart = strText.c_str();
    while (std::isspace(static_cast<unsigned char>(*szStart)))
        ++szStart;
    size_t nLength = DecimalPrefixLength(szStart);
    if (nLength == 0)
        return 0.0;
    return std::strtod(std::string(szStart, nLength).c_str(), nullptr);
}

float ClampToFloat(double dValue) {
    if (dValue > FLT_MAX)
        return FLT_MAX;
    if (dValue < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(dValue);
}
