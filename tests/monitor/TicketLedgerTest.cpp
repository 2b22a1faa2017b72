#include "monitor/TicketLedger.h"
#include "monitor/FileVersionOf.h"
#include "platform/FileSystem.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const Platform::CFileVersion kVersion{7, 1700000000123456789};

std::vector<CTicketVersion> TicketsIn(const std::string& strFolder) {
    std::vector<CTicketVersion> tickets;
    Platform::ForEachFileInTree(strFolder,
                                [&](const std::string& strName, const Platform::CFileVersion& version) {
                                    tickets.push_back({strName, version});
                                });
    return tickets;
}

size_t LineCount(const std::string& strPath) {
    return Occurrences(ReadWholeFile(strPath), "\n");
}

class TicketLedgerTest : public ::testing::Test {
  protected:
    CTempFolder m_folder;
    CScopedLog m_log{m_folder / "agent.log"};
    std::string m_strState = m_folder.Path();
};

} // namespace

TEST_F(TicketLedgerTest, StateFileIsNamedAfterTheSourceAndNamesIt) {
    EXPECT_EQ(CTicketLedger::StateFileName("a"), "KlendoTickets-af63dc4c8601ec8c.dat")
        << "64-bit FNV-1a of \"a\"";
    CTicketLedger ledger(m_strState, "/srv/hot\tfolder");
    EXPECT_FALSE(ledger.Load()) << "no state file yet";
    ledger.MarkAllProcessed({});
    EXPECT_EQ(ledger.GetStatePath(), m_folder / CTicketLedger::StateFileName("/srv/hot\tfolder"));
    EXPECT_EQ(ReadWholeFile(ledger.GetStatePath()), "KlendoTickets\t1\t/srv/hot%09folder\n");

    // A file of another source under the same name (a hash collision) is neither used nor overwritten.
    CTicketLedger other(m_strState, "/srv/other");
    fs::copy_file(ledger.GetStatePath(), other.GetStatePath());
    EXPECT_FALSE(other.Load());
    other.MarkProcessed("a.dat", kVersion);
    EXPECT_TRUE(other.IsProcessed("a.dat", kVersion)) << "kept in memory";
    EXPECT_EQ(ReadWholeFile(other.GetStatePath()), "KlendoTickets\t1\t/srv/hot%09folder\n");
}

// The install folder may be named in any script: the state written there must read back, or every
// ticket of the folder would be billed again at the next start.
TEST_F(TicketLedgerTest, StateInAFolderNamedOutsideTheAnsiCodePageReadsBack) {
    const std::string strState = m_folder / "\xC3\xA9tat-\xE5\x90\x8D";
    ASSERT_TRUE(fs::create_directory(fs::u8path(strState)));
    {
        CTicketLedger ledger(strState, "/hot");
        EXPECT_FALSE(ledger.Load());
        ledger.MarkProcessed("a.dat", kVersion);
    }
    CTicketLedger ledger(strState, "/hot");
    ASSERT_TRUE(ledger.Load());
    EXPECT_TRUE(ledger.IsProcessed("a.dat", kVersion));
}

TEST_F(TicketLedgerTest, HostileNamesRoundTrip) {
    const std::vector<std::string> names = {
        "tab\there.dat", "line\nbreak.dat",       "cr\rhere.dat", "100%.dat",    "%25.dat",
        "%zz.dat",       "bad \xff\xfe utf8.dat", "sub/deep.DAT", " spaced .dat"};
    const Platform::CFileVersion old{0, -5};
    {
        CTicketLedger ledger(m_strState, "/hot");
        EXPECT_FALSE(ledger.Load());
        for (const std::string& strName : names)
            ledger.MarkProcessed(strName, kVersion);
        ledger.MarkProcessed("before-1970.dat", old);
    }
    CTicketLedger ledger(m_strState, "/hot");
    ASSERT_TRUE(ledger.Load());
    for (const std::string& strName : names) {
        EXPECT_TRUE(ledger.IsProcessed(strName, kVersion)) << strName;
        EXPECT_FALSE(ledger.IsProcessed(strName, {kVersion.nSize + 1, kVersion.nModifiedNs})) << strName;
    }
    EXPECT_TRUE(ledger.IsProcessed("before-1970.dat", old));
    EXPECT_EQ(LineCount(ledger.GetStatePath()), names.size() + 2) << "one line per name, whatever it holds";
    EXPECT_EQ(m_log.Content().find("--W:"), std::string::npos);
}

