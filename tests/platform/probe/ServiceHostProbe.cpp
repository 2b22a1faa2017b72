#include "platform/ServiceHost.h"

#include <cstdio>
#include <mutex>
#include <vector>

// A service for the host's tests: it runs under the service control manager until a stop arrives,
// and writes where the stop came from and its code, then the controls it did not take, to the file
// named by its one argument.
int main(int nArguments, char** ppArguments) {
    if (nArguments != 2)
        return 2;
    Platform::CServiceHost host;
    std::mutex unknownMutex;
    std::vector<int> unknownControls;
    host.SetUnknownControlHandler([&](int nControl) {
        std::lock_guard<std::mutex> lock(unknownMutex);
        unknownControls.push_back(nControl);
    });
    if (!host.IsStartedByServiceManager() || !host.Open())
        return 3;
    host.ReportState(Platform::ServiceState::StartPending);
    host.ReportState(Platform::ServiceState::Running);
    Platform::StopReason reason = host.WaitForStop();
    host.ReportState(Platform::ServiceState::StopPending);
    FILE* pResult = std::fopen(ppArguments[1], "w");
    if (pResult != nullptr) {
        std::fprintf(pResult, "%d %d", static_cast<int>(reason), host.GetStopCode());
        std::lock_guard<std::mutex> lock(unknownMutex);
        for (int nControl : unknownControls)
            std::fprintf(pResult, " unknown %d", nControl);
        std::fclose(pResult);
    }
    host.ReportState(Platform::ServiceState::Stopped);
    return 0;
}
