#include "request/ParserWorkers.h"

#include "platform/Thread.h"
#include "printparser/ParserChild.h"

#include <algorithm>
#include <thread>

size_t CParserWorkers::GetMaxWorkers() {
    // Parsing is processor work: two per processor keep every processor busy while a worker waits
    // for the disk.
    return std::max<size_t>(4, 2 * std::thread::hardware_concurrency());
}

std::unique_ptr<CParserWorkers::CWorker>
CParserWorkers::Take(const std::string& strParserPath, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Workers of another parser program (tests move it) are not reused.
    m_idle.erase(std::remove_if(m_idle.begin(), m_idle.end(),
                                [&](const std::unique_ptr<CWorker>& pIdle) {
                                    return pIdle->strParserPath != strParserPath;
                                }),
                 m_idle.end());
    m_workerFree.wait_until(lock, deadline, [&] { return !m_idle.empty() || m_nTaken < GetMaxWorkers(); });
    ++m_nTaken;
    if (!m_idle.empty()) {
        std::unique_ptr<CWorker> pWorker = std::move(m_idle.back());
        m_idle.pop_back();
        return pWorker;
    }
    lock.unlock();
    auto pWorker = std::make_unique<CWorker>();
    pWorker->strParserPath = strParserPath;
    // Processor time is given per file (CLease::Send); memory for the worker's whole life.
    Platform::CProcessLimits limits;
    limits.nMemoryBytes = kParserMemoryBytes;
    pWorker->pProcess = m_launcher.Start(strParserPath, {kParserWorkerSwitch}, limits, true);
    if (pWorker->pProcess)
        return pWorker;
    int nError = Platform::GetLastError();
    GiveBack(nullptr, false);
    Platform::SetLastError(nError);
    return nullptr;
}

void CParserWorkers::GiveBack(std::unique_ptr<CWorker> pWorker, bool bHealthy) {
    // A worker that is not kept is ended outside the lock: ending it waits for the process.
    std::unique_ptr<CWorker> pEnded;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        --m_nTaken;
        // Workers started beyond the maximum in a busy moment are not kept: the idle set stays
        // within the maximum.
        if (pWorker && bHealthy && ++pWorker->nUses < kMaxUses && m_idle.size() < GetMaxWorkers())
            m_idle.push_back(std::move(pWorker));
        else
            pEnded = std::move(pWorker);
    }
    m_workerFree.notify_one();
}

CParserWorkers::CLease::CLease(CParserWorkers& workers, const std::string& strParserPath,
                               std::chrono::steady_clock::time_point deadline)
    : m_workers(workers), m_strParserPath(strParserPath) {
    Retake(deadline);
}

void CParserWorkers::CLease::Return(bool bHealthy) {
    if (m_pWorker)
        m_workers.GiveBack(std::move(m_pWorker), bHealthy);
}

void CParserWorkers::CLease::Retake(std::chrono::steady_clock::time_point deadline) {
    Return(false);
    m_pWorker = m_workers.Take(m_strParserPath, deadline);
    if (!m_pWorker)
        m_nError = Platform::GetLastError();
}

bool CParserWorkers::CLease::Send(const std::string& strPath, const Platform::IFileBeneath* pFile) {
    // A worker that cannot be given its time has ended; the write below tells.
    (void)m_pWorker->pProcess->AllowCpuTimeFromNow(kParserCpuSecondsPerFile);
    return m_pWorker->pProcess->WriteLine(EscapePathLine(strPath), pFile);
}

CParserWorkers::CLease::ParseResult CParserWorkers::CLease::Parse(const std::string& strPath,
                                                                  const Platform::IFileBeneath* pFile,
                                                                  std::chrono::milliseconds limit,
                                                                  FILEFORMATINFO& info) {
    if (!IsHeld())
        return ParseResult::NoWorker;
    bool bSent = Send(strPath, pFile);
    // A worker that waited idle may have ended meanwhile, through no fault of this file: a fresh
    // one is tried.
    if (!bSent && m_pWorker->nUses > 0) {
        Retake(std::chrono::steady_clock::now() + limit);
        if (!IsHeld())
            return ParseResult::NoWorker;
        bSent = Send(strPath, pFile);
    }
    if (!bSent) {
        Return(false);
        return ParseResult::Ended;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::string strLine;
    Platform::IChildProcess::ReadResult result;
    while ((result = m_pWorker->pProcess->ReadLine(strLine, deadline)) ==
           Platform::IChildProcess::ReadResult::Line) {
        if (strLine == kParserEndLine) {
            Return(true);
            return ParseResult::Finished;
        }
        ParseProgressLine(strLine, info);
    }
    Return(false);
    return result == Platform::IChildProcess::ReadResult::TimedOut ? ParseResult::TimedOut
                                                                   : ParseResult::Ended;
}
