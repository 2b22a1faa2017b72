#include "PipelineFixture.h"

namespace fs = std::filesystem;

TEST_F(PipelineTest, PrintFileIsCopiedPostedAndRemoved) {
    StartServer();
    Drop("job 1.ps",
         "%!PS-Adobe-3.0\n%%Pages: 3\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n%%Page: 3 3\nshowpage\n");
    CFileRequestHandler handler(Request("job 1.ps"), m_processing);
    EXPECT_EQ(handler.HandleRequest(), 1);
    EXPECT_FALSE(Exists(m_strHot + "/job 1.ps"));
    EXPECT_NE(ReadWholeFile(m_strDestination + "/job 1.ps").find("%%Pages: 3"), std::string::npos);
    const CActivity& activity = handler.GetActivity();
    EXPECT_EQ(activity.m_strType, "Print");
    EXPECT_EQ(activity.m_strStatus, "pending");
    EXPECT_EQ(activity.m_strSource, "KlendoHotFolderAgent");
    EXPECT_EQ(activity.m_document.m_strName, "job 1.ps");
    EXPECT_EQ(activity.m_document.m_strDevice, "Printer 7");
    EXPECT_EQ(activity.m_document.m_nPages, 3);
    EXPECT_EQ(activity.m_document.m_nCopies, 2) << "copies come from the hot folder";
    EXPECT_EQ(activity.m_document.m_strUserName, "root");
    EXPECT_EQ(activity.m_strId.size(), 36u);
    EXPECT_EQ(StoredCount(), 1);
    std::string strStored = Stored();
    EXPECT_NE(strStored.find("\"id\":\"" + activity.m_strId + "\""), std::string::npos) << strStored;
    EXPECT_EQ(Archive(), "");
    std::string strLog = m_log.Content();
    for (const char* szLine :
         {"--I: wait for write complete =", "--I: wait end =", "--I: f=", "--I: copying file S=",
          "--I: successfully copied the file", "--I: status copyfile= 1", "--I:status parsedoc = 1",
          "--I:status buildactivity = 1", "--I:status postactivity = 1", "--I:status deletefile = 1"})
        EXPECT_NE(strLog.find(szLine), std::string::npos) << szLine;
}

TEST_F(PipelineTest, DestinationWithOrWithoutTrailingSeparatorAndSubfolders) {
    StartServer();
    fs::create_directories(m_strHot + "/sub");
    fs::create_directories(m_strDestination + "/sub");
    Drop("sub/a.prn", "a");
    CFileRequest* pRequest = Request("sub/a.prn");
    pRequest->destination += "/";
    CFileRequestHandler withSeparator(pRequest, m_processing);
    EXPECT_EQ(withSeparator.GetDestinationPath(), m_strDestination + "/sub/a.prn");
    withSeparator.HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/sub/a.prn"), "a");
    Drop("b.prn", "b");
    CFileRequestHandler withoutSeparator(Request("b.prn"), m_processing);
    EXPECT_EQ(withoutSeparator.GetDestinationPath(), JoinPath(m_strDestination, "b.prn"));
    WriteWholeFile(m_strDestination + "/b.prn", "an older file of the same name");
    withoutSeparator.HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/b.prn"), "b") << "an existing copy is replaced";
}

TEST_F(PipelineTest, MissingDestinationKeepsTheSourceAndPostsNothing) {
    StartServer();
    Drop("kept.prn");
    CFileRequest* pRequest = Request("kept.prn");
    pRequest->destination = m_folder / "no-such-folder";
    CFileRequestHandler(pRequest, m_processing).HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/kept.prn")) << "the only copy of the job stays";
    EXPECT_EQ(StoredCount(), 0);
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F: failed to copy file error =2"), std::string::npos);
    EXPECT_NE(strLog.find("--E:status copy file destination failed (2)"), std::string::npos);
    EXPECT_NE(strLog.find("--F: source file kept ="), std::string::npos);
    EXPECT_EQ(strLog.find("--I:status parsedoc"), std::string::npos);
}

