#include "pool/IOThreadPool.h"
#include "platform/Environment.h"
#include "support/FakeClock.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

CFileRequest* NewRequest(uint32_t nAction, const std::string& strFilename) {
    auto* pRequest = new CFileRequest();
    pRequest->source = "/hot";
    pRequest->action = nAction;
    pRequest->filename = strFilename;
    return pRequest;
}

// Request threads that block until the test lets them go, counting how many run at once.
class CGate {
  public:
    CIOThreadPool::RequestProcessor Processor() {
        return [this](std::unique_ptr<CFileRequest>) {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_nRunning;
            ++m_nStarted;
            m_nPeak = std::max(m_nPeak, m_nRunning);
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_bOpen; });
            --m_nRunning;
            ++m_nDone;
            m_changed.notify_all();
        };
    }
    void Open() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bOpen = true;
        m_changed.notify_all();
    }
    // True once the condition held within a deadline that only bounds a failure.
    bool WaitFor(const std::function<bool()>& condition) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), condition);
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_nRunning = 0;
    int m_nStarted = 0;
    int m_nDone = 0;
    int m_nPeak = 0;
    bool m_bOpen = false;
};

class IOThreadPool : public ::testing::Test {
  protected:
    CIOThreadPool::CLimits OneSlot() {
        CIOThreadPool::CLimits limits;
        limits.nMaxRequestThreads = 1;
        return limits;
    }

    CTempFolder m_folder;
    CScopedLog m_log{m_folder / "pool.log"};
    CFakeClock m_clock;
    Platform::CEnvironment m_environment{&m_clock};
};

} // namespace

TEST_F(IOThreadPool, HandsOnEveryActionButZeroAndFourInOrderOfArrival) {
    CRequestRecorder recorder;
    CIOThreadPool pool(m_environment, OneSlot());
    pool.SetRequestProcessor(recorder.Processor());
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    for (uint32_t nAction : {0u, 1u, 2u, 3u, 4u, 5u})
        EXPECT_EQ(pool.DispatchNewRequest(NewRequest(nAction, "f" + std::to_string(nAction))), 1);
    ASSERT_TRUE(recorder.WaitForCount(4));
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(5)));
    pool.ShutdownThreadPool();
    std::vector<uint32_t> actions;
    for (const auto& request : recorder.Seen())
        actions.push_back(request.nAction);
    EXPECT_EQ(actions, (std::vector<uint32_t>{1, 2, 3, 5})) << "one slot: handed on in queue order";
    std::string strLog = m_log.Content();
    EXPECT_EQ(Occurrences(strLog, "--I dispacth new request s=/hot file=f"), 6u);
    EXPECT_EQ(Occurrences(strLog, "--I: threadpool new request received --"), 6u);
    EXPECT_EQ(Occurrences(strLog, "--I: threadpool end request  --"), 6u);
    EXPECT_EQ(Occurrences(strLog, "--I: RequestHandlerThreadMain created"), 4u);
}

TEST_F(IOThreadPool, RequestsRunAtTheSameTimeUpToTheBound) {
    CGate gate;
    CIOThreadPool::CLimits limits;
    limits.nMaxRequestThreads = 3;
    CIOThreadPool pool(m_environment, limits);
    pool.SetRequestProcessor(gate.Processor());
    pool.InitThreadPool(1);
    for (int i = 0; i < 10; ++i)
        pool.DispatchNewRequest(NewRequest(1, "f"));
    ASSERT_TRUE(gate.WaitFor([&] { return gate.m_nRunning == 3; }));
    EXPECT_EQ(pool.GetRunningRequestCount(), 3u);
    gate.Open();
    EXPECT_TRUE(gate.WaitFor([&] { return gate.m_nDone == 10; })) << "the rest waited for a slot, none lost";
    EXPECT_EQ(gate.m_nPeak, 3);
    pool.ShutdownThreadPool();
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(30)));
}

TEST_F(IOThreadPool, ClosedPortRefusesAndFreesRequests) {
    CIOThreadPool pool(m_environment);
    EXPECT_EQ(pool.DispatchNewRequest(NewRequest(1, "before-start")), 0);
    pool.InitThreadPool(1);
    pool.ShutdownThreadPool();
    EXPECT_EQ(pool.DispatchNewRequest(NewRequest(1, "after-stop")), 0);
    EXPECT_EQ(Occurrences(m_log.Content(), "--F: failed to send request threadpool error ="), 2u);
}

