#pragma once

#include <chrono>
#include <string>

// What every request of the process shares and tests may move: where the archive lives, which
// program parses print files, and the pipeline's fixed waits.
struct CRequestEnvironment {
    // The module directory: the folder of the agent's executable, which holds the archive.
    std::string strArchiveFolder;
    // KlendoPrintInfo beside the agent's executable.
    std::string strParserPath;
    std::chrono::milliseconds parseLimit{300000};
    int nWriteCompleteTries = 1000;
    std::chrono::milliseconds writeCompleteInterval{50};
    // Where no write lease can prove a file closed, it must also keep its size and time this long.
    std::chrono::milliseconds stableWindow{1000};
};

// The environment beside the running executable, unless SetRequestEnvironment replaced it.
CRequestEnvironment GetRequestEnvironment();
void SetRequestEnvironment(const CRequestEnvironment& environment);
