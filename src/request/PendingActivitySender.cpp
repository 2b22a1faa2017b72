#include "request/PendingActivitySender.h"

#include "Include/LogFile.h"
#include "Include/StatusReport.h"
#include "platform/Clock.h"
#include "request/PendingActivityResend.h"

#include <algorithm>
#include <system_error>

CPendingActivitySender::CPendingActivitySender(Platform::IClock& clock, CStatusReport& statusReport)
    : m_clock(clock), m_statusReport(statusReport) {}

CPendingActivitySender::~CPendingActivitySender() {
    Stop();
}

void CPendingActivitySender::Start(const CRequestEnvironment& environment) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bRunning)
        return;
    m_environment = environment;
    m_bRunning = true;
    m_bStopping = false;
    m_bKicked = false;
    m_retryWait = kFirstWait;
    m_nKicks = m_nKicksServed = 0;
    m_nResends = 0;
    // The archive may hold activities of an earlier run.
    Arm();
    EnsureThread();
}

void CPendingActivitySender::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bRunning)
            return;
        m_bStopping = true;
        m_bArmed = false;
    }
    m_changed.notify_all();
}

void CPendingActivitySender::Stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bRunning)
            return;
        m_bRunning = false;
        m_bStopping = true;
        m_bArmed = false;
        thread = std::move(m_thread);
    }
    m_changed.notify_all();
    if (thread.joinable())
        thread.join();
}

void CPendingActivitySender::Kick() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bRunning)
        return;
    EnsureThread();
    m_bKicked = true;
    ++m_nKicks;
    m_changed.notify_all();
}

void CPendingActivitySender::NoteArchived() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bRunning || m_bArmed)
        return;
    EnsureThread();
    Arm();
    m_changed.notify_all();
}

bool CPendingActivitySender::WaitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    long nKicks = m_nKicks;
    return m_changed.wait_for(lock, timeout, [&] { return m_nKicksServed >= nKicks; });
}

bool CPendingActivitySender::WaitForResends(int nCount, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_nResends >= nCount; });
}

int CPendingActivitySender::GetResendCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nResends;
}

std::chrono::milliseconds CPendingActivitySender::GetRetryWait() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_retryWait;
}

void CPendingActivitySender::ThreadMain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStopping) {
        bool bDue = m_bArmed && m_clock.GetMonotonicMilliseconds() >= m_nDue;
        if (!m_bKicked && !bDue) {
            m_clock.WaitOnce(lock, m_changed, m_bArmed ? m_nDue : Platform::IClock::kNever);
            continue;
        }
        m_bKicked = false;
        m_bArmed = false;
        long nKicks = m_nKicks;
        CRequestEnvironment environment = m_environment;
        lock.unlock();
        SResendOutcome outcome =
            CPendingActivityResend(environment, [this] { return m_bStopping.load(); }).Run();
        // A re-send that could not read the archive knows nothing of what it holds.
        if (outcome.bCompleted || outcome.nAcknowledged + outcome.nRefused + outcome.nRejected > 0)
            m_statusReport.SetPending(outcome.nLeft, outcome.nAcknowledged > 0);
        lock.lock();
        m_nKicksServed = nKicks;
        ++m_nResends;
        Schedule(outcome.bCompleted, outcome.nLeft);
        m_changed.notify_all();
    }
}

void CPendingActivitySender::Schedule(bool bCompleted, size_t nLeft) {
    m_retryWait = bCompleted ? kFirstWait : std::min(m_retryWait * 2, kLongestWait);
    // An activity archived during the re-send may have armed the timer already; it stays armed.
    if (nLeft == 0 && bCompleted)
        return;
    Arm();
    LogTrace("--I: next re-send of pending activities in %lld s",
             static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(m_retryWait).count()));
}

void CPendingActivitySender::Arm() {
    m_bArmed = true;
    m_nDue = m_clock.DeadlineAfter(m_retryWait.count());
}

void CPendingActivitySender::EnsureThread() {
    if (m_thread.joinable())
        return;
    try {
        m_thread = std::thread(&CPendingActivitySender::ThreadMain, this);
    } catch (const std::system_error& error) {
        LogTrace(
            "--F: pending activity sender cannot start its thread error =%d, it tries again with the next "
            "archived or acknowledged activity",
            error.code().value());
    }
}
