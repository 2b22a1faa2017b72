#include "printparser/ByteSource.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

// 200 KiB, more than three read buffers, with bytes that tell their offset apart.
std::string Pattern() {
    std::string strData(200 * 1024, '\0');
    for (size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return strData;
}

// The same walk over both sources: positions and bytes must agree everywhere, also across the
// file reader's buffer boundaries and at the end.
void ExpectSameWalk(CByteSource& file, CByteSource& memory) {
    const uint64_t offsets[] = {0, 65535, 65536, 65537, 131071, 204799, 204800, 300000, 10, 140000};
    for (uint64_t nOffset : offsets) {
        SCOPED_TRACE(nOffset);
        file.Seek(nOffset);
        memory.Seek(nOffset);
        EXPECT_EQ(memory.Tell(), file.Tell());
        EXPECT_EQ(memory.Peek(), file.Peek());
        EXPECT_EQ(memory.Get(), file.Get());
        file.Skip(70000);
        memory.Skip(70000);
        EXPECT_EQ(memory.Tell(), file.Tell());
        EXPECT_EQ(memory.Get(), file.Get());
        uint8_t fromFile[300] = {}, fromMemory[300] = {};
        size_t nRead = memory.Read(fromMemory, sizeof(fromMemory));
        ASSERT_EQ(nRead, file.Read(fromFile, sizeof(fromFile)));
        EXPECT_EQ(0, memcmp(fromFile, fromMemory, nRead));
    }
}

} // namespace

TEST(ByteSource, FileAndMemoryReadTheSameAcrossBufferBoundaries) {
    CTempFolder folder;
    std::string strData = Pattern();
    WriteWholeFile(folder / "data", strData);
    CByteSource file(folder / "data");
    CByteSource memory(reinterpret_cast<const uint8_t*>(strData.data()), strData.size());
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(strData.size(), file.Size());
    ExpectSameWalk(file, memory);

    std::string strAcross = strData.substr(65530, 12);
    file.Seek(65530);
    EXPECT_TRUE(file.LookingAt(strAcross.c_str()));
    EXPECT_EQ(65530u, file.Tell());

    std::vector<uint8_t> bytes;
    EXPECT_TRUE(file.ReadAt(131000, 2000, bytes));
    EXPECT_EQ(strData.substr(131000, 2000), std::string(bytes.begin(), bytes.end()));
    EXPECT_FALSE(file.ReadAt(strData.size() - 10, 11, bytes));
    EXPECT_FALSE(memory.ReadAt(UINT64_MAX, 1, bytes));
}

TEST(ByteSource, EndsCleanly) {
    CByteSource empty(nullptr, 0);
    EXPECT_TRUE(empty.IsOpen());
    EXPECT_EQ(-1, empty.Get());
    EXPECT_FALSE(empty.LookingAt("x"));
    CTempFolder folder;
    CByteSource missing(folder / "missing");
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(-1, missing.Get());
}

// Print files are named by their users in any script: a name the system's ANSI code page cannot
// hold must still be read (the parser worker is handed such names).
TEST(ByteSource, FileNamedOutsideTheAnsiCodePageIsRead) {
    CTempFolder folder;
    std::string strPath = folder / "M\xC3\xBCller-\xE5\x90\x8D.ps";
    std::ofstream(std::filesystem::u8path(strPath), std::ios::binary) << "%!PS";
    CByteSource file(strPath);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(4u, file.Size());
    EXPECT_TRUE(file.LookingAt("%!PS"));
}
