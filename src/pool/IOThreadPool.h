#pragma once

#include "monitor/FileRequest.h"

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// Takes the requests of every folder monitor in order and hands each accepted one to a request
// thread of its own. Any thread may dispatch; one dispatcher thread consumes the queue.
class CIOThreadPool {
  public:
    // Runs the whole processing of one file on its request thread; owns the request.
    using RequestProcessor = std::function<void(std::unique_ptr<CFileRequest>)>;

    CIOThreadPool();
    virtual ~CIOThreadPool();
    CIOThreadPool(const CIOThreadPool&) = delete;
    CIOThreadPool& operator=(const CIOThreadPool&) = delete;

    int InitThreadPool(int nCount);
    // Takes ownership of the request; 1 when queued, 0 when it was refused and freed.
    int DispatchNewRequest(CFileRequest* pRequest);
    int ShutdownThreadPool();

    // Set before InitThreadPool; without one, accepted requests are only freed.
    void SetRequestProcessor(RequestProcessor processor);

    // Request threads are tracked so that a stop can wait for them before the log is closed.
    bool WaitForRequestThreads(std::chrono::milliseconds timeout);
    size_t GetRunningRequestCount();

    // Test seam, not reachable from the settings.
    void SetMaxRequestThreadsForTest(size_t nMax);

    // Request threads running at once; further requests wait in the queue for a free slot.
    static constexpr size_t kMaxRequestThreads = 128;
    // How long a shutdown waits for the dispatcher thread.
    static constexpr std::chrono::milliseconds kShutdownWait{10000};

  private:
    struct CShared;

    static void DispatchThreadMain(std::shared_ptr<CShared> pShared);
    static void HandleRequest(const std::shared_ptr<CShared>& pShared, CFileRequest* pRequest);
    static void RequestHandlerThreadMain(std::shared_ptr<CShared> pShared, std::unique_ptr<CFileRequest> pRequest);

    // Everything the pool's threads touch lives here, shared with them, so that a thread that
    // outlives its wait at shutdown never touches a destroyed pool.
    std::shared_ptr<CShared> m_pShared;
    std::vector<std::thread> m_dispatchers;
    int m_nThreadCount = 1;
};
