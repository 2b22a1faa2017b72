#pragma once

#include <string>

// The switches of the agent's command line: registration, and the settings check.
enum class AgentSwitch { None, RegServer, Service, UnregServer, Check };

// The command line as one string: the arguments joined with single blanks, as the Windows agent
// receives it.
std::string JoinCommandLine(int nArgc, const char* const* pArgv);

// Each "-" or "/" starts a token that runs to the end of the line; the first token that equals a
// switch name, without regard to case, decides. So a switch counts only as the last word, and a "/"
// inside a path starts a token that matches nothing.
AgentSwitch FindSwitch(const std::string& strCommandLine);
