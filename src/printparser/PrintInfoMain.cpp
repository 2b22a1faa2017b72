#include "printparser/ParserChild.h"
#include "printparser/PrintInfoTool.h"

#include <cstdio>
#include <cstring>

// The operator tool, and the agent's parser child when started with the child switch.
int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], kParserChildSwitch) == 0)
        return RunParserChild(argv[2], stdout);
    return RunPrintInfoTool(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
