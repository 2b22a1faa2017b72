#include "printparser/ZipArchive.h"

#include "Include/LogFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr uint32_t kEndOfDirectory = 0x06054b50;
constexpr uint32_t kZip64Locator = 0x07064b50;
constexpr uint32_t kZip64EndOfDirectory = 0x06064b50;
constexpr uint32_t kDirectoryEntry = 0x02014b50;
constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kMaxCommentSize = 0xffff;
constexpr uint64_t kMaxDirectoryBytes = 64ull * 1024 * 1024;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;

uint64_t ReadLe(const uint8_t* p, int nBytes) {
    uint64_t nValue = 0;
    for (int i = nBytes - 1; i >= 0; --i)
        nValue = (nValue << 8) | p[i];
    return nValue;
}

std::string Lower(std::string strText) {
    std::transform(strText.begin(), strText.end(), strText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return strText;
}

} // namespace

CZipArchive::CZipArchive(CByteSource& source) : m_source(source) {}

bool CZipArchive::Open() {
    uint64_t nOffset = 0, nSize = 0, nCount = 0;
    if (!FindDirectory(nOffset, nSize, nCount))
        return false;
    if (nCount > kMaxEntries || nSize > kMaxDirectoryBytes) {
        LogTrace("--W: zip archive with %llu entries in %llu bytes of directory is refused",
                 static_cast<unsigned long long>(nCount), static_cast<unsigned long long>(nSize));
        return false;
    }
    return ReadDirectory(nOffset, nSize, nCount);
}

bool CZipArchive::FindDirectory(uint64_t& nOffset, uint64_t& nSize, uint64_t& nCount) {
    uint64_t nFileSize = m_source.Size();
    if (nFileSize < kEndRecordSize)
        return false;
    uint64_t nTailSize = std::min<uint64_t>(nFileSize, kEndRecordSize + kMaxCommentSize);
    std::vector<uint8_t> tail;
    if (!m_source.ReadAt(nFileSize - nTailSize, static_cast<size_t>(nTailSize), tail))
        return false;
    for (size_t nAt = tail.size() - kEndRecordSize + 1; nAt-- > 0;) {
        if (ReadLe(&tail[nAt], 4) != kEndOfDirectory)
            continue;
        const uint8_t* pEnd = &tail[nAt];
        nCount = ReadLe(pEnd + 10, 2);
        nSize = ReadLe(pEnd + 12, 4);
        nOffset = ReadLe(pEnd + 16, 4);
        uint64_t nEndAt = nFileSize - nTailSize + nAt;
        std::vector<uint8_t> zip64;
        bool bZip64 = nCount == 0xffff || nSize == 0xffffffff || nOffset == 0xffffffff;
        if (bZip64 && nEndAt >= 20 && m_source.ReadAt(nEndAt - 20, 20, zip64) &&
            ReadLe(zip64.data(), 4) == kZip64Locator) {
            uint64_t nRecordAt = ReadLe(zip64.data() + 8, 8);
            if (!m_source.ReadAt(nRecordAt, 56, zip64) || ReadLe(zip64.data(), 4) != kZip64EndOfDirectory)
                return false;
            nCount = ReadLe(zip64.data() + 32, 8);
            nSize = ReadLe(zip64.data() + 40, 8);
            nOffset = ReadLe(zip64.data() + 48, 8);
        }
        return true;
    }
    return false;
}

bool CZipArchive::ReadDirectory(uint64_t nOffset, uint64_t nSize, uint64_t nCount) {
    std::vector<uint8_t> directory;
    if (!m_source.ReadAt(nOffset, static_cast<size_t>(nSize), directory))
        return false;
    size_t nAt = 0;
    for (uint64_t i = 0; i < nCount; ++i) {
        if (directory.size() - nAt < 46 || ReadLe(&directory[nAt], 4) != kDirectoryEntry)
            return false;
        const uint8_t* p = &directory[nAt];
        SEntry entry;
        entry.nMethod = static_cast<uint16_t>(ReadLe(p + 10, 2));
        entry.nStoredSize = ReadLe(p + 20, 4);
        entry.nSize = ReadLe(p + 24, 4);
        entry.nLocalOffset = ReadLe(p + 42, 4);
        size_t nNameLength = ReadLe(p + 28, 2);
        size_t nExtraLength = ReadLe(p + 30, 2);
        size_t nCommentLength = ReadLe(p + 32, 2);
        if (directory.size() - nAt - 46 < nNameLength + nExtraLength + nCommentLength)
            return false;
        entry.strName.assign(reinterpret_cast<const char*>(p + 46), nNameLength);
        // A zip64 extra field holds, in order, the sizes and offset whose 32-bit fields are full.
        const uint8_t* pExtra = p + 46 + nNameLength;
        for (size_t nField = 0; nField + 4 <= nExtraLength;) {
            size_t nFieldSize = ReadLe(pExtra + nField + 2, 2);
            if (nField + 4 + nFieldSize > nExtraLength)
                break;
            if (ReadLe(pExtra + nField, 2) == 0x0001) {
                const uint8_t* pValue = pExtra + nField + 4;
                const uint8_t* pValueEnd = pValue + nFieldSize;
                for (uint64_t* pTarget : {&entry.nSize, &entry.nStoredSize, &entry.nLocalOffset}) {
                    if (*pTarget == 0xffffffff && pValueEnd - pValue >= 8) {
                        *pTarget = ReadLe(pValue, 8);
                        pValue += 8;
                    }
                }
            }
            nField += 4 + nFieldSize;
        }
        m_entries[Lower(entry.strName)] = entry;
        nAt += 46 + nNameLength + nExtraLength + nCommentLength;
    }
    return true;
}

