#pragma once

#include <string>

// A paper size in inches, portrait (width not larger than length).
struct SPaperSize {
    double dWidth = 0.0;
    double dLength = 0.0;
    bool IsKnown() const { return dWidth > 0.0 && dLength > 0.0; }
};

// Named sizes shared by the formats.
namespace Paper {
constexpr double kMmPerInch = 25.4;
const SPaperSize kLetter{8.5, 11.0};
const SPaperSize kLegal{8.5, 14.0};
const SPaperSize kExecutive{7.25, 10.5};
const SPaperSize kLedger{11.0, 17.0};
const SPaperSize kA3{297 / kMmPerInch, 420 / kMmPerInch};
const SPaperSize kA4{210 / kMmPerInch, 297 / kMmPerInch};
const SPaperSize kA5{148 / kMmPerInch, 210 / kMmPerInch};
const SPaperSize kA6{105 / kMmPerInch, 148 / kMmPerInch};
const SPaperSize kIsoB5{176 / kMmPerInch, 250 / kMmPerInch};
const SPaperSize kJisB4{257 / kMmPerInch, 364 / kMmPerInch};
const SPaperSize kJisB5{182 / kMmPerInch, 257 / kMmPerInch};
const SPaperSize kCom10{4.125, 9.5};
const SPaperSize kMonarch{3.875, 7.5};
const SPaperSize kC5{162 / kMmPerInch, 229 / kMmPerInch};
const SPaperSize kDl{110 / kMmPerInch, 220 / kMmPerInch};
const SPaperSize kPostcard{100 / kMmPerInch, 148 / kMmPerInch};
const SPaperSize kDoublePostcard{148 / kMmPerInch, 200 / kMmPerInch};
} // namespace Paper

// A size or unit code read from a file as a number: the code when it is a whole number from 0
// to 65535, else -1 (so that a huge or fractional value can never be cast out of range).
inline int PaperCode(double dValue) {
    return dValue >= 0.0 && dValue <= 65535.0 && dValue == static_cast<double>(static_cast<int>(dValue))
               ? static_cast<int>(dValue)
               : -1;
}

// A paper name as PJL PAPER and PCL XL media names spell it ("LETTER", "A4", "COM10", ...),
// without regard to case; an unknown size for any other name.
SPaperSize PaperFromName(const std::string& strName);
