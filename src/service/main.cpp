#include "client/HttpRequest.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "request/FileRequestHandler.h"
#include "request/ParserWorkers.h"
#include "request/PendingActivitySender.h"
#include "request/RequestEnvironment.h"
#include "service/AgentService.h"
#include "service/CommandLine.h"
#include "service/SettingsCheck.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// How long exchanges with the server may still run after a stop arrived.
constexpr std::chrono::seconds kExchangeStopGrace{20};

} // namespace

// The process ends without running static destructors: a request or monitor thread that did not
// end within its stop wait may still be running, and must not meet objects being destroyed. The
// log is closed by then; only standard streams need a flush.
int main(int argc, char** argv) {
    Platform::CEnvironment& environment = Platform::RealEnvironment();
    CAgentService service(environment);
    CParserWorkers parserWorkers(*environment.pLauncher);
    CRequestEnvironment requestEnvironment = RequestEnvironmentIn(Platform::GetModuleFolder());
    requestEnvironment.pParserWorkers = &parserWorkers;
    requestEnvironment.pSessions = environment.pSessions;
    CStatusReport& statusReport = service.GetStatusReport();
    CPendingActivitySender sender(*environment.pClock, statusReport);
    CRequestProcessing processing(requestEnvironment, *environment.pFiles, sender, statusReport);
    CIOThreadPool& pool = service.GetServiceManager().GetThreadPool();
    pool.SetRequestProcessor([&pool, &processing](std::unique_ptr<CFileRequest> pRequest) {
        ProcessFileRequest(std::move(pRequest), pool, processing);
    });
    service.SetRunHooks(
        [&processing, &sender, &statusReport] {
            const CRequestEnvironment started = processing.GetEnvironment();
            statusReport.SetPending(CountPendingActivities(started.strArchiveFolder), false);
            sender.Start(started);
        },
        [&sender] {
            // No new re-send batch; posts queued behind a slow server for one of the few connections,
            // and exchanges with a server that hangs, must not hold the stop past the service
            // manager's patience. What they carried stays archived or in its hot folder.
            sender.RequestStop();
            CHttpRequest::StopWaitingForConnections();
            CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::now() + kExchangeStopGrace);
        },
        [&sender] { sender.Stop(); });
    int nExitCode = service.Main(JoinCommandLine(argc, argv));
    std::fflush(nullptr);
    std::_Exit(nExitCode);
}
