// The pipeline meeting what only Linux files have here: symbolic links, owners given away, FIFOs.
#include "PipelineFixture.h"

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST_F(PipelineTest, SymbolicLinkIsLeftAloneAndNothingIsPosted) {
    StartServer();
    WriteWholeFile(m_folder / "secret", "not for the destination");
    fs::create_symlink(m_folder / "secret", m_strHot + "/link.prn");
    CFileRequestHandler(Request("link.prn"), m_processing).HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/link.prn"));
    EXPECT_FALSE(Exists(m_strDestination + "/link.prn"));
    EXPECT_EQ(StoredCount(), 0);
    EXPECT_NE(m_log.Content().find("--F: symbolic link left alone =" + m_strHot + "/link.prn"),
              std::string::npos);
}

TEST_F(PipelineTest, DestinationLinkIsReplacedNotWrittenThrough) {
    StartServer();
    WriteWholeFile(m_folder / "victim", "unchanged");
    fs::create_symlink(m_folder / "victim", m_strDestination + "/evil.prn");
    Drop("evil.prn", "payload");
    CFileRequestHandler(Request("evil.prn"), m_processing).HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_folder / "victim"), "unchanged");
    EXPECT_FALSE(fs::is_symlink(m_strDestination + "/evil.prn")) << "the copy took the link's place";
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/evil.prn"), "payload");
    EXPECT_EQ(StoredCount(), 1);
}

TEST_F(PipelineTest, OwnerOfAnotherUsersFileIsCharged) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file away";
    StartServer();
    Drop("theirs.prn");
    ASSERT_EQ(::chown((m_strHot + "/theirs.prn").c_str(), 65534, 65534), 0);
    CFileRequestHandler handler(Request("theirs.prn"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(handler.GetActivity().m_document.m_strUserName, "nobody");
    EXPECT_NE(m_log.Content().find(" own=nobody dom="), std::string::npos);
}

TEST_F(PipelineTest, NamedPipeIsLeftAloneAndNotTriedAgain) {
    StartServer();
    ASSERT_EQ(::mkfifo((m_strHot + "/pipe.prn").c_str(), 0600), 0);
    CFileRequestHandler handler(Request("pipe.prn"), m_processing);
    handler.HandleRequest();
    EXPECT_FALSE(handler.IsKeptForRetry());
    EXPECT_TRUE(Exists(m_strHot + "/pipe.prn"));
    EXPECT_NE(m_log.Content().find("--F: not a regular file, left alone =" + m_strHot + "/pipe.prn"),
              std::string::npos);
}
