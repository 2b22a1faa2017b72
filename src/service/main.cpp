#include "service/AgentService.h"
#include "service/CommandLine.h"

int main(int argc, char** argv) {
    return g_agentService.Main(JoinCommandLine(argc, argv));
}
