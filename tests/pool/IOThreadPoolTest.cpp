#include "pool/IOThreadPool.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
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
