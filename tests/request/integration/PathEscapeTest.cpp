#include "PipelineFixture.h"

#include "platform/posix/FileAccessForTest.h"

namespace fs = std::filesystem;

namespace {

// The pipeline run with each way of resolving paths forced in turn (the platform tests check that the
// forced way is the one that runs).
class PathEscapeTest : public PipelineTest,
                       public ::testing::WithParamInterface<Platform::Posix::PathResolution> {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        Platform::Posix::SetPathResolutionForTest(GetParam());
        fs::create_directories(m_folder / "outside");
        WriteWholeFile(m_folder / "outside/job.prn", "a file outside the hot folder");
        StartServer();
    }
    void TearDown() override {
        Platform::Posix::SetPathResolutionForTest(Platform::Posix::PathResolution::Automatic);
        PipelineTest::TearDown();
    }
};

std::string ResolutionName(const ::testing::TestParamInfo<Platform::Posix::PathResolution>& info) {
    return info.param == Platform::Posix::PathResolution::KernelBeneath ? "KernelBeneath" : "ComponentWalk";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(BothWays, PathEscapeTest,
                         ::testing::Values(Platform::Posix::PathResolution::KernelBeneath,
                                           Platform::Posix::PathResolution::ComponentWalk),
                         ResolutionName);

TEST_P(PathEscapeTest, LinkAsAHotFolderSubfolderIsNotFollowed) {
    fs::create_directory_symlink(m_folder / "outside", m_strHot + "/sub");
    CFileRequestHandler(Request("sub/job.prn"), m_processing).HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_folder / "outside/job.prn"), "a file outside the hot folder") << "not deleted";
    EXPECT_FALSE(Exists(m_strDestination + "/sub/job.prn"));
    EXPECT_EQ(StoredCount(), 0);
    EXPECT_NE(m_log.Content().find("--F: symbolic link left alone =" + m_strHot + "/sub/job.prn"),
              std::string::npos);
}

TEST_P(PathEscapeTest, LinkAsADestinationSubfolderIsNotWrittenThrough) {
    fs::create_directories(m_strHot + "/sub");
    fs::create_directory_symlink(m_folder / "outside", m_strDestination + "/sub");
    Drop("sub/job.prn", "the job");
    CFileRequestHandler(Request("sub/job.prn"), m_processing).HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_folder / "outside/job.prn"), "a file outside the hot folder");
    EXPECT_TRUE(Exists(m_strHot + "/sub/job.prn")) << "the copy failed, so the job stays";
    EXPECT_EQ(StoredCount(), 0);
}

TEST_P(PathEscapeTest, HotFolderSubfolderSwappedForALinkDuringTheWaitDoesNotRedirect) {
    const std::string strJob = "%!PS-Adobe-3.0\n%%Pages: 2\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n";
    WriteWholeFile(m_folder / "outside/job.prn", "%!PS-Adobe-3.0\n%%Pages: 5\n");
    fs::create_directories(m_strHot + "/sub");
    fs::create_directories(m_strDestination + "/sub");
    Drop("sub/job.prn", strJob);
    m_files.StayBusy("job.prn");
    CPipelinePool pool(m_processing);
    pool.Dispatch(Request("sub/job.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(1));
    ASSERT_EQ(pool.Get().GetWaitingForWriterCount(), 1u);
    fs::rename(m_strHot + "/sub", m_strHot + "/sub.old");
    fs::create_directory_symlink(m_folder / "outside", m_strHot + "/sub");
    std::ofstream(m_strHot + "/sub.old/job.prn", std::ios::app) << "%%EOF\n";
    m_files.LetGo("job.prn");
    // The wait goes on from the hot folder again, where the path now runs through a link.
    pool.AdvancePastWaits();
    ASSERT_TRUE(pool.WaitForProcessed(2));
    EXPECT_NE(m_log.Content().find("--F: symbolic link left alone =" + m_strHot + "/sub/job.prn"),
              std::string::npos);
    // The moved folder is watched and scanned as a new one: its job gets a request of its own.
    fs::create_directories(m_strDestination + "/sub.old");
    pool.Dispatch(Request("sub.old/job.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(3));
    pool.Stop();
    EXPECT_EQ(ReadWholeFile(m_folder / "outside/job.prn"), "%!PS-Adobe-3.0\n%%Pages: 5\n");
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/sub.old/job.prn"), strJob + "%%EOF\n");
    EXPECT_FALSE(Exists(m_strDestination + "/sub/job.prn"));
    EXPECT_NE(Stored().find("\"pages\":\"2\""), std::string::npos) << Stored();
    EXPECT_EQ(StoredCount(), 1);
}
