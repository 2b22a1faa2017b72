#include "Include/StringUtil.h"

#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstring>

bool EqualsNoCase(const std::string& strA, const std::string& strB) {
    if (strA.size() != strB.size())
        return false;
    for (size_t i = 0; i < strA.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(strA[i])) !=
            std::tolower(static_cast<unsigned char>(strB[i])))
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

namespace {

const char kReplacementCharacter[] = "\xEF\xBF\xBD";

// The bytes a UTF-8 sequence with this lead byte takes, and the range its second byte must lie in
// (narrower than 80-BF where that excludes overlong forms, surrogates and code points past U+10FFFF);
// 0 for a byte that cannot begin a sequence.
size_t SequenceLength(unsigned char cLead, unsigned char& cSecondLow, unsigned char& cSecondHigh) {
    cSecondLow = 0x80;
    cSecondHigh = 0xBF;
    if (cLead < 0x80)
        return 1;
    if (cLead < 0xC2)
        return 0;
    if (cLead < 0xE0)
        return 2;
    if (cLead < 0xF0) {
        if (cLead == 0xE0)
            cSecondLow = 0xA0;
        else if (cLead == 0xED)
            cSecondHigh = 0x9F;
        return 3;
    }
    if (cLead < 0xF5) {
        if (cLead == 0xF0)
            cSecondLow = 0x90;
        else if (cLead == 0xF4)
            cSecondHigh = 0x8F;
        return 4;
    }
    return 0;
}

// How many bytes at nPos form a valid sequence (its full length), or, when they do not, how many bytes
// its longest valid beginning takes (at least 1), with bValid false.
size_t MeasureSequence(const std::string& strText, size_t nPos, bool& bValid) {
    unsigned char cLow = 0;
    unsigned char cHigh = 0;
    size_t nLength = SequenceLength(static_cast<unsigned char>(strText[nPos]), cLow, cHigh);
    size_t nTaken = 1;
    for (; nTaken < nLength && nPos + nTaken < strText.size(); ++nTaken) {
        auto c = static_cast<unsigned char>(strText[nPos + nTaken]);
        if (c < cLow || c > cHigh)
            break;
        cLow = 0x80;
        cHigh = 0xBF;
    }
    bValid = nLength != 0 && nTaken == nLength;
    return nTaken;
}

bool IsXmlForbidden(const std::string& strText, size_t nPos, size_t nLength) {
    auto c = static_cast<unsigned char>(strText[nPos]);
    if (nLength == 1)
        return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
    // U+FFFE and U+FFFF, the only characters past the C0 range that XML 1.0 leaves out.
    return nLength == 3 && c == 0xEF && static_cast<unsigned char>(strText[nPos + 1]) == 0xBF &&
           static_cast<unsigned char>(strText[nPos + 2]) >= 0xBE;
}

} // namespace

std::string ToXmlSafeUtf8(const std::string& strText) {
    std::string strSafe;
    strSafe.reserve(strText.size());
    for (size_t nPos = 0; nPos < strText.size();) {
        bool bValid = false;
        size_t nLength = MeasureSequence(strText, nPos, bValid);
        if (bValid && !IsXmlForbidden(strText, nPos, nLength))
            strSafe.append(strText, nPos, nLength);
        else
            strSafe += kReplacementCharacter;
        nPos += nLength;
    }
    return strSafe;
}

namespace {

bool IsEscapedByte(char c, const char* szEscaped) {
    return c == '%' || (c != '\0' && std::strchr(szEscaped, c) != nullptr);
}

} // namespace

int HexDigitValue(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string EscapeBytes(const std::string& strText, const char* szEscaped) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string strEscaped;
    strEscaped.reserve(strText.size());
    for (char c : strText) {
        if (!IsEscapedByte(c, szEscaped)) {
            strEscaped += c;
            continue;
        }
        unsigned char cByte = static_cast<unsigned char>(c);
        strEscaped += '%';
        strEscaped += kHex[cByte >> 4];
        strEscaped += kHex[cByte & 0xF];
    }
    return strEscaped;
}

bool UnescapeBytes(const std::string& strText, const char* szEscaped, std::string& strPlain) {
    strPlain.clear();
    for (size_t i = 0; i < strText.size(); ++i) {
        char c = strText[i];
        if (c != '%') {
            if (IsEscapedByte(c, szEscaped))
                return false;
            strPlain += c;
            continue;
        }
        int nHigh = i + 2 < strText.size() ? HexDigitValue(strText[i + 1]) : -1;
        int nLow = i + 2 < strText.size() ? HexDigitValue(strText[i + 2]) : -1;
        if (nHigh < 0 || nLow < 0)
            return false;
        strPlain += static_cast<char>(nHigh * 16 + nLow);
        i += 2;
    }
    return true;
}
