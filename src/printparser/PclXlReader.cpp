#include "printparser/FormatReaders.h"

#include "Include/LogFile.h"

#include <cstring>
#include <string>

namespace {

constexpr int kBeginPage = 0x43;
constexpr int kAttrMediaSize = 37;
constexpr int kAttrCustomMediaSize = 47;
constexpr int kAttrCustomMediaSizeUnits = 48;
constexpr int kEsc = 0x1b;
// The stream header line (") HP-PCL XL;2;0;comment") is short; longer ones are not PCL XL.
constexpr size_t kMaxHeaderLine = 1024;
// Media names are short; longer byte arrays are not kept.
constexpr size_t kMaxName = 32;

SPaperSize PaperFromMediaCode(int nCode) {
    static const SPaperSize kSizes[] = {
        Paper::kLetter, Paper::kLegal, Paper::kA4,       Paper::kExecutive,
        Paper::kLedger, Paper::kA3,    Paper::kCom10,    Paper::kMonarch,
        Paper::kC5,     Paper::kDl,    Paper::kJisB4,    Paper::kJisB5,
        Paper::kIsoB5,  Paper::kIsoB5, Paper::kPostcard, Paper::kDoublePostcard,
        Paper::kA5,     Paper::kA6,
    };
    if (nCode < 0 || nCode >= static_cast<int>(sizeof(kSizes) / sizeof(kSizes[0])))
        return SPaperSize{};
    return kSizes[nCode];
}

// The last data value read: up to four numbers, or the bytes of a short ubyte array.
struct SValue {
    int nCount = 0;
    double values[4] = {0, 0, 0, 0};
    std::string strBytes;
};

class CPclXlReader {
  public:
    CPclXlReader(CByteSource& source, CParseSink& sink) : m_source(source), m_sink(sink) {}

    void Run(const SPaperSize& pjlPaper);

  private:
    bool ReadHeader();
    // False at the end of the data, at a UEL or at a byte that is no PCL XL tag.
    bool ReadToken();
    bool ReadNumbers(int nType, int nCount);
    bool ReadArray(int nType);
    bool ReadUnsigned(int nBytes, uint32_t& nValue);
    void SetAttribute(uint32_t nId);
    void BeginPage();

