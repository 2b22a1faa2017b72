#pragma once

#include <string>

// The agent keeps text in UTF-8; Windows takes file names and other text as UTF-16 at the wide (W)
// functions. Every conversion goes through these two, so that a name the ANSI code page cannot hold
// still reaches the file.
namespace Win32 {

// strText as UTF-16; bytes that are not UTF-8 become U+FFFD, as the system converts them.
std::wstring ToWide(const std::string& strText);
// wstrText as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string FromWide(const std::wstring& wstrText);
std::string FromWide(const wchar_t* pText, size_t nLength);

} // namespace Win32
