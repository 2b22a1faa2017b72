#pragma once

#include "pool/FileRequest.h"

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Platform {
struct CEnvironment;
} // namespace Platform

// Takes the requests of every folder monitor in order and hands each accepted one to a request
// thread of its own. Any thread may dispatch; one dispatcher thread consumes the queue.
class CIOThreadPool {
  public:
    // Request threads running at once; further requests wait in the queue for a free slot.
    static constexpr size_t kMaxRequestThreads = 128;
    // How long a shutdown waits for the dispatcher thread.
    static constexpr std::chrono::milliseconds kShutdownWait{10000};
    static constexpr std::chrono::milliseconds kFirstRetryWait{60000};
    static constexpr std::chrono::milliseconds kLongestRetryWait{900000};
    // Kept files waiting for a retry at most; more wait for the next start, so memory stays bounded.
    static constexpr size_t kMaxWaitingRetries = 65536;
    // Files waiting for their writer in the pool at most, for the same reason.
    static constexpr size_t kMaxWaitingForWriter = 65536;

    // The pool's bounds; the agent runs with the defaults, tests shorten or narrow them.
    struct CLimits {
        size_t nMaxRequestThreads = kMaxRequestThreads;
        std::chrono::milliseconds firstRetryWait = kFirstRetryWait;
        std::chrono::milliseconds longestRetryWait = kLongestRetryWait;
    };

    // Runs the whole processing of one file on its request thread; owns the request.
    using RequestProcessor = std::function<void(std::unique_ptr<CFileRequest>)>;

    // Every wait of the pool's threads goes through the environment's clock.
    explicit CIOThreadPool(const Platform::CEnvironment& environment);
    CIOThreadPool(const Platform::CEnvironment& environment, const CLimits& limits);
    virtual ~CIOThreadPool();
    CIOThreadPool(const CIOThreadPool&) = delete;
    CIOThreadPool& operator=(const CIOThreadPool&) = delete;

    int InitThreadPool(int nCount);
    // Takes ownership of the request; 1 when queued, 0 when it was refused and freed.
    int DispatchNewRequest(CFileRequest* pRequest);
    int ShutdownThreadPool();
    // False when a dispatcher did not end within the last shutdown's wait and may still run.
    bool HaveDispatchersEnded() const { return m_bDispatchersEnded; }

    // Set before InitThreadPool; without one, accepted requests are only freed.
    void SetRequestProcessor(RequestProcessor processor);

    // A file kept in its hot folder after a failure (a full destination disk, a server and an archive
    // both out of reach, a writer that never finished) is dispatched again on its own: first after
    // kFirstRetryWait, then after twice the previous wait, up to kLongestRetryWait. Takes ownership; a
    // file already waiting for its retry is not queued twice. Any thread; nothing happens after
    // ShutdownThreadPool (the file stays for the next start).
    void RetryLater(std::unique_ptr<CFileRequest> pRequest);
    // Kept files waiting for their retry (files waiting for their writer are not counted).
    size_t GetWaitingRetryCount();

    // A file whose writer still has it gives its request slot back: the request is queued again after
    // the pause, carrying its wait. Such a file comes back every second or so while its writer holds
    // it, so it goes through the pool without a line in the log. Takes ownership; any thread; nothing
    // happens after ShutdownThreadPool (the file stays in its hot folder for the next start).
    void DispatchLater(std::unique_ptr<CFileRequest> pRequest, std::chrono::milliseconds pause);
    size_t GetWaitingForWriterCount();

    // Request threads are tracked so that a stop can wait for them before the log is closed.
    bool WaitForRequestThreads(std::chrono::milliseconds timeout);
    size_t GetRunningRequestCount();

  private:
    struct CShared;

    struct CPacket;

    static void DispatchThreadMain(std::shared_ptr<CShared> pShared);
    static void HandleRequest(const std::shared_ptr<CShared>& pShared, const CPacket& packet);
    static void RequestHandlerThreadMain(std::shared_ptr<CShared> pShared,
                                         std::unique_ptr<CFileRequest> pRequest, bool bQuiet);
    static void RetryThreadMain(std::shared_ptr<CShared> pShared);
    // Queues a request for the dispatcher (DispatchNewRequest's body, also used by the retry thread);
    // a quiet one is handed on without log lines.
    static int Enqueue(const std::shared_ptr<CShared>& pShared, CFileRequest* pRequest, bool bQuiet);
    void StopRetries();

    // Everything the pool's threads touch lives here, shared with them, so that a thread that
    // outlives its wait at shutdown never touches a destroyed pool.
    std::shared_ptr<CShared> m_pShared;
    std::vector<std::thread> m_dispatchers;
    std::thread m_retryThread;
    int m_nThreadCount = 1;
    bool m_bDispatchersEnded = true;
};