TEST_F(TicketLedgerTest, TornLastLineAndDamagedLineLoseOnlyThemselves) {
    std::string strPath;
    {
        CTicketLedger ledger(m_strState, "/hot");
        ledger.Load();
        for (const char* szName : {"a.dat", "b.dat", "c.dat"})
            ledger.MarkProcessed(szName, kVersion);
        strPath = ledger.GetStatePath();
    }
    std::string strContent = ReadWholeFile(strPath);
    size_t nSecond = strContent.find('\n', strContent.find('\n') + 1) + 1;
    strContent.insert(nSecond, "12\tnot a time\tx.dat\n");
    WriteWholeFile(strPath, strContent + "5\t99\ttorn.d");
    {
        CTicketLedger ledger(m_strState, "/hot");
        ASSERT_TRUE(ledger.Load());
        for (const char* szName : {"a.dat", "b.dat", "c.dat"})
            EXPECT_TRUE(ledger.IsProcessed(szName, kVersion)) << szName;
        EXPECT_FALSE(ledger.IsProcessed("x.dat", {12, 0}));
        EXPECT_FALSE(ledger.IsProcessed("torn.d", {5, 99}));
        EXPECT_EQ(
            Occurrences(m_log.Content(), "--W: ticket state file line skipped p=" + strPath + " line=3"), 1u);
        // Appended after the torn end, this must not become part of a damaged line.
        ledger.MarkProcessed("d.dat", kVersion);
    }
    CTicketLedger ledger(m_strState, "/hot");
    ASSERT_TRUE(ledger.Load());
    for (const char* szName : {"a.dat", "b.dat", "c.dat", "d.dat"})
        EXPECT_TRUE(ledger.IsProcessed(szName, kVersion)) << szName;
    EXPECT_EQ(Occurrences(m_log.Content(), "line skipped"), 1u)
        << "the damaged line was dropped by the first load";
}

TEST_F(TicketLedgerTest, ManyPostsKeepTheFileBoundedAndRemovedTicketsAreForgotten) {
    std::string strHot = m_folder / "hot";
    fs::create_directory(strHot);
    for (const char* szName : {"t0.dat", "t1.dat", "gone.dat"})
        WriteWholeFile(strHot + "/" + szName, szName);
    Platform::CFileVersion gone = VersionOfFile(strHot + "/gone.dat");
    CTicketLedger ledger(m_strState, strHot);
    ledger.Load();
    ledger.MarkAllProcessed(TicketsIn(strHot));
    size_t nMostLines = 0;
    for (int64_t i = 0; i < 2000; ++i) {
        // Versions of tickets that were rewritten since, and so no longer in the folder.
        ledger.MarkProcessed("t" + std::to_string(i % 2) + ".dat", {static_cast<uint64_t>(i), i});
        nMostLines = std::max(nMostLines, LineCount(ledger.GetStatePath()));
        if (i == 1000)
            fs::remove(strHot + "/gone.dat");
    }
    EXPECT_LT(nMostLines, 100u) << "compacted against a folder of three tickets";
    EXPECT_TRUE(ledger.IsProcessed("t0.dat", VersionOfFile(strHot + "/t0.dat")))
        << "the present version is kept";
    EXPECT_EQ(ReadWholeFile(ledger.GetStatePath()).find("gone.dat"), std::string::npos);

    CTicketLedger reloaded(m_strState, strHot);
    ASSERT_TRUE(reloaded.Load());
    EXPECT_TRUE(reloaded.IsProcessed("t1.dat", VersionOfFile(strHot + "/t1.dat")));
    EXPECT_FALSE(reloaded.IsProcessed("gone.dat", gone));
}

TEST_F(TicketLedgerTest, StateFileThatCannotBeWrittenLeavesTheLedgerInMemory) {
    // A folder where nothing can be created, even by root: a file stands where the folder should be.
    CTicketLedger ledger(m_folder / "agent.log", "/hot");
    EXPECT_FALSE(ledger.Load());
    ledger.MarkProcessed("a.dat", kVersion);
    ledger.MarkProcessed("b.dat", kVersion);
    EXPECT_TRUE(ledger.IsProcessed("a.dat", kVersion));
    EXPECT_TRUE(ledger.IsProcessed("b.dat", kVersion));
    EXPECT_EQ(Occurrences(m_log.Content(),
                          "--F: ticket state file cannot be written p=" + ledger.GetStatePath() + " error ="),
              1u)
        << "one line, not one per ticket";
}

// A monitor replaced by another of the same source leaves requests running that record into its
// ledger: the successor must use that same ledger, or a ticket finished meanwhile is billed again.
TEST_F(TicketLedgerTest, OneLedgerPerHotFolderWhileAnyoneUsesIt) {
    bool bLoaded = true;
    const std::string strHot = m_folder / "uls";
    std::shared_ptr<CTicketLedger> pFirst = CTicketLedger::Shared(m_strState, strHot, bLoaded);
    EXPECT_FALSE(bLoaded);
    pFirst->MarkProcessed("a.dat", kVersion);
    std::shared_ptr<CTicketLedger> pSecond = CTicketLedger::Shared(m_strState, strHot, bLoaded);
    EXPECT_TRUE(bLoaded) << "in use already: not loaded again";
    EXPECT_EQ(pFirst, pSecond);
    EXPECT_TRUE(pSecond->IsProcessed("a.dat", kVersion));
    pFirst.reset();
    pSecond.reset();
    std::shared_ptr<CTicketLedger> pAfterRestart = CTicketLedger::Shared(m_strState, strHot, bLoaded);
    EXPECT_FALSE(bLoaded) << "nobody used it any more: a fresh ledger that reads the file";
    EXPECT_TRUE(pAfterRestart->Load());
    EXPECT_TRUE(pAfterRestart->IsProcessed("a.dat", kVersion));
}
