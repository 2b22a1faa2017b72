#include "printparser/PrintInfoTool.h"

#include <cstdio>

int main(int argc, char** argv) {
    return RunPrintInfoTool(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
