#include "request/ParserWorkers.h"

#include "printparser/ParserChild.h"

CParserWorkers g_parserWorkers;

std::unique_ptr<CParserWorkers::CWorker> CParserWorkers::Take(const std::string& strParserPath) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        // Workers of another parser program (tests move it) are not reused.
        if (strParserPath != m_strParserPath) {
            m_idle.clear();
            m_strParserPath = strParserPath;
        }
        if (!m_idle.empty()) {
            std::unique_ptr<CWorker> pWorker = std::move(m_idle.back());
            m_idle.pop_back();
            return pWorker;
        }
    }
    auto pWorker = std::make_unique<CWorker>();
    if (!pWorker->process.Start(strParserPath, {kParserWorkerSwitch}, true))
        return nullptr;
    return pWorker;
}

void CParserWorkers::GiveBack(std::unique_ptr<CWorker> pWorker, bool bHealthy) {
    if (!bHealthy || ++pWorker->nUses >= kMaxUses)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_idle.size() < kMaxIdle)
        m_idle.push_back(std::move(pWorker));
}
