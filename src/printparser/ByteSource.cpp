#include "printparser/ByteSource.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cstring>

CByteSource::CByteSource(const uint8_t* pData, size_t nSize)
    : m_bOpen(true), m_pMemory(nSize > 0 ? pData : nullptr), m_pBuffer(pData), m_nSize(nSize), m_nEnd(nSize) {
}

CByteSource::CByteSource(const std::string& strPath) : m_strPath(strPath) {
    m_pFile = Platform::OpenReadStream(strPath);
    m_bOpen = m_pFile != nullptr;
    if (!m_bOpen)
        return;
    int64_t nLength = Platform::GetStreamSize(m_pFile);
    m_nSize = nLength > 0 ? static_cast<uint64_t>(nLength) : 0;
    m_buffer.resize(kBufferSize);
    m_pBuffer = m_buffer.data();
}

CByteSource::~CByteSource() {
    if (m_pFile != nullptr)
        std::fclose(m_pFile);
}

int CByteSource::Refill() {
    if (m_pFile == nullptr)
        return -1;
    m_nBufferStart += m_nEnd;
    m_nPos = 0;
    m_nEnd = 0;
    if (m_nBufferStart >= m_nSize || !Platform::SeekStream(m_pFile, m_nBufferStart))
        return -1;
    m_nEnd = std::fread(m_buffer.data(), 1, m_buffer.size(), m_pFile);
    return m_nEnd > 0 ? m_pBuffer[m_nPos++] : -1;
}

int CByteSource::Peek() {
    int nByte = Get();
    if (nByte >= 0)
        --m_nPos;
    return nByte;
}

void CByteSource::Seek(uint64_t nOffset) {
    nOffset = std::min(nOffset, m_nSize);
    if (nOffset >= m_nBufferStart && nOffset <= m_nBufferStart + m_nEnd) {
        m_nPos = static_cast<size_t>(nOffset - m_nBufferStart);
        return;
    }
    // Outside the buffer: an empty buffer starting there makes the next Get refill from it.
    m_nBufferStart = nOffset;
    m_nPos = 0;
    m_nEnd = 0;
}

void CByteSource::Skip(uint64_t nCount) {
    uint64_t nHere = Tell();
    Seek(nCount > m_nSize - nHere ? m_nSize : nHere + nCount);
}

size_t CByteSource::Read(uint8_t* pOut, size_t nCount) {
    size_t nDone = 0;
    while (nDone < nCount) {
        if (m_nPos >= m_nEnd && Peek() < 0)
            break;
        size_t nChunk = std::min(nCount - nDone, m_nEnd - m_nPos);
        std::memcpy(pOut + nDone, m_pBuffer + m_nPos, nChunk);
        m_nPos += nChunk;
        nDone += nChunk;
    }
    return nDone;
}

bool CByteSource::ReadAt(uint64_t nOffset, size_t nCount, std::vector<uint8_t>& out) {
    out.clear();
    if (nOffset > m_nSize || nCount > m_nSize - nOffset)
        return false;
    out.resize(nCount);
    Seek(nOffset);
    return Read(out.data(), nCount) == nCount;
}

bool CByteSource::LookingAt(const char* szText) {
    size_t nLength = std::strlen(szText);
    uint64_t nHere = Tell();
    if (nLength > m_nSize - std::min(nHere, m_nSize))
        return false;
    if (m_nPos + nLength <= m_nEnd)
        return std::memcmp(m_pBuffer + m_nPos, szText, nLength) == 0;
    std::vector<uint8_t> bytes(nLength);
    bool bEqual = Read(bytes.data(), nLength) == nLength && std::memcmp(bytes.data(), szText, nLength) == 0;
    Seek(nHere);
    return bEqual;
}
