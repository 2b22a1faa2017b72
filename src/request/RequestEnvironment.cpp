#include "request/RequestEnvironment.h"

#include "Include/LogFile.h"
#include "platform/FileSystem.h"

#include <memory>
#include <mutex>

namespace {

std::mutex g_environmentMutex;
std::unique_ptr<CRequestEnvironment> g_pEnvironment;

CRequestEnvironment BesideTheExecutable() {
    CRequestEnvironment environment;
    environment.strArchiveFolder = SplitPath(Platform::GetModuleFilePath(), 3);
    environment.strParserPath = JoinPath(environment.strArchiveFolder, "KlendoPrintInfo");
    return environment;
}

} // namespace

CRequestEnvironment GetRequestEnvironment() {
    std::lock_guard<std::mutex> guard(g_environmentMutex);
    if (!g_pEnvironment)
        g_pEnvironment = std::make_unique<CRequestEnvironment>(BesideTheExecutable());
    return *g_pEnvironment;
}

void SetRequestEnvironment(const CRequestEnvironment& environment) {
    std::lock_guard<std::mutex> guard(g_environmentMutex);
    g_pEnvironment = std::make_unique<CRequestEnvironment>(environment);
}
