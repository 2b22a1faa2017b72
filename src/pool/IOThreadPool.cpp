#include "pool/IOThreadPool.h"

#include "Include/LogFile.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Thread.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

// A packet with a null request is the stop packet. A quiet one is a file's wait resumed.
struct CIOThreadPool::CPacket {
    CFileRequest* pRequest = nullptr;
    bool bQuiet = false;
};

struct CIOThreadPool::CShared {
    CShared(Platform::IClock& poolClock, const CLimits& poolLimits) : clock(poolClock), limits(poolLimits) {}

    Platform::IClock& clock;
    const CLimits limits;

    // The queue stands in for the completion port: bPortOpen while it takes packets.
    std::mutex queueMutex;
    std::condition_variable_any queueChanged;
    std::deque<CPacket> queue;
    bool bPortOpen = false;
    int nEndedDispatchers = 0;

    RequestProcessor processor;

    // Running request threads; requestsChanged wakes the dispatcher waiting for a free slot and
    // whoever waits for the request threads to end.
    std::mutex requestMutex;
    std::condition_variable_any requestsChanged;
    size_t nRunningRequests = 0;
    bool bStopping = false;

    // Requests to be queued again later, by when they are due on the clock: kept files waiting for
    // their retry and files waiting for their writer. retryKeys holds the source and name of each kept
    // file, so that a kept file is never queued twice (one waiting request per file is the pipeline's
    // concern). The retry thread sleeps until the first is due.
    struct CLater {
        CFileRequest* pRequest;
        bool bKept;
    };
    std::mutex retryMutex;
    std::condition_variable_any retryChanged;
    std::multimap<int64_t, CLater> retries;
    std::set<std::string> retryKeys;
    size_t nWaitingForWriter = 0;
    bool bRetriesOpen = false;
};

namespace {

std::string RetryKey(const CFileRequest& request) {
    return request.source + '\0' + request.filename;
}

// The wait before the request's next try: doubling from the first, never above the longest.
std::chrono::milliseconds RetryWait(int nRetries, std::chrono::milliseconds first,
                                    std::chrono::milliseconds longest) {
    std::chrono::milliseconds wait = first;
    for (int i = 0; i < nRetries && wait < longest; ++i)
        wait *= 2;
    return std::min(wait, longest);
}

} // namespace

CIOThreadPool::CIOThreadPool(const Platform::CEnvironment& environment)
    : CIOThreadPool(environment, CLimits()) {}

CIOThreadPool::CIOThreadPool(const Platform::CEnvironment& environment, const CLimits& limits)
    : m_pShared(std::make_shared<CShared>(*environment.pClock, limits)) {}

CIOThreadPool::~CIOThreadPool() {
    for (std::thread& dispatcher : m_dispatchers)
        if (dispatcher.joinable())
            dispatcher.detach();
    StopRetries();
    std::lock_guard<std::mutex> guard(m_pShared->queueMutex);
    for (const CPacket& packet : m_pShared->queue)
        delete packet.pRequest;
    m_pShared->queue.clear();
}

void CIOThreadPool::SetRequestProcessor(RequestProcessor processor) {
    m_pShared->processor = std::move(processor);
}

int CIOThreadPool::InitThreadPool(int nCount) {
    try {
        m_nThreadCount = nCount;
        {
            std::lock_guard<std::mutex> guard(m_pShared->queueMutex);
            m_pShared->bPortOpen = true;
            m_pShared->nEndedDispatchers = 0;
        }
        {
            std::lock_guard<std::mutex> guard(m_pShared->requestMutex);
            m_pShared->bStopping = false;
        }
        for (int i = 0; i < nCount; ++i)
            m_dispatchers.emplace_back(&CIOThreadPool::DispatchThreadMain, m_pShared);
        {
            std::lock_guard<std::mutex> guard(m_pShared->retryMutex);
            m_pShared->bRetriesOpen = true;
        }
        m_retryThread = std::thread(&CIOThreadPool::RetryThreadMain, m_pShared);
        LogTrace("--I: thread pool created successfully");
        return 1;
    } catch (...) {
        LogTrace("*** E: CIOThreadPool InitThreadPool ***");
        return 0;
    }
}

int CIOThreadPool::DispatchNewRequest(CFileRequest* pRequest) {
    return Enqueue(m_pShared, pRequest, false);
}

int CIOThreadPool::Enqueue(const std::shared_ptr<CShared>& pShared, CFileRequest* pRequest, bool bQuiet) {
    std::unique_ptr<CFileRequest> pOwned(pRequest);
    try {
        if (!bQuiet)
            LogTrace("--I dispacth new request s=%s file=%s", pOwned->source.c_str(),
                     pOwned->filename.c_str());
        {
            std::lock_guard<std::mutex> guard(pShared->queueMutex);
            if (pShared->bPortOpen) {
                pShared->queue.push_back({pOwned.get(), bQuiet});
                pOwned.release();
            }
        }
        if (pOwned) {
            LogTrace("--F: failed to send request threadpool error =%d", Platform::ClosedQueueError());
            return 0;
        }
        pShared->queueChanged.notify_all();
        return 1;
    } catch (...) {
        LogTrace("*** E: DispatchNewRequest ***");
        return 0;
    }
}