bool CZipArchive::Inflate(const std::vector<uint8_t>& stored, uint64_t nSize, std::string& strOut) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    strOut.resize(static_cast<size_t>(nSize));
    stream.next_in = const_cast<Bytef*>(stored.data());
    stream.avail_in = static_cast<uInt>(stored.size());
    stream.next_out = reinterpret_cast<Bytef*>(&strOut[0]);
    stream.avail_out = static_cast<uInt>(nSize);
    int nResult = nSize > 0 ? inflate(&stream, Z_FINISH) : Z_STREAM_END;
    // The output never grows past the declared size: more data than declared is damage.
    bool bDone = nResult == Z_STREAM_END && stream.total_out == nSize;
    inflateEnd(&stream);
    return bDone;
}

bool CZipArchive::ReadEntry(const SEntry& entry, std::string& strOut) {
    if (entry.nSize > kMaxPartBytes || m_nTotalRead + entry.nSize > kMaxTotalBytes ||
        (entry.nSize > 1024 * 1024 && entry.nSize / std::max<uint64_t>(entry.nStoredSize, 1) > kMaxRatio)) {
        LogTrace("--W: zip entry \"%s\" of %llu bytes (%llu stored) is refused", entry.strName.c_str(),
                 static_cast<unsigned long long>(entry.nSize),
                 static_cast<unsigned long long>(entry.nStoredSize));
        return false;
    }
    std::vector<uint8_t> header;
    if (!m_source.ReadAt(entry.nLocalOffset, 30, header) || ReadLe(header.data(), 4) != kLocalHeader)
        return false;
    uint64_t nDataAt =
        entry.nLocalOffset + 30 + ReadLe(header.data() + 26, 2) + ReadLe(header.data() + 28, 2);
    if (entry.nMethod == kStored && entry.nStoredSize != entry.nSize)
        return false;
    if (entry.nStoredSize > kMaxPartBytes)
        return false;
    std::vector<uint8_t> stored;
    if (!m_source.ReadAt(nDataAt, static_cast<size_t>(entry.nStoredSize), stored))
        return false;
    m_nTotalRead += entry.nSize;
    if (entry.nMethod == kStored) {
        strOut.assign(stored.begin(), stored.end());
        return true;
    }
    return entry.nMethod == kDeflated && Inflate(stored, entry.nSize, strOut);
}

bool CZipArchive::ReadPart(const std::string& strName, std::string& strOut) {
    strOut.clear();
    std::string strKey = Lower(strName);
    auto it = m_entries.find(strKey);
    if (it != m_entries.end())
        return ReadEntry(it->second, strOut);
    for (size_t nPiece = 0; nPiece < kMaxEntries; ++nPiece) {
        std::string strPrefix = strKey + "/[" + std::to_string(nPiece) + "]";
        auto itLast = m_entries.find(strPrefix + ".last.piece");
        auto itPiece = itLast != m_entries.end() ? itLast : m_entries.find(strPrefix + ".piece");
        std::string strPiece;
        if (itPiece == m_entries.end() || !ReadEntry(itPiece->second, strPiece) ||
            strOut.size() + strPiece.size() > kMaxPartBytes)
            return false;
        strOut += strPiece;
        if (itLast != m_entries.end())
            return true;
    }
    return false;
}

std::string CZipArchive::FindEntryEndingWith(const std::string& strEnd) const {
    std::string strKey = Lower(strEnd);
    for (const auto& item : m_entries) {
        if (item.first.size() >= strKey.size() &&
            item.first.compare(item.first.size() - strKey.size(), strKey.size(), strKey) == 0)
            return item.second.strName;
    }
    return std::string();
}
