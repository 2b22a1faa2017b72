#include "support/HoldingWriter.h"

#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

// Shares reading only, as a program writing a print file does.
struct CHoldingWriter::CImpl {
    Win32::CUniqueHandle file;
    std::string strTail;
};

CHoldingWriter::CHoldingWriter(const std::string& strPath, const std::string& strTail)
    : m_pImpl(std::make_unique<CImpl>()) {
    m_pImpl->file.Reset(::CreateFileW(Win32::ToWide(strPath).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    m_pImpl->strTail = strTail;
    m_bHolding = m_pImpl->file.IsValid();
}

CHoldingWriter::~CHoldingWriter() {
    Release();
}

void CHoldingWriter::Release() {
    if (!m_pImpl->file)
        return;
    DWORD nWritten = 0;
    ::WriteFile(m_pImpl->file.Get(), m_pImpl->strTail.data(), static_cast<DWORD>(m_pImpl->strTail.size()),
                &nWritten, nullptr);
    m_pImpl->file.Reset();
}
