#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Limits for a process that parses untrusted print files: 1 GiB of address space, 8 MiB of stack
// and nCpuSeconds of processor time. False (and a log line) when a limit could not be set.
bool ApplyParserResourceLimits(unsigned long long nCpuSeconds);

// Processor time allowed per parsed file.
constexpr unsigned long long kParserCpuSecondsPerFile = 300;

// The operator tool: "KlendoPrintInfo [--json] FILE..." prints one line per file,
// "FILE: format=PDF pages=12 width=8.500 length=11.000", or with --json one JSON array of
// {"file","format","pages","width","length"} objects (and "error" for a file that cannot be read).
// Returns the exit code: 0 all files read, 1 a file could not be read, 2 bad usage.
int RunPrintInfoTool(const std::vector<std::string>& args, std::FILE* pOut, std::FILE* pErr);
