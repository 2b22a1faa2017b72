#pragma once

#include <string>

// Byte-wise comparisons of ASCII letters without regard to case, as the agent compares names.
bool EqualsNoCase(const std::string& strA, const std::string& strB);
bool EndsWithNoCase(const std::string& strText, const std::string& strEnd);

// strText without leading and trailing blanks and tabs.
std::string TrimBlanks(const std::string& strText);

// strText with every occurrence of strWhat replaced by strWith, left to right.
std::string ReplaceAll(std::string strText, const std::string& strWhat, const std::string& strWith);
