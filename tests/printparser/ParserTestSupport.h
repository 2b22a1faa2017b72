#pragma once

#include "printparser/PrintFileParser.h"

#include <string>

// The corpus folder (tests/printparser/corpus).
std::string CorpusPath(const std::string& strName);

// ParsePrintBuffer over the bytes of strData; the result must be 1.
FILEFORMATINFO ParseBytes(const std::string& strData);

// An A4 page size as the parser reports it.
constexpr double kA4Width = 210 / 25.4;
constexpr double kA4Length = 297 / 25.4;
constexpr double kTolerance = 0.05;