// The fake clock never reaches the shutdown's deadline: a shutdown that waited for the queued
// requests behind the full slot would not return at all.
TEST_F(IOThreadPool, ShutdownDoesNotWaitForFullSlotsAndWaitsForRequestThreadsOnDemand) {
    CGate gate;
    CIOThreadPool pool(m_environment, OneSlot());
    pool.SetRequestProcessor(gate.Processor());
    pool.InitThreadPool(1);
    for (int i = 0; i < 5; ++i)
        pool.DispatchNewRequest(NewRequest(1, "f"));
    ASSERT_TRUE(gate.WaitFor([&] { return gate.m_nStarted == 1; }));
    pool.ShutdownThreadPool();
    EXPECT_TRUE(pool.HaveDispatchersEnded());
    EXPECT_EQ(pool.GetRunningRequestCount(), 1u);
    gate.Open();
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(10)));
    EXPECT_EQ(gate.m_nStarted, 1) << "queued requests are left for the next start";
}

TEST_F(IOThreadPool, KeptFileIsQueuedForItsRetryOnceAndNotAfterShutdown) {
    CRequestRecorder recorder;
    CIOThreadPool pool(m_environment);
    pool.SetRequestProcessor(recorder.Processor());
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "kept.prn")));
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "kept.prn")));
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "other.prn")));
    EXPECT_EQ(pool.GetWaitingRetryCount(), 2u) << "a file already waiting is not queued twice";
    EXPECT_EQ(Occurrences(m_log.Content(), "--I: kept file s=/hot file=kept.prn is tried again in 60 s"), 1u);
    pool.ShutdownThreadPool();
    EXPECT_EQ(pool.GetWaitingRetryCount(), 0u) << "kept files stay in their hot folders for the next start";
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "late.prn")));
    EXPECT_EQ(pool.GetWaitingRetryCount(), 0u);
    EXPECT_EQ(recorder.Seen().size(), 0u);
}

TEST_F(IOThreadPool, KeptFileIsDispatchedAgainAfterAWaitThatDoublesUpToTheLongest) {
    std::mutex mutex;
    std::condition_variable ran;
    int nRuns = 0;
    CIOThreadPool pool(m_environment);
    // Every run keeps the file again, until the seventh.
    pool.SetRequestProcessor([&](std::unique_ptr<CFileRequest> pRequest) {
        std::lock_guard<std::mutex> guard(mutex);
        if (++nRuns < 7)
            pool.RetryLater(std::move(pRequest));
        ran.notify_all();
    });
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    pool.DispatchNewRequest(NewRequest(1, "stubborn.prn"));
    for (int nRun = 1; nRun < 7; ++nRun) {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(ran.wait_for(lock, std::chrono::seconds(30), [&] { return nRuns == nRun; }));
        lock.unlock();
        EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(30)));
        m_clock.Advance(CIOThreadPool::kLongestRetryWait.count());
    }
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(ran.wait_for(lock, std::chrono::seconds(30), [&] { return nRuns == 7; }));
    lock.unlock();
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(30)));
    pool.ShutdownThreadPool();
    std::string strLog = m_log.Content();
    for (const char* szWait : {"60 s", "120 s", "240 s", "480 s"})
        EXPECT_EQ(Occurrences(strLog, std::string("file=stubborn.prn is tried again in ") + szWait + "\r\n"),
                  1u)
            << szWait;
    EXPECT_EQ(Occurrences(strLog, "file=stubborn.prn is tried again in 900 s\r\n"), 2u)
        << "doubled, then held";
    EXPECT_NE(strLog.find("file=stubborn.prn (retry 6)"), std::string::npos);
    EXPECT_EQ(strLog.find("(retry 7)"), std::string::npos);
}

TEST_F(IOThreadPool, FileWaitingForItsWriterComesBackQuietlyAndIsNoKeptFile) {
    CRequestRecorder recorder;
    CIOThreadPool pool(m_environment);
    pool.SetRequestProcessor(recorder.Processor());
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    pool.DispatchLater(std::unique_ptr<CFileRequest>(NewRequest(1, "held.prn")), std::chrono::hours(1));
    pool.DispatchLater(std::unique_ptr<CFileRequest>(NewRequest(1, "held.prn")),
                       std::chrono::milliseconds(20));
    EXPECT_EQ(pool.GetWaitingRetryCount(), 0u) << "not counted as kept files";
    m_clock.Advance(20);
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(10)));
    EXPECT_EQ(pool.GetWaitingForWriterCount(), 1u) << "the other one still pauses";
    pool.ShutdownThreadPool();
    EXPECT_EQ(pool.GetWaitingForWriterCount(), 0u) << "left in its hot folder for the next start";
    pool.DispatchLater(std::unique_ptr<CFileRequest>(NewRequest(1, "late.prn")),
                       std::chrono::milliseconds(0));
    EXPECT_EQ(pool.GetWaitingForWriterCount(), 0u);
    EXPECT_EQ(recorder.Seen().size(), 1u);
    std::string strLog = m_log.Content();
    for (const char* szLine : {"--I dispacth new request", "--I: threadpool new request received --",
                               "--I: threadpool end request  --", "--I: RequestHandlerThreadMain created",
                               "kept file", "held.prn"})
        EXPECT_EQ(strLog.find(szLine), std::string::npos) << szLine;
}
