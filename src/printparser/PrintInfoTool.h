#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The operator tool: "KlendoPrintInfo [--json] FILE..." prints one line per file,
// "FILE: format=PDF pages=12 width=8.500 length=11.000", or with --json one JSON array of
// {"file","format","pages","width","length"} objects (and "error" for a file that cannot be read).
// Returns the exit code: 0 all files read, 1 a file could not be read, 2 bad usage. The tool limits
// itself as the agent limits its workers (and 8 MiB of stack), with processor time for every file.
int RunPrintInfoTool(const std::vector<std::string>& args, std::FILE* pOut, std::FILE* pErr);