void CIOThreadPool::RetryLater(std::unique_ptr<CFileRequest> pRequest) {
    try {
        std::lock_guard<std::mutex> guard(m_pShared->retryMutex);
        if (!m_pShared->bRetriesOpen || !m_pShared->retryKeys.insert(RetryKey(*pRequest)).second)
            return;
        if (m_pShared->retryKeys.size() > kMaxWaitingRetries) {
            m_pShared->retryKeys.erase(RetryKey(*pRequest));
            LogTrace("--F: too many kept files waiting for a retry, s=%s file=%s waits for the next start",
                     pRequest->source.c_str(), pRequest->filename.c_str());
            return;
        }
        auto wait = RetryWait(pRequest->nRetries, m_pShared->limits.firstRetryWait,
                              m_pShared->limits.longestRetryWait);
        LogTrace("--I: kept file s=%s file=%s is tried again in %lld s", pRequest->source.c_str(),
                 pRequest->filename.c_str(), static_cast<long long>(wait.count() / 1000));
        ++pRequest->nRetries;
        m_pShared->retries.emplace(m_pShared->clock.DeadlineAfter(wait.count()),
                                   CShared::CLater{pRequest.get(), true});
        pRequest.release();
        m_pShared->retryChanged.notify_all();
    } catch (...) {
        LogTrace("*** E: CIOThreadPool RetryLater ***");
    }
}

size_t CIOThreadPool::GetWaitingRetryCount() {
    std::lock_guard<std::mutex> guard(m_pShared->retryMutex);
    return m_pShared->retryKeys.size();
}

void CIOThreadPool::DispatchLater(std::unique_ptr<CFileRequest> pRequest, std::chrono::milliseconds pause) {
    try {
        std::lock_guard<std::mutex> guard(m_pShared->retryMutex);
        if (!m_pShared->bRetriesOpen)
            return;
        if (m_pShared->nWaitingForWriter >= kMaxWaitingForWriter) {
            LogTrace("--F: too many files waiting for their writer, s=%s file=%s waits for the next start",
                     pRequest->source.c_str(), pRequest->filename.c_str());
            return;
        }
        int64_t nDue = m_pShared->clock.DeadlineAfter(pause.count());
        auto later = m_pShared->retries.emplace(nDue, CShared::CLater{pRequest.get(), false});
        pRequest.release();
        ++m_pShared->nWaitingForWriter;
        // The retry thread sleeps until the first item is due; only an earlier one changes that.
        if (later == m_pShared->retries.begin())
            m_pShared->retryChanged.notify_all();
    } catch (...) {
        LogTrace("*** E: CIOThreadPool DispatchLater ***");
    }
}

size_t CIOThreadPool::GetWaitingForWriterCount() {
    std::lock_guard<std::mutex> guard(m_pShared->retryMutex);
    return m_pShared->nWaitingForWriter;
}

void CIOThreadPool::RetryThreadMain(std::shared_ptr<CShared> pShared) {
    std::unique_lock<std::mutex> lock(pShared->retryMutex);
    while (pShared->bRetriesOpen) {
        int64_t nFirstDue =
            pShared->retries.empty() ? Platform::IClock::kNever : pShared->retries.begin()->first;
        if (pShared->clock.GetMonotonicMilliseconds() < nFirstDue) {
            pShared->clock.WaitOnce(lock, pShared->retryChanged, nFirstDue);
            continue;
        }
        auto first = pShared->retries.begin();
        CShared::CLater later = first->second;
        pShared->retries.erase(first);
        if (later.bKept)
            pShared->retryKeys.erase(RetryKey(*later.pRequest));
        else
            --pShared->nWaitingForWriter;
        lock.unlock();
        if (later.bKept)
            LogTrace("--I: retrying kept file s=%s file=%s (retry %d)", later.pRequest->source.c_str(),
                     later.pRequest->filename.c_str(), later.pRequest->nRetries);
        Enqueue(pShared, later.pRequest, !later.bKept);
        lock.lock();
    }
}

void CIOThreadPool::StopRetries() {
    {
        std::lock_guard<std::mutex> guard(m_pShared->retryMutex);
        m_pShared->bRetriesOpen = false;
        for (auto& retry : m_pShared->retries)
            delete retry.second.pRequest;
        m_pShared->retries.clear();
        m_pShared->retryKeys.clear();
        m_pShared->nWaitingForWriter = 0;
    }
    m_pShared->retryChanged.notify_all();
    if (m_retryThread.joinable())
        m_retryThread.join();
}