    CByteSource& m_source;
    CParseSink& m_sink;
    bool m_bBigEndian = false;
    SValue m_value;
    // Attributes of the operator being read; cleared after each operator.
    SValue m_mediaSize, m_customSize;
    int m_nCustomUnits = 0;
    bool m_bHasMediaSize = false;
    bool m_bHasCustomSize = false;
};

bool CPclXlReader::ReadHeader() {
    int nBinding = m_source.Get();
    if (nBinding != ')' && nBinding != '(') {
        LogTrace("--W: PCL XL stream in a binding other than binary; pages not counted");
        return false;
    }
    m_bBigEndian = nBinding == '(';
    for (size_t i = 0; i < kMaxHeaderLine; ++i) {
        int nByte = m_source.Get();
        if (nByte < 0)
            return false;
        if (nByte == '\n')
            return true;
    }
    return false;
}

bool CPclXlReader::ReadUnsigned(int nBytes, uint32_t& nValue) {
    uint8_t bytes[4];
    if (m_source.Read(bytes, static_cast<size_t>(nBytes)) != static_cast<size_t>(nBytes))
        return false;
    nValue = 0;
    for (int i = 0; i < nBytes; ++i) {
        int nIndex = m_bBigEndian ? i : nBytes - 1 - i;
        nValue = (nValue << 8) | bytes[nIndex];
    }
    return true;
}

// nType 0 ubyte, 1 uint16, 2 uint32, 3 sint16, 4 sint32, 5 real32 (the low bits of the tag).
bool CPclXlReader::ReadNumbers(int nType, int nCount) {
    static const int kSizes[] = {1, 2, 4, 2, 4, 4};
    m_value = SValue{};
    for (int i = 0; i < nCount; ++i) {
        uint32_t nRaw = 0;
        if (!ReadUnsigned(kSizes[nType], nRaw))
            return false;
        double dValue = nRaw;
        if (nType == 3)
            dValue = static_cast<int16_t>(nRaw);
        else if (nType == 4)
            dValue = static_cast<int32_t>(nRaw);
        else if (nType == 5) {
            float fValue;
            std::memcpy(&fValue, &nRaw, sizeof(fValue));
            dValue = fValue;
        }
        m_value.values[i] = dValue;
    }
    m_value.nCount = nCount;
    return true;
}

bool CPclXlReader::ReadArray(int nType) {
    static const uint64_t kSizes[] = {1, 2, 4, 2, 4, 4};
    int nLengthTag = m_source.Get();
    uint32_t nLength = 0;
    if ((nLengthTag != 0xc0 && nLengthTag != 0xc1) || !ReadUnsigned(nLengthTag == 0xc0 ? 1 : 2, nLength))
        return false;
    m_value = SValue{};
    uint64_t nBytes = nLength * kSizes[nType];
    if (nType == 0 && nLength <= kMaxName) {
        m_value.strBytes.resize(nLength);
        auto* pBytes = reinterpret_cast<uint8_t*>(&m_value.strBytes[0]);
        return m_source.Read(pBytes, nLength) == nLength;
    }
    uint64_t nEnd = m_source.Tell() + nBytes;
    m_source.Skip(nBytes);
    return m_source.Tell() == nEnd;
}

void CPclXlReader::SetAttribute(uint32_t nId) {
    if (nId == kAttrMediaSize) {
        m_mediaSize = m_value;
        m_bHasMediaSize = true;
    } else if (nId == kAttrCustomMediaSize && m_value.nCount == 2) {
        m_customSize = m_value;
        m_bHasCustomSize = true;
    } else if (nId == kAttrCustomMediaSizeUnits && m_value.nCount == 1) {
        m_nCustomUnits = PaperCode(m_value.values[0]);
    }
}

void CPclXlReader::BeginPage() {
    if (m_sink.PageCount() == 0) {
        SPaperSize paper;
        if (m_bHasMediaSize && m_mediaSize.nCount == 1)
            paper = PaperFromMediaCode(PaperCode(m_mediaSize.values[0]));
        else if (m_bHasMediaSize)
            paper = PaperFromName(m_mediaSize.strBytes);
        else if (m_bHasCustomSize) {
            // Units: 0 inches, 1 millimetres, 2 tenths of millimetres.
            double dPerInch = m_nCustomUnits == 1 ? Paper::kMmPerInch : (m_nCustomUnits == 2 ? 254.0 : 1.0);
            paper = SPaperSize{m_customSize.values[0] / dPerInch, m_customSize.values[1] / dPerInch};
        }
        if (paper.IsKnown())
            m_sink.SetFirstPageSize(paper.dWidth, paper.dLength);
    }
    m_sink.AddPages(1);
}

bool CPclXlReader::ReadToken() {
    int nTag = m_source.Get();
    if (nTag < 0 || nTag == kEsc)
        return false;
    if (nTag == 0x00 || (nTag >= 0x09 && nTag <= 0x0d) || nTag == 0x20)
        return true; // white space between tokens
    if (nTag >= 0xc0 && nTag <= 0xc5)
        return ReadNumbers(nTag - 0xc0, 1);
    if (nTag >= 0xc8 && nTag <= 0xcd)
        return ReadArray(nTag - 0xc8);
    if (nTag >= 0xd0 && nTag <= 0xd5)
        return ReadNumbers(nTag - 0xd0, 2);
    if (nTag >= 0xe0 && nTag <= 0xe5)
        return ReadNumbers(nTag - 0xe0, 4);
    uint32_t nValue = 0;
    if (nTag == 0xf8 || nTag == 0xf9) {
        if (!ReadUnsigned(nTag == 0xf8 ? 1 : 2, nValue))
            return false;
        SetAttribute(nValue);
        return true;
    }
    if (nTag == 0xfa || nTag == 0xfb) {
        // Embedded data: its length, then that many bytes of anything.
        if (!ReadUnsigned(nTag == 0xfa ? 4 : 1, nValue))
            return false;
        uint64_t nEnd = m_source.Tell() + nValue;
        m_source.Skip(nValue);
        return m_source.Tell() == nEnd;
    }
    if (nTag >= 0x41 && nTag <= 0xbf) {
        if (nTag == kBeginPage)
            BeginPage();
        m_bHasMediaSize = m_bHasCustomSize = false;
        return true;
    }
    LogTraceDetail("--W: PCL XL stream has the unknown tag 0x%02x at %llu; reading stops", nTag,
                   static_cast<unsigned long long>(m_source.Tell() - 1));
    return false;
}

void CPclXlReader::Run(const SPaperSize& pjlPaper) {
    m_sink.SetFormat(kFormatPclXl);
    if (ReadHeader()) {
        while (ReadToken()) {
        }
    }
    if (!m_sink.HasSize() && pjlPaper.IsKnown())
        m_sink.SetFirstPageSize(pjlPaper.dWidth, pjlPaper.dLength);
}

} // namespace

void ReadPclXl(CByteSource& source, CParseSink& sink, const SPaperSize& pjlPaper) {
    CPclXlReader reader(source, sink);
    reader.Run(pjlPaper);
}
