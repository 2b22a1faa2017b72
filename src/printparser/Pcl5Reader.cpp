#include "printparser/FormatReaders.h"

namespace {

constexpr int kEsc = 0x1b;
constexpr int kFormFeed = 0x0c;
constexpr double kDecipointsPerInch = 720.0;
// Values beyond this many digits cannot be meant; they are read but no longer grow.
constexpr double kLargestValue = 1e12;

SPaperSize PaperFromPcl5Code(int nCode) {
    switch (nCode) {
    case 1:
        return Paper::kExecutive;
    case 2:
        return Paper::kLetter;
    case 3:
        return Paper::kLegal;
    case 6:
        return Paper::kLedger;
    case 25:
        return Paper::kA5;
    case 26:
        return Paper::kA4;
    case 27:
        return Paper::kA3;
    case 45:
        return Paper::kJisB5;
    case 46:
        return Paper::kJisB4;
    case 80:
        return Paper::kMonarch;
    case 81:
        return Paper::kCom10;
    case 90:
        return Paper::kDl;
    case 91:
        return Paper::kC5;
    case 100:
        return Paper::kIsoB5;
    default:
        return SPaperSize{};
    }
}

// One parameterized command: ESC, its parameter character (! to /), its group character (` to ~,
// or 0), its value and its command character in upper case.
struct SCommand {
    int nParameter;
    int nGroup;
    double dValue;
    int nCommand;
    bool Is(int nParam, int nGrp, int nCmd) const {
        return nParameter == nParam && nGroup == nGrp && nCommand == nCmd;
    }
};

class CPcl5Reader {
  public:
    CPcl5Reader(CByteSource& source, CParseSink& sink, const SPaperSize& defaultPaper)
        : m_source(source), m_sink(sink), m_paper(defaultPaper) {}

    void Run();

  private:
    // False at the closing UEL.
    bool ReadEscape();
    bool ReadParameterized(int nParameter);
    double ReadValue();
    bool Execute(const SCommand& command);
    void SkipData(double dCount) {
        if (dCount > 0)
            m_source.Skip(static_cast<uint64_t>(dCount));
    }
    void Mark() {
        if (!m_bDefiningMacro)
            m_bMarked = true;
    }
    // Ends the page: always for a form feed, else only when something was printed on it.
    void EndPage(bool bAlways);

