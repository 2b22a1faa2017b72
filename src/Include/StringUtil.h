#pragma once

#include <string>

// Byte-wise comparisons of ASCII letters without regard to case, as the agent compares names.
bool EqualsNoCase(const std::string& strA, const std::string& strB);
bool EndsWithNoCase(const std::string& strText, const std::string& strEnd);

// strText without leading and trailing blanks and tabs.
std::string TrimBlanks(const std::string& strText);

// strText with every occurrence of strWhat replaced by strWith, left to right.
std::string ReplaceAll(std::string strText, const std::string& strWhat, const std::string& strWith);

// The number at the front of a text as atoi and atof read it (leading blanks, a sign, decimal digits;
// for the double a point and an exponent too; anything after is ignored, no number gives 0), without
// their undefined behaviour: integers beyond the 32-bit range stop at its ends, and "inf", "nan" and
// hexadecimal texts give 0.
int ParseLeadingInt(const std::string& strText);
double ParseLeadingDouble(const std::string& strText);

// Narrowing a double beyond the float range is undefined, so such values stop at the largest float.
float ClampToFloat(double dValue);

// strText as UTF-8 that XML 1.0 can hold: each sequence that is not UTF-8 (a stray or overlong byte,
// a cut sequence, a surrogate, a code point past U+10FFFF) becomes one U+FFFD for its longest valid
// beginning, and so does each character XML 1.0 forbids (C0 controls but tab, line feed and carriage
// return; U+FFFE and U+FFFF). Everything else stays as it is.
std::string ToXmlSafeUtf8(const std::string& strText);

// The value of a hexadecimal digit of either case, -1 for any other character.
int HexDigitValue(int c);

// strText for one field of a line-based file or protocol: "%" and every byte of szEscaped written as
// "%XX" (upper-case hexadecimal), so that any byte, a line end or a separator too, can stand in it.
std::string EscapeBytes(const std::string& strText, const char* szEscaped);
// Back from EscapeBytes. False for a "%" not followed by two hexadecimal digits, or a byte of
// szEscaped standing bare (a damaged field); strPlain is then unusable.
bool UnescapeBytes(const std::string& strText, const char* szEscaped, std::string& strPlain);
