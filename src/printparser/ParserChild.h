#pragma once

#include "printparser/FileFormatInfo.h"

#include <cstdio>
#include <string>

// The agent runs every parse of a print file in a child process, "KlendoPrintInfo --agent-child
// FILE", so that a parse can be abandoned at its time limit and a crash ends only the child. The
// child prints one progress line each time a value changes; the last line read holds the values
// found so far.
constexpr const char* kParserChildSwitch = "--agent-child";

// "pages=N pages2=N width=W length=L format=F".
std::string FormatProgressLine(const FILEFORMATINFO& info);

// Reads a progress line into info; false, leaving info unchanged, for a line that is not one.
bool ParseProgressLine(const std::string& strLine, FILEFORMATINFO& info);

// The child's work: limits its own resources, parses strPath and reports progress on pOut.
int RunParserChild(const std::string& strPath, std::FILE* pOut);
