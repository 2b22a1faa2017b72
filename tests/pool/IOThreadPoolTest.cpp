#include "pool/IOThreadPool.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

CFileRequest* NewRequest(uint32_t nAction, const std::string& strFilename) {
    auto* pRequest = new CFileRequest();
    pRequest->source = "/hot";
    pRequest->action = nAction;
    pRequest->filename = strFilename;
    return pRequest;
}

} // namespace

TEST(IOThreadPool, HandsOnEveryActionButZeroAndFourInOrderOfArrival) {
    CTempFolder folder;
    CScopedLog log(folder / "pool.log");
    CRequestRecorder recorder;
    CIOThreadPool pool;
    pool.SetRequestProcessor(recorder.Processor());
    pool.SetMaxRequestThreadsForTest(1);
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    for (uint32_t nAction : {0u, 1u, 2u, 3u, 4u, 5u})
        EXPECT_EQ(pool.DispatchNewRequest(NewRequest(nAction, "f" + std::to_string(nAction))), 1);
    ASSERT_TRUE(recorder.WaitForCount(4));
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(5)));
    pool.ShutdownThreadPool();
    std::vector<CRequestRecorder::CSeen> seen = recorder.Seen();
    ASSERT_EQ(seen.size(), 4u);
    std::vector<uint32_t> actions;
    for (const auto& request : seen)
        actions.push_back(request.nAction);
    EXPECT_EQ(actions, (std::vector<uint32_t>{1, 2, 3, 5})) << "one slot: handed on in queue order";
    std::string strLog = log.Content();
    EXPECT_EQ(Occurrences(strLog, "--I dispacth new request s=/hot file=f"), 6u);
    EXPECT_EQ(Occurrences(strLog, "--I: threadpool new request received --"), 6u);
    EXPECT_EQ(Occurrences(strLog, "--I: threadpool end request  --"), 6u);
    EXPECT_EQ(Occurrences(strLog, "--I: RequestHandlerThreadMain created"), 4u);
}

TEST(IOThreadPool, RequestsRunAtTheSameTimeUpToTheBound) {
    CIOThreadPool pool;
    std::atomic<int> nRunning{0};
    std::atomic<int> nPeak{0};
    std::atomic<int> nDone{0};
    std::atomic<bool> bRelease{false};
    pool.SetRequestProcessor([&](std::unique_ptr<CFileRequest>) {
        int nNow = ++nRunning;
        for (int nPeakSeen = nPeak; nNow > nPeakSeen && !nPeak.compare_exchange_weak(nPeakSeen, nNow);)
            ;
        while (!bRelease)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --nRunning;
        ++nDone;
    });
    pool.SetMaxRequestThreadsForTest(3);
    pool.InitThreadPool(1);
    for (int i = 0; i < 10; ++i)
        pool.DispatchNewRequest(NewRequest(1, "f"));
    for (int i = 0; i < 500 && nRunning < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(nRunning, 3) << "three slow requests run at once";
    EXPECT_EQ(pool.GetRunningRequestCount(), 3u);
    bRelease = true;
    for (int i = 0; i < 500 && nDone < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(nDone, 10) << "the rest waited for a slot and none was lost";
    EXPECT_EQ(nPeak, 3);
    pool.ShutdownThreadPool();
}

TEST(IOThreadPool, ClosedPortRefusesAndFreesRequests) {
    CTempFolder folder;
    CScopedLog log(folder / "pool.log");
    CIOThreadPool pool;
    EXPECT_EQ(pool.DispatchNewRequest(NewRequest(1, "before-start")), 0);
    pool.InitThreadPool(1);
    pool.ShutdownThreadPool();
    EXPECT_EQ(pool.DispatchNewRequest(NewRequest(1, "after-stop")), 0);
    EXPECT_EQ(Occurrences(log.Content(), "--F: failed to send request threadpool error ="), 2u);
}

TEST(IOThreadPool, ShutdownDoesNotWaitForFullSlotsAndWaitsForRequestThreadsOnDemand) {
    CIOThreadPool pool;
    std::atomic<bool> bRelease{false};
    std::atomic<int> nStarted{0};
    pool.SetRequestProcessor([&](std::unique_ptr<CFileRequest>) {
        ++nStarted;
        while (!bRelease)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    pool.SetMaxRequestThreadsForTest(1);
    pool.InitThreadPool(1);
    for (int i = 0; i < 5; ++i)
        pool.DispatchNewRequest(NewRequest(1, "f"));
    for (int i = 0; i < 500 && nStarted < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto start = std::chrono::steady_clock::now();
    pool.ShutdownThreadPool();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "queued requests behind a full slot are left for the next start, not waited for";
    EXPECT_FALSE(pool.WaitForRequestThreads(std::chrono::milliseconds(50)));
    bRelease = true;
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(10)));
    EXPECT_EQ(nStarted, 1);
}

TEST(IOThreadPool, KeptFileIsQueuedForItsRetryOnceAndNotAfterShutdown) {
    CTempFolder folder;
    CScopedLog log(folder / "pool.log");
    CRequestRecorder recorder;
    CIOThreadPool pool;
    pool.SetRequestProcessor(recorder.Processor());
    // A first wait long enough that nothing is due while the test looks at the queue.
    pool.SetRetryWaitsForTest(std::chrono::hours(1), std::chrono::hours(2));
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "kept.prn")));
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "kept.prn")));
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "other.prn")));
    EXPECT_EQ(pool.GetWaitingRetryCount(), 2u) << "a file already waiting is not queued twice";
    EXPECT_EQ(Occurrences(log.Content(), "--I: kept file s=/hot file=kept.prn is tried again in 3600 s"), 1u);
    pool.ShutdownThreadPool();
    EXPECT_EQ(pool.GetWaitingRetryCount(), 0u) << "kept files stay in their hot folders for the next start";
    pool.RetryLater(std::unique_ptr<CFileRequest>(NewRequest(1, "late.prn")));
    EXPECT_EQ(pool.GetWaitingRetryCount(), 0u);
    EXPECT_EQ(recorder.Seen().size(), 0u);
}

