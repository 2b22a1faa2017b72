#include "service/SettingsCheck.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

// The archive is read in blocks; a record's tag cut by a block's end must count once, and
// "<activities" (a whole reply saved by hand, say) must not count at all.
TEST(SettingsCheck, ArchiveRecordsAreCountedAcrossBlocks) {
    CTempFolder folder;
    const std::string strRecord = "<activity id=\"{1}\" type=\"Print\"></activity>";
    std::string strArchive;
    for (size_t nOffset = 65536 - 20; strArchive.size() < 3 * 65536; ++nOffset)
        strArchive += std::string(nOffset % 7, ' ') + strRecord;
    size_t nExpected = Occurrences(strArchive, "<activity ");
    strArchive += "<activities><activity/>";
    WriteWholeFile(folder / "KlendoActivity.dat", strArchive);
    EXPECT_EQ(CountArchiveRecords(folder / "KlendoActivity.dat"), nExpected + 1);
    EXPECT_EQ(CountArchiveRecords(folder / "missing.dat"), 0u);

    WriteWholeFile(folder / "KlendoActivity.settled.dat", "{1}\n\n  \n{2}");
    EXPECT_EQ(CountPendingActivities(folder.Path()), nExpected - 1);
}
