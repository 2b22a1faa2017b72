#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Sequential reading with cheap single-byte access over a file or a caller's buffer, plus reads
// at an absolute offset for formats that need them (zip). Never reads past the end: Get returns
// -1 there. A memory source does not own its buffer, which must outlive it. Not thread-safe.
class CByteSource {
  public:
    // Over a buffer of nSize bytes.
    CByteSource(const uint8_t* pData, size_t nSize);
    // Over a file; IsOpen() tells whether it could be opened.
    explicit CByteSource(const std::string& strPath);
    ~CByteSource();
    CByteSource(const CByteSource&) = delete;
    CByteSource& operator=(const CByteSource&) = delete;

    bool IsOpen() const { return m_bOpen; }
    bool IsFile() const { return m_pFile != nullptr; }
    // The file path given to the constructor; empty for a memory source.
    const std::string& Path() const { return m_strPath; }
    // The whole buffer of a memory source; null for a file.
    const uint8_t* Memory() const { return m_pMemory; }
    uint64_t Size() const { return m_nSize; }

    int Get() { return m_nPos < m_nEnd ? m_pBuffer[m_nPos++] : Refill(); }
    int Peek();
    uint64_t Tell() const { return m_nBufferStart + m_nPos; }
    bool AtEnd() { return Peek() < 0; }
    // Moves to an absolute offset, clamped to the end.
    void Seek(uint64_t nOffset);
    // Moves forward nCount bytes, or to the end when fewer remain.
    void Skip(uint64_t nCount);
    // Up to nCount bytes from the current position (fewer at the end).
    size_t Read(uint8_t* pOut, size_t nCount);
    // Up to nCount bytes at nOffset into out; the current position does not change for memory
    // sources and is undefined afterwards for files (Seek before reading on).
    bool ReadAt(uint64_t nOffset, size_t nCount, std::vector<uint8_t>& out);
    // True when the bytes at the current position equal szText; the position does not move.
    bool LookingAt(const char* szText);

  private:
    int Refill();

    static constexpr size_t kBufferSize = 64 * 1024;

    std::string m_strPath;
    std::FILE* m_pFile = nullptr;
    bool m_bOpen = false;
    const uint8_t* m_pMemory = nullptr;
    std::vector<uint8_t> m_buffer;
    const uint8_t* m_pBuffer = nullptr;
    uint64_t m_nSize = 0;
    uint64_t m_nBufferStart = 0;
    size_t m_nPos = 0;
    size_t m_nEnd = 0;
};
