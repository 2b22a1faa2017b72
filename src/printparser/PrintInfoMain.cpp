#include "printparser/ParserChild.h"
#include "printparser/PrintInfoTool.h"

#include <cstdio>
#include <cstring>

// The operator tool, and the agent's parser worker when started with the worker switch.
int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], kParserWorkerSwitch) == 0)
        return RunParserWorker(stdout);
    return RunPrintInfoTool(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
