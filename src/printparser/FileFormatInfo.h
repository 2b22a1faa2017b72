#pragma once

// What the parser found in one print file. Zero-filled means "nothing known"; an unknown format
// leaves everything zero and is not an error.
enum EPrintFormat {
    kFormatUnknown = 0,
    kFormatPdf = 1,
    kFormatPostScript = 2,
    kFormatPcl5 = 3,
    kFormatPclXl = 4,
    kFormatXps = 5,
};

struct FILEFORMATINFO {
    // Pages counted in the file.
    int nPageCount = 0;
    // A second, independent count (0 when there is none); callers take the larger of the two.
    int nPageCount2 = 0;
    // The first page's paper, in inches.
    double dWidth = 0.0;
    double dLength = 0.0;
    // An EPrintFormat value.
    int nFormat = kFormatUnknown;
};

// "PDF", "PS", "PCL5", "PCLXL", "XPS" or "UNKNOWN".
const char* PrintFormatName(int nFormat);
