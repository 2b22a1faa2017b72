#pragma once

#include "platform/ProcessLauncher.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace Platform {

// What a child's standard input, output or error is, when not a descriptor of the parent.
constexpr int kNullDevice = -1;
constexpr int kInheritStandard = -2;

struct CSpawnRequest {
    std::string strExecutable;
    // After the program's own name.
    std::vector<std::string> arguments;
    // "NAME=value" entries; null passes on the agent's own environment.
    const std::vector<std::string>* pEnvironment = nullptr;
    // Standard input, output and error: a descriptor of the parent, kNullDevice or kInheritStandard.
    int anStandard[3] = {kNullDevice, kNullDevice, kNullDevice};
    bool bOwnProcessGroup = true;
    CProcessLimits limits;
};

// The one way this agent starts a program. The child gets every signal at its default action and
// none blocked, no descriptor beyond 0/1/2, and the limits set before it runs; with
// bOwnProcessGroup it leads a process group of its own. The child's id, or -1 with errno when it
// could not be started (a failed exec included: the call returns only once the program runs).
pid_t SpawnProcess(const CSpawnRequest& request);

// The Linux process launcher that SystemProcessLauncher() hands out.
class CPosixProcessLauncher final : public IProcessLauncher {
  public:
    std::unique_ptr<IChildProcess> Start(const std::string& strExecutable,
                                         const std::vector<std::string>& arguments,
                                         const CProcessLimits& limits, bool bWithInput) override;
};

} // namespace Platform