    CByteSource& m_source;
    CParseSink& m_sink;
    SPaperSize m_paper;
    double m_dCustomWidth = 0.0;
    double m_dCustomLength = 0.0;
    bool m_bMarked = false;
    bool m_bDefiningMacro = false;
    bool m_bHpgl = false;
};

void CPcl5Reader::EndPage(bool bAlways) {
    if (m_bDefiningMacro || !(bAlways || m_bMarked))
        return;
    if (m_sink.PageCount() == 0)
        m_sink.SetFirstPageSize(m_paper.dWidth, m_paper.dLength);
    m_sink.AddPages(1);
    m_bMarked = false;
}

double CPcl5Reader::ReadValue() {
    double dSign = 1.0;
    int nByte = m_source.Peek();
    if (nByte == '+' || nByte == '-') {
        dSign = nByte == '-' ? -1.0 : 1.0;
        m_source.Get();
    }
    double dValue = 0.0;
    double dScale = 1.0;
    bool bFraction = false;
    for (nByte = m_source.Peek(); (nByte >= '0' && nByte <= '9') || (nByte == '.' && !bFraction);
         nByte = m_source.Peek()) {
        m_source.Get();
        if (nByte == '.') {
            bFraction = true;
        } else if (bFraction) {
            dScale /= 10.0;
            dValue += (nByte - '0') * dScale;
        } else if (dValue < kLargestValue) {
            dValue = dValue * 10.0 + (nByte - '0');
        }
    }
    return dSign * dValue;
}

bool CPcl5Reader::Execute(const SCommand& command) {
    if (command.Is('%', 0, 'X'))
        return false; // UEL: the job ends here
    if (command.Is('%', 0, 'B')) {
        m_bHpgl = true;
    } else if (command.Is('%', 0, 'A')) {
        m_bHpgl = false;
    } else if (command.Is('&', 'l', 'A')) {
        EndPage(false);
        int nCode = PaperCode(command.dValue);
        SPaperSize paper =
            nCode == 101 ? SPaperSize{m_dCustomWidth, m_dCustomLength} : PaperFromPcl5Code(nCode);
        if (paper.IsKnown())
            m_paper = paper;
    } else if (command.Is('&', 'l', 'H') || command.Is('&', 'l', 'O')) {
        EndPage(false);
    } else if (command.Is('&', 'f', 'I')) {
        m_dCustomWidth = command.dValue / kDecipointsPerInch;
    } else if (command.Is('&', 'f', 'J')) {
        m_dCustomLength = command.dValue / kDecipointsPerInch;
    } else if (command.Is('&', 'f', 'X')) {
        // Macro control: 0 starts a definition, 1 ends it; a definition prints nothing.
        if (command.dValue == 0)
            m_bDefiningMacro = true;
        else if (command.dValue == 1)
            m_bDefiningMacro = false;
    } else if (command.Is('*', 'c', 'P')) {
        Mark(); // rectangle fill
    } else if (command.nCommand == 'W' || command.Is('*', 'b', 'V') || command.Is('&', 'p', 'X')) {
        // Every ...#W command, raster planes and transparent print data carry # bytes of binary
        // data, which may hold any byte (form feeds and ESC included).
        bool bPrints = command.Is('*', 'b', 'W') || command.Is('*', 'b', 'V') || command.Is('&', 'p', 'X');
        if (bPrints && command.dValue > 0)
            Mark();
        SkipData(command.dValue);
    }
    return true;
}

bool CPcl5Reader::ReadParameterized(int nParameter) {
    int nGroup = 0;
    int nByte = m_source.Peek();
    if (nByte >= 0x60 && nByte <= 0x7e)
        nGroup = m_source.Get();
    // Combined commands (ESC&l1a2A) share the parameter and group up to the upper-case command.
    for (;;) {
        double dValue = ReadValue();
        uint64_t nAt = m_source.Tell();
        nByte = m_source.Get();
        bool bLast = nByte >= 0x40 && nByte <= 0x5e;
        if (!bLast && !(nByte >= 0x60 && nByte <= 0x7e)) {
            // Not a command character: the sequence is malformed; read the byte as data again.
            m_source.Seek(nAt);
            return true;
        }
        int nCommand = bLast ? nByte : nByte - 0x20;
        if (!Execute(SCommand{nParameter, nGroup, dValue, nCommand}))
            return false;
        if (bLast)
            return true;
    }
}

bool CPcl5Reader::ReadEscape() {
    uint64_t nAt = m_source.Tell();
    int nByte = m_source.Get();
    if (nByte >= 0x21 && nByte <= 0x2f)
        return ReadParameterized(nByte);
    if (nByte == 'E') {
        EndPage(false); // printer reset
        m_bHpgl = false;
    } else if (nByte == kEsc) {
        m_source.Seek(nAt);
    }
    return true;
}

void CPcl5Reader::Run() {
    m_sink.SetFormat(kFormatPcl5);
    for (int nByte = m_source.Get(); nByte >= 0; nByte = m_source.Get()) {
        if (nByte == kEsc) {
            if (!ReadEscape())
                break;
        } else if (nByte == kFormFeed && !m_bHpgl) {
            EndPage(true);
        } else if (nByte > ' ' && nByte != 0x7f) {
            Mark();
        }
    }
    EndPage(false);
    if (!m_sink.HasSize())
        m_sink.SetFirstPageSize(m_paper.dWidth, m_paper.dLength);
}

} // namespace

void ReadPcl5(CByteSource& source, CParseSink& sink, const SPaperSize& pjlPaper) {
    CPcl5Reader reader(source, sink, pjlPaper.IsKnown() ? pjlPaper : Paper::kLetter);
    reader.Run();
}