TEST(IOThreadPool, KeptFileIsDispatchedAgainAfterAWaitThatDoublesUpToTheLongest) {
    CTempFolder folder;
    CScopedLog log(folder / "pool.log");
    CIOThreadPool pool;
    std::mutex mutex;
    std::condition_variable retried;
    int nRuns = 0;
    pool.SetRetryWaitsForTest(std::chrono::seconds(1), std::chrono::seconds(2));
    // Every run keeps the file again, until the fourth.
    pool.SetRequestProcessor([&](std::unique_ptr<CFileRequest> pRequest) {
        std::lock_guard<std::mutex> guard(mutex);
        if (++nRuns < 4)
            pool.RetryLater(std::move(pRequest));
        retried.notify_all();
    });
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    pool.DispatchNewRequest(NewRequest(1, "stubborn.prn"));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(retried.wait_for(lock, std::chrono::seconds(60), [&] { return nRuns == 4; }));
    }
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(30)));
    pool.ShutdownThreadPool();
    std::string strLog = log.Content();
    EXPECT_EQ(Occurrences(strLog, "file=stubborn.prn is tried again in 1 s"), 1u);
    EXPECT_EQ(Occurrences(strLog, "file=stubborn.prn is tried again in 2 s"), 2u) << "doubled, then held";
    for (const char* szLine :
         {"file=stubborn.prn (retry 1)", "file=stubborn.prn (retry 2)", "file=stubborn.prn (retry 3)"})
        EXPECT_NE(strLog.find(szLine), std::string::npos) << szLine;
    EXPECT_EQ(strLog.find("(retry 4)"), std::string::npos);
}

TEST(IOThreadPool, FileWaitingForItsWriterComesBackQuietlyAndIsNoKeptFile) {
    CTempFolder folder;
    CScopedLog log(folder / "pool.log");
    CRequestRecorder recorder;
    CIOThreadPool pool;
    pool.SetRequestProcessor(recorder.Processor());
    // Kept files would come back only after an hour: whatever arrives came through the short pause.
    pool.SetRetryWaitsForTest(std::chrono::hours(1), std::chrono::hours(2));
    ASSERT_EQ(pool.InitThreadPool(1), 1);
    pool.DispatchLater(std::unique_ptr<CFileRequest>(NewRequest(1, "held.prn")), std::chrono::hours(1));
    pool.DispatchLater(std::unique_ptr<CFileRequest>(NewRequest(1, "held.prn")),
                       std::chrono::milliseconds(20));
    EXPECT_EQ(pool.GetWaitingRetryCount(), 0u) << "not counted as kept files";
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(10)));
    EXPECT_EQ(pool.GetWaitingForWriterCount(), 1u) << "the other one still pauses";
    pool.ShutdownThreadPool();
    EXPECT_EQ(pool.GetWaitingForWriterCount(), 0u) << "left in its hot folder for the next start";
    pool.DispatchLater(std::unique_ptr<CFileRequest>(NewRequest(1, "late.prn")),
                       std::chrono::milliseconds(0));
    EXPECT_EQ(pool.GetWaitingForWriterCount(), 0u);
    EXPECT_EQ(recorder.Seen().size(), 1u);
    std::string strLog = log.Content();
    for (const char* szLine : {"--I dispacth new request", "--I: threadpool new request received --",
                               "--I: threadpool end request  --", "--I: RequestHandlerThreadMain created",
                               "kept file", "held.prn"})
        EXPECT_EQ(strLog.find(szLine), std::string::npos) << szLine;
}
