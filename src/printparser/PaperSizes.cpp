#include "printparser/PaperSizes.h"

#include "Include/StringUtil.h"

#include <utility>

SPaperSize PaperFromName(const std::string& strName) {
    static const std::pair<const char*, SPaperSize> kNames[] = {
        {"LETTER", Paper::kLetter},
        {"LEGAL", Paper::kLegal},
        {"EXECUTIVE", Paper::kExecutive},
        {"EXEC", Paper::kExecutive},
        {"LEDGER", Paper::kLedger},
        {"TABLOID", Paper::kLedger},
        {"A3", Paper::kA3},
        {"A4", Paper::kA4},
        {"A5", Paper::kA5},
        {"A6", Paper::kA6},
        {"B5", Paper::kIsoB5},
        {"B5ENV", Paper::kIsoB5},
        {"JISB4", Paper::kJisB4},
        {"JISB5", Paper::kJisB5},
        {"B4", Paper::kJisB4},
        {"COM10", Paper::kCom10},
        {"MONARCH", Paper::kMonarch},
        {"C5", Paper::kC5},
        {"DL", Paper::kDl},
        {"JPOSTCARD", Paper::kPostcard},
        {"JDOUBLEPOSTCARD", Paper::kDoublePostcard},
    };
    std::string strTrimmed = TrimBlanks(strName);
    for (const auto& entry : kNames) {
        if (EqualsNoCase(strTrimmed, entry.first))
            return entry.second;
    }
    return SPaperSize{};
}
