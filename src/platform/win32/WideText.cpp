#include "platform/win32/WideText.h"

#include <windows.h>

#include <climits>

namespace Win32 {

std::wstring ToWide(const std::string& strText) {
    if (strText.empty() || strText.size() > INT_MAX)
        return std::wstring();
    int nInput = static_cast<int>(strText.size());
    int nLength = ::MultiByteToWideChar(CP_UTF8, 0, strText.data(), nInput, nullptr, 0);
    std::wstring wstrText(static_cast<size_t>(nLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, strText.data(), nInput, &wstrText[0], nLength);
    return wstrText;
}

std::string FromWide(const wchar_t* pText, size_t nLength) {
    if (nLength == 0 || nLength > INT_MAX)
        return std::string();
    int nInput = static_cast<int>(nLength);
    int nBytes = ::WideCharToMultiByte(CP_UTF8, 0, pText, nInput, nullptr, 0, nullptr, nullptr);
    std::string strText(static_cast<size_t>(nBytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, pText, nInput, &strText[0], nBytes, nullptr, nullptr);
    return strText;
}

std::string FromWide(const std::wstring& wstrText) {
    return FromWide(wstrText.data(), wstrText.size());
}

} // namespace Win32
