#include "support/FakeChangeWatcher.h"

#include "platform/Thread.h"

#include <chrono>
#include <filesystem>
#include <functional>

// What one watcher was told. strRoot and bReportModified are set before the watcher is started;
// mutex guards the rest.
struct CFakeChangeWatchers::CState {
    std::string strRoot;
    bool bReportModified = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Platform::CChangeBatch> batches;
    int nFailure = 0;
    bool bStop = false;
    // The watcher's thread is inside Wait.
    bool bWaiting = false;
    // Wait never returns again.
    bool bHung = false;
};

namespace {

// The system's "no such file" on both platforms.
constexpr int kNotFound = 2;

class CFakeChangeWatcher final : public Platform::IChangeWatcher {
  public:
    using Started = std::function<void(const std::shared_ptr<CFakeChangeWatchers::CState>&)>;

    CFakeChangeWatcher(std::shared_ptr<CFakeChangeWatchers::CState> pState, Started started)
        : m_pState(std::move(pState)), m_started(std::move(started)) {}

    bool OpenFolder(const std::string& strRoot) override {
        std::error_code error;
        if (!std::filesystem::is_directory(strRoot, error)) {
            Platform::SetLastError(kNotFound);
            return false;
        }
        m_pState->strRoot = strRoot;
        return true;
    }

    bool StartWatching(bool bReportModified, std::vector<Platform::CWatchFailure>&) override {
        m_pState->bReportModified = bReportModified;
        m_started(m_pState);
        return true;
    }

    Platform::WaitResult Wait(Platform::CChangeBatch& batch) override {
        std::unique_lock<std::mutex> lock(m_pState->mutex);
        m_pState->bWaiting = true;
        m_pState->changed.notify_all();
        m_pState->changed.wait(lock, [&] {
            return !m_pState->bHung &&
                   (m_pState->bStop || m_pState->nFailure != 0 || !m_pState->batches.empty());
        });
        m_pState->bWaiting = false;
        if (m_pState->bStop)
            return Platform::WaitResult::Stopped;
        if (!m_pState->batches.empty()) {
            batch = std::move(m_pState->batches.front());
            m_pState->batches.pop_front();
            return Platform::WaitResult::Changes;
        }
        Platform::SetLastError(m_pState->nFailure);
        return Platform::WaitResult::Failed;
    }

    void PostStop() override {
        std::lock_guard<std::mutex> guard(m_pState->mutex);
        m_pState->bStop = true;
        m_pState->changed.notify_all();
    }

    bool IsStopPosted() const override {
        std::lock_guard<std::mutex> guard(m_pState->mutex);
        return m_pState->bStop;
    }

  private:
    std::shared_ptr<CFakeChangeWatchers::CState> m_pState;
    Started m_started;
};

} // namespace

std::unique_ptr<Platform::IChangeWatcher> CFakeChangeWatchers::CreateWatcher() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_nCreationError != 0) {
        Platform::SetLastError(m_nCreationError);
        return nullptr;
    }
    return std::make_unique<CFakeChangeWatcher>(std::make_shared<CState>(),
                                                [this](const std::shared_ptr<CState>& pState) {
                                                    std::lock_guard<std::mutex> startGuard(m_mutex);
                                                    m_started.push_back(pState);
                                                });
}

void CFakeChangeWatchers::FailCreation(int nError) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_nCreationError = nError;
}

std::shared_ptr<CFakeChangeWatchers::CState> CFakeChangeWatchers::Find(const std::string& strRoot) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (auto it = m_started.rbegin(); it != m_started.rend(); ++it) {
        std::shared_ptr<CState> pState = it->lock();
        if (pState && pState->strRoot == strRoot)
            return pState;
    }
    return nullptr;
}

bool CFakeChangeWatchers::Push(const std::string& strRoot, const Platform::CChangeBatch& batch) {
    std::shared_ptr<CState> pState = Find(strRoot);
    if (!pState)
        return false;
    std::lock_guard<std::mutex> guard(pState->mutex);
    pState->batches.push_back(batch);
    pState->changed.notify_all();
    return true;
}

bool CFakeChangeWatchers::PushRecord(const std::string& strRoot, uint32_t nAction,
                                     const std::string& strName) {
    Platform::CChangeBatch batch;
    batch.records.push_back({nAction, strName});
    return Push(strRoot, batch);
}

bool CFakeChangeWatchers::PushOverflow(const std::string& strRoot) {
    Platform::CChangeBatch batch;
    batch.bOverflow = true;
    return Push(strRoot, batch);
}

bool CFakeChangeWatchers::Fail(const std::string& strRoot, int nError) {
    std::shared_ptr<CState> pState = Find(strRoot);
    if (!pState)
        return false;
    std::lock_guard<std::mutex> guard(pState->mutex);
    pState->nFailure = nError;
    pState->changed.notify_all();
    return true;
}

void CFakeChangeWatchers::HangWatchersStarted() {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const std::weak_ptr<CState>& pWeak : m_started) {
        if (std::shared_ptr<CState> pState = pWeak.lock()) {
            std::lock_guard<std::mutex> stateGuard(pState->mutex);
            pState->bHung = true;
        }
    }
}

bool CFakeChangeWatchers::WaitUntilIdle(const std::string& strRoot) {
    std::shared_ptr<CState> pState = Find(strRoot);
    if (!pState)
        return false;
    std::unique_lock<std::mutex> lock(pState->mutex);
    return pState->changed.wait_for(lock, std::chrono::seconds(30),
                                    [&] { return pState->bWaiting && pState->batches.empty(); });
}

bool CFakeChangeWatchers::ReportsModified(const std::string& strRoot) {
    std::shared_ptr<CState> pState = Find(strRoot);
    return pState && pState->bReportModified;
}
