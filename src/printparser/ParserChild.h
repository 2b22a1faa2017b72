#pragma once

#include "printparser/FileFormatInfo.h"

#include <cstdio>
#include <string>

// The agent parses print files in worker processes, "KlendoPrintInfo --agent-worker", so that a
// parse can be abandoned at its time limit and a crash ends only the worker. A worker reads one
// file's path per input line (and the open file itself along with it) and answers with a progress line each
// time a value changes, then the end line; it ends at the end of its input. The last progress line holds the
// values found so far.
constexpr const char* kParserWorkerSwitch = "--agent-worker";
constexpr const char* kParserEndLine = "end";

// What a parse of an untrusted print file may use: memory for the parsing process's life, processor
// time per file. The agent gives its workers these; the operator tool takes them itself.
constexpr unsigned long long kParserMemoryBytes = 1024ull * 1024 * 1024;
constexpr unsigned long long kParserCpuSecondsPerFile = 300;

// A path as one input line: "%" and line ends written as "%25", "%0A" and "%0D".
std::string EscapePathLine(const std::string& strPath);
std::string UnescapePathLine(const std::string& strLine);

// "pages=N pages2=N width=W length=L format=F".
std::string FormatProgressLine(const FILEFORMATINFO& info);

// Reads a progress line into info; false, leaving info unchanged, for a line that is not one.
bool ParseProgressLine(const std::string& strLine, FILEFORMATINFO& info);

// The worker's work: parses one file per line of standard input and reports on pOut until the input
// ends. Its limits come from the agent that started it. The file sent along a line is parsed (the agent sends
// the file it holds open); a line without one names the file by its path.
int RunParserWorker(std::FILE* pOut);