int CIOThreadPool::ShutdownThreadPool() {
    // Kept files stay in their hot folders for the next start.
    StopRetries();
    {
        std::lock_guard<std::mutex> guard(m_pShared->requestMutex);
        m_pShared->bStopping = true;
    }
    m_pShared->requestsChanged.notify_all();
    std::unique_lock<std::mutex> lock(m_pShared->queueMutex);
    if (!m_pShared->bPortOpen)
        return 1;
    for (size_t i = 0; i < m_dispatchers.size(); ++i)
        m_pShared->queue.push_back(CPacket());
    m_pShared->queueChanged.notify_all();
    size_t nDispatchers = m_dispatchers.size();
    bool bEnded = m_pShared->clock.WaitUntil(
        lock, m_pShared->queueChanged, m_pShared->clock.DeadlineAfter(kShutdownWait.count()),
        [&] { return static_cast<size_t>(m_pShared->nEndedDispatchers) == nDispatchers; });
    m_pShared->bPortOpen = false;
    m_bDispatchersEnded = bEnded;
    // Requests still queued behind a stuck dispatcher stay in their hot folder for the next start.
    for (const CPacket& packet : m_pShared->queue)
        delete packet.pRequest;
    m_pShared->queue.clear();
    lock.unlock();
    // A dispatcher that did not end in time cannot be ended by force; it is left to end on its own,
    // holding only the shared state.
    for (std::thread& dispatcher : m_dispatchers) {
        if (bEnded)
            dispatcher.join();
        else
            dispatcher.detach();
    }
    m_dispatchers.clear();
    return 1;
}

bool CIOThreadPool::WaitForRequestThreads(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_pShared->requestMutex);
    return m_pShared->clock.WaitUntil(lock, m_pShared->requestsChanged,
                                      m_pShared->clock.DeadlineAfter(timeout.count()),
                                      [&] { return m_pShared->nRunningRequests == 0; });
}

size_t CIOThreadPool::GetRunningRequestCount() {
    std::lock_guard<std::mutex> guard(m_pShared->requestMutex);
    return m_pShared->nRunningRequests;
}

void CIOThreadPool::DispatchThreadMain(std::shared_ptr<CShared> pShared) {
    try {
        while (true) {
            CPacket packet;
            {
                std::unique_lock<std::mutex> lock(pShared->queueMutex);
                pShared->queueChanged.wait(lock, [&] { return !pShared->queue.empty(); });
                packet = pShared->queue.front();
                pShared->queue.pop_front();
            }
            if (packet.pRequest == nullptr)
                break;
            if (!packet.bQuiet)
                LogTraceDetail("--I: threadpool new request received --");
            HandleRequest(pShared, packet);
            if (!packet.bQuiet)
                LogTraceDetail("--I: threadpool end request  --");
        }
    } catch (...) {
        LogTrace("*** E: in DispatchThreadMain ThreadMain ***");
    }
    std::lock_guard<std::mutex> guard(pShared->queueMutex);
    ++pShared->nEndedDispatchers;
    pShared->queueChanged.notify_all();
}

void CIOThreadPool::HandleRequest(const std::shared_ptr<CShared>& pShared, const CPacket& packet) {
    std::unique_ptr<CFileRequest> pOwned(packet.pRequest);
    try {
        // Actions 4 (old name of a rename) and 0 (no record) name no file to process.
        if ((pOwned->action & 3) == 0)
            return;
        {
            std::unique_lock<std::mutex> lock(pShared->requestMutex);
            pShared->requestsChanged.wait(lock, [&] {
                return pShared->bStopping || pShared->nRunningRequests < pShared->limits.nMaxRequestThreads;
            });
            // Stopping with every slot taken: the file stays in its hot folder for the next start.
            if (pShared->nRunningRequests >= pShared->limits.nMaxRequestThreads)
                return;
            ++pShared->nRunningRequests;
        }
        CFileRequest* pRequest = pOwned.release();
        bool bQuiet = packet.bQuiet;
        bool bStarted = false;
        try {
            bStarted = Platform::StartDetachedThread([pShared, pRequest, bQuiet] {
                RequestHandlerThreadMain(pShared, std::unique_ptr<CFileRequest>(pRequest), bQuiet);
            });
        } catch (...) {
            // Out of memory before the thread existed: the request was not handed over.
        }
        if (!bStarted) {
            delete pRequest;
            std::lock_guard<std::mutex> guard(pShared->requestMutex);
            --pShared->nRunningRequests;
            pShared->requestsChanged.notify_all();
            throw std::runtime_error("no request thread");
        }
    } catch (...) {
        LogTrace("*** E: CIOThreadPool HandleRequest ***");
    }
}

void CIOThreadPool::RequestHandlerThreadMain(std::shared_ptr<CShared> pShared,
                                             std::unique_ptr<CFileRequest> pRequest, bool bQuiet) {
    try {
        if (!bQuiet)
            LogTrace("--I: RequestHandlerThreadMain created");
        if (pShared->processor)
            pShared->processor(std::move(pRequest));
    } catch (...) {
        LogTrace("*** E:  RequestHandlerThreadMain ***");
    }
    pRequest.reset();
    std::lock_guard<std::mutex> guard(pShared->requestMutex);
    --pShared->nRunningRequests;
    pShared->requestsChanged.notify_all();
}