TEST_F(PipelineTest, FileHeldOpenByAnotherProcessIsWaitedFor) {
    StartServer();
    std::string strPath = JoinPath(m_strHot, "slow.prn");
    Drop("slow.prn", "first half ");
    m_files.StayBusy("slow.prn");
    CPipelinePool pool(m_processing);
    pool.Dispatch(Request("slow.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(1));
    EXPECT_EQ(pool.Get().GetWaitingForWriterCount(), 1u) << "the request gave its slot back to wait";
    EXPECT_EQ(StoredCount(), 0);
    std::ofstream(strPath, std::ios::app) << "second half";
    m_files.LetGo("slow.prn");
    pool.AdvancePastWaits();
    ASSERT_TRUE(pool.WaitForProcessed(2));
    pool.Stop();
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/slow.prn"), "first half second half");
    std::string strLog = m_log.Content();
    EXPECT_EQ(Occurrences(strLog, "--I: wait for write complete =" + strPath), 1u);
    EXPECT_EQ(Occurrences(strLog, "--I: wait end =" + strPath), 1u);
    EXPECT_LT(strLog.find("--I: wait for write complete =" + strPath),
              strLog.find("--I: wait end =" + strPath));
    EXPECT_EQ(Occurrences(strLog, "--I dispacth new request"), 1u) << "the wait's returns are not logged";
    EXPECT_EQ(Occurrences(strLog, "--I: RequestHandlerThreadMain created"), 1u);
}

TEST_F(PipelineTest, RequestForAVanishedFileEndsAtOnce) {
    StartServer();
    m_processing.SetEnvironment([this] {
        CRequestEnvironment environment = m_processing.GetEnvironment();
        environment.writeCompleteInterval = std::chrono::seconds(10);
        return environment;
    }());
    auto start = std::chrono::steady_clock::now();
    CFileRequestHandler(Request("gone.prn"), m_processing).HandleRequest();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "no 10 s sleep for a missing file";
    EXPECT_EQ(StoredCount(), 0);
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("rv=-1"), std::string::npos);
    EXPECT_NE(strLog.find("--I:status deletefile = 1"), std::string::npos);
}

TEST_F(PipelineTest, FileAskedForAgainWhileItWaitsForItsWriterIsWaitedForOnce) {
    StartServer();
    std::string strPath = JoinPath(m_strHot, "twice.prn");
    Drop("twice.prn", "x");
    m_files.StayBusy("twice.prn");
    CPipelinePool pool(m_processing);
    pool.Dispatch(Request("twice.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(1));
    pool.Dispatch(Request("twice.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(2));
    EXPECT_NE(m_log.Content().find("--I: already waiting for its writer =" + strPath), std::string::npos);
    m_files.LetGo("twice.prn");
    pool.AdvancePastWaits();
    ASSERT_TRUE(pool.WaitForProcessed(3));
    pool.Stop();
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/twice.prn"), "x");
    std::string strLog = m_log.Content();
    EXPECT_EQ(Occurrences(strLog, "--I: wait for write complete =" + strPath), 1u);
    EXPECT_EQ(strLog.find("--I: asked for again while in progress"), std::string::npos)
        << "the waiting request held no claim that the second could mark";
}

TEST_F(PipelineTest, WaitingRequestFreedAtStopLeavesItsFileFreeForTheNextRequest) {
    StartServer();
    Drop("stopped.prn", "a");
    m_files.StayBusy("stopped.prn");
    {
        CPipelinePool pool(m_processing);
        pool.Dispatch(Request("stopped.prn"));
        ASSERT_TRUE(pool.WaitForProcessed(1));
        pool.Stop();
        EXPECT_EQ(pool.Get().GetWaitingForWriterCount(), 0u) << "left in its hot folder";
    }
    m_files.LetGo("stopped.prn");
    EXPECT_TRUE(Exists(m_strHot + "/stopped.prn"));
    CFileRequestHandler handler(Request("stopped.prn"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/stopped.prn"), "a");
}

// The agent's own hold of the file, kept from the first opening, once made every later probe find
// the file busy: the job waited a pause for a writer that was the agent itself.
TEST_F(PipelineTest, FileChangedAfterItsWaitIsNotHeldBackByTheAgentsOwnHold) {
    StartServer();
    Drop("late.prn", "first part");
    m_files.ChangeWhenHeld("late.prn", " and a late part");
    CFileRequestHandler handler(Request("late.prn"), m_processing);
    handler.HandleRequest();
    EXPECT_FALSE(handler.IsWaitingForWriter());
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/late.prn"), "first part and a late part");
    EXPECT_NE(m_log.Content().find("--I: file changed after its wait, waiting again =" +
                                   JoinPath(m_strHot, "late.prn")),
              std::string::npos);
}

TEST_F(PipelineTest, FileWaitingForItsWriterHoldsNoRequestSlot) {
    StartServer();
    // A wait that would hold a slot far beyond the test's deadline, were it waited on the slot.
    m_processing.SetEnvironment([this] {
        CRequestEnvironment environment = m_processing.GetEnvironment();
        environment.nWriteCompleteTries = 1000000;
        return environment;
    }());
    Drop("held.prn", "held ");
    m_files.StayBusy("held.prn");
    CPipelinePool pool(m_processing, 1);
    pool.Dispatch(Request("held.prn"));
    Drop("free.prn", "free");
    pool.Dispatch(Request("free.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(2)) << "the one slot was given back while the writer holds its file";
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/free.prn"), "free");
    EXPECT_TRUE(Exists(m_strHot + "/held.prn"));
    WriteWholeFile(m_strHot + "/held.prn", "held and let go");
    m_files.LetGo("held.prn");
    pool.AdvancePastWaits();
    ASSERT_TRUE(pool.WaitForProcessed(3));
    pool.Stop();
    EXPECT_EQ(StoredCount(), 2);
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/held.prn"), "held and let go");
}
