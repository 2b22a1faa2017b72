#pragma once

#include "printparser/ByteSource.h"

#include <map>
#include <string>

// Read-only access to the entries of a zip archive (as XPS and other OPC packages use), built
// from the central directory alone and guarded against hostile archives: bounded entry count,
// bounded part sizes, and a bound on the ratio of inflated to stored size (zip bombs). The source
// must outlive the archive. Not thread-safe.
class CZipArchive {
  public:
    explicit CZipArchive(CByteSource& source);

    // Reads the central directory; false when there is none or it is damaged or too large.
    bool Open();
    // The whole content of a part by its name (without a leading '/', any letter case), joined
    // from interleaved pieces ("name/[0].piece" ... "name/[n].last.piece") where the package uses
    // them. False when the part is missing, damaged, too large or too highly compressed.
    bool ReadPart(const std::string& strName, std::string& strOut);
    // The name of the first entry whose name ends in strEnd (any letter case); empty when none.
    std::string FindEntryEndingWith(const std::string& strEnd) const;

    static constexpr size_t kMaxEntries = 100000;
    static constexpr uint64_t kMaxPartBytes = 64ull * 1024 * 1024;
    static constexpr uint64_t kMaxTotalBytes = 256ull * 1024 * 1024;
    // Deflate reaches about 1:1000 at best; a higher claimed ratio is a bomb.
    static constexpr uint64_t kMaxRatio = 1100;

  private:
    struct SEntry {
        std::string strName;
        uint16_t nMethod = 0;
        uint64_t nStoredSize = 0;
        uint64_t nSize = 0;
        uint64_t nLocalOffset = 0;
    };

    bool FindDirectory(uint64_t& nOffset, uint64_t& nSize, uint64_t& nCount);
    bool ReadDirectory(uint64_t nOffset, uint64_t nSize, uint64_t nCount);
    bool ReadEntry(const SEntry& entry, std::string& strOut);
    bool Inflate(const std::vector<uint8_t>& stored, uint64_t nSize, std::string& strOut);

    CByteSource& m_source;
    // Keyed by lower-case name: part names compare without regard to case.
    std::map<std::string, SEntry> m_entries;
    uint64_t m_nTotalRead = 0;
};
