#include "client/HttpRequest.h"
#include "request/FileRequestHandler.h"
#include "request/PendingActivitySender.h"
#include "request/RequestEnvironment.h"
#include "service/AgentService.h"
#include "service/CommandLine.h"

#include <cstdio>
#include <cstdlib>

// The process ends without running static destructors: a request or monitor thread that did not
// end within its stop wait may still be running, and must not meet objects being destroyed. The
// log is closed by then; only standard streams need a flush.
int main(int argc, char** argv) {
    CIOThreadPool& pool = g_agentService.GetServiceManager().GetThreadPool();
    pool.SetRequestProcessor(
        [&pool](std::unique_ptr<CFileRequest> pRequest) { ProcessFileRequest(std::move(pRequest), pool); });
    g_agentService.SetRunHooks(
        [] { g_pendingActivitySender.Start(GetRequestEnvironment().strArchiveFolder); },
        [] {
            // Posts queued behind a slow server for one of the few connections would hold up the stop.
            CHttpRequest::StopWaitingForConnections();
            g_pendingActivitySender.Stop();
        });
    int nExitCode = g_agentService.Main(JoinCommandLine(argc, argv));
    std::fflush(nullptr);
    std::_Exit(nExitCode);
}
