#include "printparser/PdfDocument.h"

#include "Include/StringUtil.h"
#include "printparser/PdfSecurity.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

namespace {

// Offsets and lengths in a file are read as at most this many digits; object numbers fit an int.
constexpr size_t kMaxIntegerDigits = 18;
// startxref is looked for in this many bytes at the end of the file.
constexpr uint64_t kStartXrefWindow = 1054;
// A cross-reference stream field is at most this many bytes wide.
constexpr int kMaxFieldWidth = 8;
// Loads of one object that need another object loaded first (a stream length, an object stream).
constexpr int kMaxLoadDepth = 32;
// Line starts with a longer first number are not objects during a scan.
constexpr size_t kMaxScanDigits = 10;
// A predictor row of more bytes than this is not believed.
constexpr uint64_t kMaxRowBytes = 1u << 20;

const CPdfObject g_null;
const CPdfArray g_noItems;

bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

// A number token: an optional sign, then digits with at most one period somewhere.
bool ParseNumber(const std::string& strText, SPdfToken& token) {
    size_t nDigits = 0;
    size_t nPeriods = 0;
    for (size_t i = 0; i < strText.size(); ++i) {
        char c = strText[i];
        if (IsDigit(c))
            ++nDigits;
        else if (c == '.')
            ++nPeriods;
        else if (!((c == '+' || c == '-') && i == 0))
            return false;
    }
    if (nDigits == 0 || nPeriods > 1)
        return false;
    if (nPeriods == 0) {
        if (nDigits > kMaxIntegerDigits)
            throw CPdfError("integer out of range");
        token.eKind = SPdfToken::Integer;
        token.dValue = static_cast<double>(std::stoll(strText));
        return true;
    }
    // from_chars wants neither a plus sign nor a bare leading period.
    std::string strNumber = strText;
    bool bNegative = !strNumber.empty() && (strNumber[0] == '-' || strNumber[0] == '+');
    bNegative = bNegative && strNumber[0] == '-';
    if (strNumber[0] == '-' || strNumber[0] == '+')
        strNumber.erase(0, 1);
    strNumber.insert(0, "0");
    double dValue = 0.0;
    std::from_chars(strNumber.data(), strNumber.data() + strNumber.size(), dValue);
    token.eKind = SPdfToken::Real;
    token.dValue = bNegative ? -dValue : dValue;
    return true;
}

CPdfObject ParseValue(CPdfLexer& lexer, const SPdfToken& token, int nDepth);

CPdfObject ParseArray(CPdfLexer& lexer, int nDepth) {
    CPdfArray items;
    for (;;) {
        SPdfToken token = lexer.Next();
        if (token.eKind == SPdfToken::ArrayClose)
            return CPdfObject::Array(std::move(items));
        items.push_back(ParseValue(lexer, token, nDepth + 1));
    }
}

CPdfObject ParseDictionary(CPdfLexer& lexer, int nDepth) {
    CPdfDict entries;
    for (;;) {
        SPdfToken key = lexer.Next();
        if (key.eKind == SPdfToken::DictClose)
            return CPdfObject::Dictionary(std::move(entries));
        if (key.eKind == SPdfToken::End)
            throw CPdfEndOfData("dictionary cut short");
        // Where a key belongs but something else stands, that is a value without a key, as libqpdf
        // reads it.
        if (key.eKind != SPdfToken::Name) {
            ParseValue(lexer, key, nDepth + 1);
            continue;
        }
        SPdfToken value = lexer.Next();
        if (value.eKind == SPdfToken::DictClose) {
            entries[key.strText] = CPdfObject();
            return CPdfObject::Dictionary(std::move(entries));
        }
        entries[key.strText] = ParseValue(lexer, value, nDepth + 1);
    }
}

// "N G R" after the integer token: a reference, or the integer alone.
CPdfObject ParseIntegerOrReference(CPdfLexer& lexer, const SPdfToken& token) {
    uint64_t nAfter = lexer.Tell();
    SPdfToken generation = lexer.Next();
    if (generation.eKind == SPdfToken::Integer) {
        SPdfToken keyword = lexer.Next();
        if (keyword.eKind == SPdfToken::Keyword && keyword.strText == "R") {
            if (token.dValue < 0 || token.dValue > INT_MAX || generation.dValue < 0 ||
                generation.dValue > 65535)
                throw CPdfError("reference out of range");
            return CPdfObject::Reference(static_cast<int>(token.dValue), static_cast<int>(generation.dValue));
        }
    }
    lexer.Seek(nAfter);
    return CPdfObject::Number(EPdfType::Integer, token.dValue);
}

CPdfObject ParseValue(CPdfLexer& lexer, const SPdfToken& token, int nDepth) {
    if (nDepth > kMaxPdfNesting)
        throw CPdfError("objects nested too deeply");
    switch (token.eKind) {
    case SPdfToken::Integer:
        return ParseIntegerOrReference(lexer, token);
    case SPdfToken::Real:
        return CPdfObject::Number(EPdfType::Real, token.dValue);
    case SPdfToken::Name:
        return CPdfObject::Text(EPdfType::Name, token.strText);
    case SPdfToken::String:
        return CPdfObject::Text(EPdfType::String, token.strText);
    case SPdfToken::ArrayOpen:
        return ParseArray(lexer, nDepth);
    case SPdfToken::DictOpen:
        return ParseDictionary(lexer, nDepth);
    case SPdfToken::Keyword:
        if (token.strText == "null")
            return CPdfObject();
        if (token.strText == "true" || token.strText == "false")
            return CPdfObject::Number(EPdfType::Boolean, token.strText == "true" ? 1.0 : 0.0);
        // libqpdf reads a stray word as a string, or gives up on the object after a few: which,
        // is not worth copying, so an object with one is not read at all.
        throw CPdfUnsupported("unexpected word " + token.strText.substr(0, 20));
    case SPdfToken::End:
        throw CPdfEndOfData("object cut short");
    default:
        throw CPdfError("unexpected token");
    }
}

bool IsIntegerToken(const SPdfToken& token) {
    return token.eKind == SPdfToken::Integer;
}

int ToObjectNumber(double dValue) {
    if (dValue < 0 || dValue > INT_MAX)
        throw CPdfError("object number out of range");
    return static_cast<int>(dValue);
}

constexpr double kMaxGeneration = 65535;

int ToGeneration(double dValue) {
    if (dValue < 0 || dValue > kMaxGeneration)
        throw CPdfError("generation out of range");
    return static_cast<int>(dValue);
}

// An integer of a dictionary, or dDefault when the key is absent; throws when it is not an integer
// between nLow and nHigh.
int BoundedInteger(const CPdfObject& value, int nDefault, int nLow, int nHigh, const char* szWhat) {
    if (value.IsNull())
        return nDefault;
    if (!value.IsInteger() || value.Value() < nLow || value.Value() > nHigh)
        throw CPdfError(std::string("bad ") + szWhat);
    return static_cast<int>(value.Value());
}

uint64_t ReadField(const std::string& strData, size_t nPos, int nWidth) {
    uint64_t nValue = 0;
    for (int i = 0; i < nWidth; ++i)
        nValue = (nValue << 8) | static_cast<uint8_t>(strData[nPos + i]);
    return nValue;
}

void UndoPngRow(uint8_t* pRow, const uint8_t* pAbove, size_t nRowBytes, size_t nPixelBytes, int nFilter) {
    for (size_t i = 0; i < nRowBytes; ++i) {
        int nLeft = i >= nPixelBytes ? pRow[i - nPixelBytes] : 0;
        int nUp = pAbove[i];
        int nUpLeft = i >= nPixelBytes ? pAbove[i - nPixelBytes] : 0;
        int nAdd = 0;
        switch (nFilter) {
        case 0:
            break;
        case 1:
            nAdd = nLeft;
            break;
        case 2:
            nAdd = nUp;
            break;
        case 3:
            nAdd = (nLeft + nUp) / 2;
            break;
        case 4: {
            int nGuess = nLeft + nUp - nUpLeft;
            int nToLeft = std::abs(nGuess - nLeft);
            int nToUp = std::abs(nGuess - nUp);
            int nToUpLeft = std::abs(nGuess - nUpLeft);
            nAdd = nToLeft <= nToUp && nToLeft <= nToUpLeft ? nLeft : (nToUp <= nToUpLeft ? nUp : nUpLeft);
            break;
        }
        default:
            throw CPdfError("unknown PNG filter type");
        }
        pRow[i] = static_cast<uint8_t>(pRow[i] + nAdd);
    }
}

unsigned GetSample(const uint8_t* pRow, size_t nIndex, int nBits) {
    if (nBits == 16)
        return (pRow[2 * nIndex] << 8) | pRow[2 * nIndex + 1];
    size_t nBit = nIndex * nBits;
    return (pRow[nBit / 8] >> (8 - nBits - nBit % 8)) & ((1u << nBits) - 1);
}

void SetSample(uint8_t* pRow, size_t nIndex, int nBits, unsigned nValue) {
    if (nBits == 16) {
        pRow[2 * nIndex] = static_cast<uint8_t>(nValue >> 8);
        pRow[2 * nIndex + 1] = static_cast<uint8_t>(nValue);
        return;
    }
    size_t nBit = nIndex * nBits;
    int nShift = static_cast<int>(8 - nBits - nBit % 8);
    unsigned nMask = ((1u << nBits) - 1) << nShift;
    pRow[nBit / 8] = static_cast<uint8_t>((pRow[nBit / 8] & ~nMask) | ((nValue << nShift) & nMask));
}

void UndoTiffRow(uint8_t* pRow, size_t nSamples, int nColors, int nBits) {
    unsigned nMask = nBits == 16 ? 0xffffu : (1u << nBits) - 1;
    for (size_t i = static_cast<size_t>(nColors); i < nSamples; ++i)
        SetSample(pRow, i, nBits, (GetSample(pRow, i, nBits) + GetSample(pRow, i - nColors, nBits)) & nMask);
}

} // namespace

// ---- Input

CPdfInput::CPdfInput(CByteSource& source, uint64_t nStart)
    : m_pSource(&source), m_nStart(nStart), m_nSize(source.Size() - std::min(nStart, source.Size())) {
    if (!source.IsFile())
        m_pMemory = source.Memory() + nStart;
    std::fill(std::begin(m_nBlockIndex), std::end(m_nBlockIndex), UINT64_MAX);
}

CPdfInput::CPdfInput(const uint8_t* pData, size_t nSize) : m_pMemory(pData), m_nSize(nSize) {
    std::fill(std::begin(m_nBlockIndex), std::end(m_nBlockIndex), UINT64_MAX);
}

int CPdfInput::FromFile(uint64_t nPos) {
    uint64_t nIndex = nPos / kBlockSize;
    for (size_t i = 0; i < kBlocks; ++i) {
        if (m_nBlockIndex[i] == nIndex)
            return m_blocks[i][nPos % kBlockSize];
    }
    size_t nSlot = m_nNextBlock;
    m_nNextBlock = (m_nNextBlock + 1) % kBlocks;
    uint64_t nBlockStart = nIndex * kBlockSize;
    size_t nCount = static_cast<size_t>(std::min<uint64_t>(kBlockSize, m_nSize - nBlockStart));
    if (!m_pSource->ReadAt(m_nStart + nBlockStart, nCount, m_blocks[nSlot]))
        throw CPdfError("file could not be read");
    m_nBlockIndex[nSlot] = nIndex;
    return m_blocks[nSlot][nPos % kBlockSize];
}

bool CPdfInput::Matches(uint64_t nPos, const char* szText) {
    for (size_t i = 0; szText[i] != '\0'; ++i) {
        if (At(nPos + i) != static_cast<uint8_t>(szText[i]))
            return false;
    }
    return true;
}

int64_t CPdfInput::FindLast(const char* szText, uint64_t nFrom, uint64_t nTo) {
    size_t nLength = std::strlen(szText);
    nTo = std::min(nTo, m_nSize);
    if (nTo < nLength)
        return -1;
    for (uint64_t nPos = nTo - nLength + 1; nPos-- > nFrom;) {
        if (Matches(nPos, szText))
            return static_cast<int64_t>(nPos);
    }
    return -1;
}

int64_t CPdfInput::FindFirst(const char* szText, uint64_t nFrom, uint64_t nTo) {
    nTo = std::min(nTo, m_nSize);
    for (uint64_t nPos = nFrom; nPos < nTo; ++nPos) {
        if (Matches(nPos, szText))
            return static_cast<int64_t>(nPos);
    }
    return -1;
}

// ---- Objects

CPdfObject CPdfObject::Number(EPdfType eType, double dValue) {
    CPdfObject object;
    object.m_eType = eType;
    object.m_dValue = dValue;
    return object;
}

CPdfObject CPdfObject::Text(EPdfType eType, std::string strText) {
    CPdfObject object;
    object.m_eType = eType;
    object.m_strText = std::move(strText);
    return object;
}

CPdfObject CPdfObject::Array(CPdfArray items) {
    CPdfObject object;
    object.m_eType = EPdfType::Array;
    object.m_pItems = std::make_shared<const CPdfArray>(std::move(items));
    return object;
}

CPdfObject CPdfObject::Dictionary(CPdfDict entries) {
    CPdfObject object;
    object.m_eType = EPdfType::Dictionary;
    object.m_pEntries = std::make_shared<const CPdfDict>(std::move(entries));
    return object;
}

CPdfObject CPdfObject::Reference(int nObject, int nGeneration) {
    CPdfObject object;
    object.m_eType = EPdfType::Reference;
    object.m_nObject = nObject;
    object.m_nGeneration = nGeneration;
    return object;
}

CPdfObject CPdfObject::Stream(const CPdfObject& dictionary, uint64_t nDataOffset, int nObject,
                              int nGeneration) {
    CPdfObject object = dictionary;
    object.m_eType = EPdfType::Stream;
    object.m_nDataOffset = nDataOffset;
    object.m_nObject = nObject;
    object.m_nGeneration = nGeneration;
    return object;
}

const CPdfArray& CPdfObject::Items() const {
    return m_pItems ? *m_pItems : g_noItems;
}

const CPdfObject& CPdfObject::Get(const std::string& strKey) const {
    if (!m_pEntries)
        return g_null;
    auto it = m_pEntries->find(strKey);
    return it == m_pEntries->end() ? g_null : it->second;
}

// ---- Lexer

bool IsPdfWhiteSpace(int c) {
    return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool IsPdfDelimiter(int c) {
    return c >= 0 && std::strchr("()<>[]{}/%", c) != nullptr && c != 0;
}

void CPdfLexer::SkipWhiteSpace() {
    for (;;) {
        int c = m_input.At(m_nPos);
        if (IsPdfWhiteSpace(c)) {
            ++m_nPos;
        } else if (c == '%') {
            while (c >= 0 && c != '\r' && c != '\n')
                c = m_input.At(++m_nPos);
        } else {
            return;
        }
    }
}

SPdfToken CPdfLexer::Next() {
    SkipWhiteSpace();
    SPdfToken token;
    token.nStart = m_nPos;
    int c = m_input.At(m_nPos);
    if (c < 0)
        return token;
    switch (c) {
    case '[':
        ++m_nPos;
        token.eKind = SPdfToken::ArrayOpen;
        break;
    case ']':
        ++m_nPos;
        token.eKind = SPdfToken::ArrayClose;
        break;
    case '<':
        if (m_input.At(m_nPos + 1) == '<') {
            m_nPos += 2;
            token.eKind = SPdfToken::DictOpen;
        } else {
            ReadHexString(token);
        }
        break;
    case '>':
        if (m_input.At(m_nPos + 1) != '>')
            throw CPdfError("stray '>'");
        m_nPos += 2;
        token.eKind = SPdfToken::DictClose;
        break;
    case '(':
        ReadLiteralString(token);
        break;
    case '/':
        ReadName(token);
        break;
    case ')':
    case '{':
    case '}':
        ++m_nPos;
        token.eKind = SPdfToken::Keyword;
        token.strText = std::string(1, static_cast<char>(c));
        break;
    default:
        ReadRegular(token);
    }
    return token;
}

void CPdfLexer::ReadLiteralString(SPdfToken& token) {
    token.eKind = SPdfToken::String;
    int nDepth = 1;
    ++m_nPos;
    for (;;) {
        int c = m_input.At(m_nPos++);
        if (c < 0)
            throw CPdfEndOfData("unterminated string");
        if (c == '(') {
            ++nDepth;
        } else if (c == ')') {
            if (--nDepth == 0)
                return;
        } else if (c == '\r') {
            // An end of line in a string is a line feed, whichever bytes end it.
            if (m_input.At(m_nPos) == '\n')
                ++m_nPos;
            c = '\n';
        } else if (c == '\\') {
            c = m_input.At(m_nPos++);
            switch (c) {
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case '\r':
                if (m_input.At(m_nPos) == '\n')
                    ++m_nPos;
                continue;
            case '\n':
                continue;
            case -1:
                throw CPdfEndOfData("unterminated string");
            default:
                if (c >= '0' && c <= '7') {
                    int nValue = c - '0';
                    for (int i = 0; i < 2 && m_input.At(m_nPos) >= '0' && m_input.At(m_nPos) <= '7'; ++i)
                        nValue = nValue * 8 + (m_input.At(m_nPos++) - '0');
                    c = nValue & 0xff;
                }
            }
        }
        token.strText += static_cast<char>(c);
    }
}

void CPdfLexer::ReadHexString(SPdfToken& token) {
    token.eKind = SPdfToken::String;
    ++m_nPos;
    int nHigh = -1;
    for (;;) {
        int c = m_input.At(m_nPos++);
        if (c == '>')
            break;
        if (c < 0)
            throw CPdfEndOfData("unterminated string");
        if (IsPdfWhiteSpace(c))
            continue;
        int nValue = HexDigitValue(c);
        if (nValue < 0)
            throw CPdfError("bad hexadecimal string");
        if (nHigh < 0) {
            nHigh = nValue;
        } else {
            token.strText += static_cast<char>(nHigh * 16 + nValue);
            nHigh = -1;
        }
    }
    if (nHigh >= 0)
        token.strText += static_cast<char>(nHigh * 16);
}

void CPdfLexer::ReadName(SPdfToken& token) {
    token.eKind = SPdfToken::Name;
    token.strText = "/";
    ++m_nPos;
    for (;;) {
        int c = m_input.At(m_nPos);
        if (c < 0 || IsPdfWhiteSpace(c) || IsPdfDelimiter(c))
            return;
        ++m_nPos;
        int nHigh = c == '#' ? HexDigitValue(m_input.At(m_nPos)) : -1;
        int nLow = nHigh >= 0 ? HexDigitValue(m_input.At(m_nPos + 1)) : -1;
        if (nLow >= 0) {
            c = nHigh * 16 + nLow;
            m_nPos += 2;
        }
        token.strText += static_cast<char>(c);
    }
}

void CPdfLexer::ReadRegular(SPdfToken& token) {
    std::string strText;
    for (;;) {
        int c = m_input.At(m_nPos);
        if (c < 0 || IsPdfWhiteSpace(c) || IsPdfDelimiter(c))
            break;
        ++m_nPos;
        // A longer run is neither a number nor a keyword we know; its text is not kept.
        if (strText.size() < 64)
            strText += static_cast<char>(c);
    }
    if (strText.size() < 64 && ParseNumber(strText, token))
        return;
    token.eKind = SPdfToken::Keyword;
    token.strText = std::move(strText);
}

CPdfObject ParsePdfObject(CPdfLexer& lexer) {
    return ParseValue(lexer, lexer.Next(), 0);
}

// ---- Predictors

void UndoPdfPredictor(std::string& strData, int nPredictor, int nColors, int nBitsPerComponent,
                      int nColumns) {
    if (nPredictor == 1)
        return;
    if (nColors < 1 || nColors > 32 || nColumns < 1 ||
        (nBitsPerComponent != 1 && nBitsPerComponent != 2 && nBitsPerComponent != 4 &&
         nBitsPerComponent != 8 && nBitsPerComponent != 16))
        throw CPdfError("bad predictor parameters");
    uint64_t nBitsPerRow = static_cast<uint64_t>(nColumns) * nColors * nBitsPerComponent;
    uint64_t nRowBytes = (nBitsPerRow + 7) / 8;
    if (nRowBytes > kMaxRowBytes)
        throw CPdfError("predictor rows too long");
    size_t nRow = static_cast<size_t>(nRowBytes);
    if (nPredictor == 2) {
        strData.resize((strData.size() + nRow - 1) / nRow * nRow, '\0');
        for (size_t nPos = 0; nPos < strData.size(); nPos += nRow) {
            UndoTiffRow(reinterpret_cast<uint8_t*>(&strData[nPos]), static_cast<size_t>(nColumns) * nColors,
                        nColors, nBitsPerComponent);
        }
        return;
    }
    if (nPredictor < 10 || nPredictor > 15)
        throw CPdfError("unknown predictor");
    size_t nPixelBytes = static_cast<size_t>((nColors * nBitsPerComponent + 7) / 8);
    std::string strOut;
    std::vector<uint8_t> above(nRow, 0);
    std::vector<uint8_t> row(nRow, 0);
    for (size_t nPos = 0; nPos < strData.size(); nPos += nRow + 1) {
        int nFilter = static_cast<uint8_t>(strData[nPos]);
        size_t nCount = std::min(nRow, strData.size() - nPos - 1);
        std::fill(row.begin(), row.end(), 0);
        std::memcpy(row.data(), strData.data() + nPos + 1, nCount);
        UndoPngRow(row.data(), above.data(), nRow, nPixelBytes, nFilter);
        strOut.append(reinterpret_cast<const char*>(row.data()), nRow);
        row.swap(above);
    }
    strData.swap(strOut);
}

// ---- Document

CPdfDocument::CPdfDocument(CPdfInput& input) : m_input(input) {}

CPdfDocument::~CPdfDocument() = default;

CPdfDocument::CObjectKey CPdfDocument::Key(int nObject, int nGeneration) {
    return (static_cast<uint64_t>(nObject) << 16) | static_cast<uint64_t>(nGeneration);
}

void CPdfDocument::AddEntry(int nObject, int nGeneration, const SPdfXrefEntry& entry, bool bOverwrite) {
    CObjectKey key = Key(nObject, nGeneration);
    if (bOverwrite) {
        m_entries[key] = entry;
    } else if (m_entries.count(key) == 0 && m_freeObjects.count(nObject) == 0) {
        m_entries.emplace(key, entry);
    }
    if (m_entries.size() + m_freeObjects.size() > kMaxEntries)
        throw CPdfError("too many objects");
}

void CPdfDocument::AddFreeEntry(int nObject) {
    m_freeObjects.insert(nObject);
    if (m_entries.size() + m_freeObjects.size() > kMaxEntries)
        throw CPdfError("too many objects");
}

bool CPdfDocument::ReadCrossReference() {
    try {
        if (ReadCrossReferenceChain())
            return true;
    } catch (const CPdfUnsupported&) {
        throw;
    } catch (const CPdfError&) {
    }
    return false;
}

bool CPdfDocument::ReadCrossReferenceChain() {
    uint64_t nOffset = StartXrefOffset();
    std::set<uint64_t> seen;
    for (bool bNewest = true;; bNewest = false) {
        if (!seen.insert(nOffset).second)
            throw CPdfError("cross-reference sections in a loop");
        CPdfObject trailer = ReadXrefSection(nOffset);
        if (bNewest)
            m_trailer = trailer;
        const CPdfObject& prev = trailer.Get("/Prev");
        if (prev.IsNull())
            return true;
        if (!prev.IsInteger() || prev.Value() < 0)
            throw CPdfError("bad /Prev");
        nOffset = static_cast<uint64_t>(prev.Value());
    }
}

uint64_t CPdfDocument::StartXrefOffset() {
    uint64_t nSize = m_input.Size();
    int64_t nFound =
        m_input.FindLast("startxref", nSize > kStartXrefWindow ? nSize - kStartXrefWindow : 0, nSize);
    if (nFound < 0)
        throw CPdfError("no startxref");
    CPdfLexer lexer(m_input, static_cast<uint64_t>(nFound) + 9);
    SPdfToken offset = lexer.Next();
    if (!IsIntegerToken(offset) || offset.dValue <= 0)
        throw CPdfError("bad startxref");
    return static_cast<uint64_t>(offset.dValue);
}

CPdfObject CPdfDocument::ReadXrefSection(uint64_t nOffset) {
    if (nOffset >= m_input.Size())
        throw CPdfError("cross-reference offset past the end");
    CPdfLexer lexer(m_input, nOffset);
    lexer.SkipWhiteSpace();
    if (m_input.Matches(lexer.Tell(), "xref") && IsPdfWhiteSpace(m_input.At(lexer.Tell() + 4))) {
        lexer.Seek(lexer.Tell() + 4);
        return ReadXrefTable(lexer);
    }
    return ReadXrefStream(nOffset);
}

CPdfObject CPdfDocument::ReadXrefTable(CPdfLexer& lexer) {
    std::vector<int> freeObjects;
    for (;;) {
        SPdfToken token = lexer.Next();
        if (token.eKind == SPdfToken::Keyword && token.strText == "trailer")
            break;
        SPdfToken count = lexer.Next();
        if (!IsIntegerToken(token) || !IsIntegerToken(count) || token.dValue < 0 || count.dValue < 0)
            throw CPdfError("bad cross-reference subsection");
        // Each entry takes at least six bytes.
        if (count.dValue > static_cast<double>(m_input.Size() - lexer.Tell()) / 6 ||
            token.dValue + count.dValue > INT_MAX)
            throw CPdfError("cross-reference subsection too long");
        int nFirst = static_cast<int>(token.dValue);
        for (int i = 0; i < static_cast<int>(count.dValue); ++i) {
            SPdfToken offset = lexer.Next();
            SPdfToken generation = lexer.Next();
            SPdfToken kind = lexer.Next();
            if (!IsIntegerToken(offset) || offset.dValue < 0 || !IsIntegerToken(generation) ||
                kind.eKind != SPdfToken::Keyword || (kind.strText != "n" && kind.strText != "f"))
                throw CPdfError("bad cross-reference entry");
            // An entry of a generation above the largest is left out, as no reference of the file
            // can reach it in libqpdf either; the rest of the table stands.
            if (kind.strText == "f")
                freeObjects.push_back(nFirst + i);
            else if (generation.dValue <= kMaxGeneration)
                AddEntry(nFirst + i, ToGeneration(generation.dValue),
                         {1, static_cast<uint64_t>(offset.dValue)}, false);
        }
    }
    CPdfObject trailer = ParsePdfObject(lexer);
    if (!trailer.IsDictionary())
        throw CPdfError("trailer is not a dictionary");
    // A hybrid file lists its compressed objects in a stream; entries marked free in the table
    // count only where the stream does not list them.
    const CPdfObject& xrefStream = trailer.Get("/XRefStm");
    if (xrefStream.IsInteger() && xrefStream.Value() >= 0)
        ReadXrefStream(static_cast<uint64_t>(xrefStream.Value()));
    for (int nObject : freeObjects) {
        if (m_entries.count(Key(nObject, 0)) == 0)
            AddFreeEntry(nObject);
    }
    return trailer;
}

CPdfObject CPdfDocument::ReadXrefStream(uint64_t nOffset) {
    CPdfObject stream = ReadIndirectObject(nOffset, -1, -1);
    if (!stream.IsStream())
        throw CPdfError("cross-reference stream not found");
    // The stream is its number's object from now on, whatever an entry says of that number: the
    // first object read of a number is the one libqpdf keeps, and the two readers must agree.
    m_cache.emplace(Key(stream.ObjectNumber(), stream.Generation()), stream);
    const CPdfArray& widths = stream.Get("/W").Items();
    if (widths.size() != 3)
        throw CPdfError("bad /W");
    int nWidth[3];
    for (int i = 0; i < 3; ++i)
        nWidth[i] = BoundedInteger(widths[i], -1, 0, kMaxFieldWidth, "/W");
    size_t nEntrySize = static_cast<size_t>(nWidth[0] + nWidth[1] + nWidth[2]);
    if (nEntrySize == 0)
        throw CPdfError("bad /W");
    int nSize = BoundedInteger(stream.Get("/Size"), -1, 0, INT_MAX, "/Size");
    std::vector<double> index;
    for (const CPdfObject& value : stream.Get("/Index").Items()) {
        if (!value.IsInteger() || value.Value() < 0)
            throw CPdfError("bad /Index");
        index.push_back(value.Value());
    }
    if (stream.Get("/Index").IsNull())
        index = {0, static_cast<double>(nSize)};
    if (index.size() % 2 != 0)
        throw CPdfError("bad /Index");
    std::string strData = StreamData(stream);
    size_t nPos = 0;
    for (size_t i = 0; i < index.size(); i += 2) {
        if (index[i + 1] > static_cast<double>((strData.size() - nPos) / nEntrySize) ||
            index[i] + index[i + 1] > INT_MAX)
            throw CPdfError("cross-reference stream too short");
        for (int n = 0; n < static_cast<int>(index[i + 1]); ++n, nPos += nEntrySize) {
            int nObject = static_cast<int>(index[i]) + n;
            uint64_t nType = nWidth[0] == 0 ? 1 : ReadField(strData, nPos, nWidth[0]);
            uint64_t nSecond = ReadField(strData, nPos + nWidth[0], nWidth[1]);
            uint64_t nThird = ReadField(strData, nPos + nWidth[0] + nWidth[1], nWidth[2]);
            // As in a table, an entry of a generation above the largest is left out.
            if (nType == 0)
                AddFreeEntry(nObject);
            else if (nType == 1 && static_cast<double>(nThird) <= kMaxGeneration)
                AddEntry(nObject, ToGeneration(static_cast<double>(nThird)), {1, nSecond}, false);
            else if (nType == 2)
                AddEntry(nObject, 0, {2, static_cast<uint64_t>(ToObjectNumber(static_cast<double>(nSecond)))},
                         false);
            else if (nType != 1)
                throw CPdfError("unknown cross-reference stream entry type");
        }
    }
    return stream;
}

CPdfObject CPdfDocument::ReadIndirectObject(uint64_t nOffset, int nObject, int nGeneration) {
    CPdfLexer lexer(m_input, nOffset);
    SPdfToken number = lexer.Next();
    SPdfToken generation = lexer.Next();
    SPdfToken keyword = lexer.Next();
    if (!IsIntegerToken(number) || !IsIntegerToken(generation) || keyword.eKind != SPdfToken::Keyword ||
        keyword.strText != "obj")
        throw CPdfMisplacedObject("no object at its offset");
    if (nObject >= 0 && (number.dValue != nObject || generation.dValue != nGeneration))
        throw CPdfMisplacedObject("another object at the offset");
    int nFoundObject = ToObjectNumber(number.dValue);
    int nFoundGeneration = ToGeneration(generation.dValue);
    CPdfObject value = ParsePdfObject(lexer);
    if (value.IsReference())
        throw CPdfError("object is a reference");
    if (!value.IsDictionary())
        return value;
    uint64_t nAfter = lexer.Tell();
    SPdfToken next = lexer.Next();
    if (next.eKind != SPdfToken::Keyword || next.strText != "stream") {
        lexer.Seek(nAfter);
        return value;
    }
    return CPdfObject::Stream(value, StreamDataStart(lexer.Tell()), nFoundObject, nFoundGeneration);
}

uint64_t CPdfDocument::StreamDataStart(uint64_t nAfterKeyword) {
    if (m_input.At(nAfterKeyword) == '\r' && m_input.At(nAfterKeyword + 1) == '\n')
        return nAfterKeyword + 2;
    if (m_input.At(nAfterKeyword) == '\n' || m_input.At(nAfterKeyword) == '\r')
        return nAfterKeyword + 1;
    return nAfterKeyword;
}

// /Length when "endstream" follows where it says; otherwise the distance to the next "endstream".
uint64_t CPdfDocument::StreamLength(const CPdfObject& stream) {
    uint64_t nStart = stream.DataOffset();
    CPdfObject length = Resolve(stream.Get("/Length"));
    if (length.IsInteger() && length.Value() >= 0 &&
        length.Value() <= static_cast<double>(m_input.Size() - nStart)) {
        CPdfLexer lexer(m_input, nStart + static_cast<uint64_t>(length.Value()));
        lexer.SkipWhiteSpace();
        if (m_input.Matches(lexer.Tell(), "endstream"))
            return static_cast<uint64_t>(length.Value());
    }
    // The last search answers every search that starts within the stretch it covered, so that
    // many streams without an end cannot make the searches quadratic.
    if (nStart < m_nEndSearchFrom || nStart > m_nEndSearchTo) {
        m_nEndSearchFrom = nStart;
        int64_t nFound = m_input.FindFirst("endstream", nStart, m_input.Size());
        m_nEndSearchFound = nFound;
        m_nEndSearchTo = nFound < 0 ? m_input.Size() : static_cast<uint64_t>(nFound);
    }
    if (m_nEndSearchFound < 0)
        throw CPdfError("stream without an end");
    return static_cast<uint64_t>(m_nEndSearchFound) - nStart;
}

namespace {

// Inflates strIn, failing when the output would pass nLimit bytes or the data is damaged.
std::string Inflate(const std::string& strIn, size_t nLimit) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        throw CPdfError("zlib could not start");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strIn.data()));
    zs.avail_in = static_cast<uInt>(strIn.size());
    std::string strOut;
    char buffer[64 * 1024];
    int nResult = Z_OK;
    while (nResult == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof(buffer);
        nResult = inflate(&zs, Z_NO_FLUSH);
        size_t nCount = sizeof(buffer) - zs.avail_out;
        if (strOut.size() + nCount > nLimit) {
            inflateEnd(&zs);
            throw CPdfError("streams decode to too much data");
        }
        strOut.append(buffer, nCount);
        if (nResult == Z_BUF_ERROR && nCount > 0)
            nResult = Z_OK;
    }
    inflateEnd(&zs);
    if (nResult != Z_STREAM_END)
        throw CPdfError("damaged Flate data");
    return strOut;
}

} // namespace

std::string CPdfDocument::StreamData(const CPdfObject& stream) {
    uint64_t nLength = StreamLength(stream);
    if (nLength > kMaxDecodedTotal - m_nDecoded)
        throw CPdfError("streams decode to too much data");
    std::string strData(static_cast<size_t>(nLength), '\0');
    for (size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>(m_input.At(stream.DataOffset() + i));
    // Cross-reference streams are never encrypted.
    if (m_pSecurity && !stream.Get("/Type").IsName("/XRef"))
        strData = m_pSecurity->DecryptStream(strData, stream.ObjectNumber(), stream.Generation());
    return Decode(stream, std::move(strData));
}

std::string CPdfDocument::Decode(const CPdfObject& stream, std::string strData) {
    CPdfObject filter = Resolve(stream.Get("/Filter"));
    CPdfObject decodeParms = Resolve(stream.Get("/DecodeParms"));
    CPdfArray filters = filter.IsArray() ? filter.Items() : CPdfArray{filter};
    CPdfArray parameters = decodeParms.IsArray() ? decodeParms.Items() : CPdfArray{decodeParms};
    for (size_t i = 0; i < filters.size(); ++i) {
        CPdfObject name = Resolve(filters[i]);
        if (name.IsNull())
            continue;
        if (!name.IsName("/FlateDecode") && !name.IsName("/Fl"))
            throw CPdfError("unsupported filter");
        strData = Inflate(strData, kMaxDecodedTotal - m_nDecoded);
        m_nDecoded += strData.size();
        CPdfObject parms = i < parameters.size() ? Resolve(parameters[i]) : CPdfObject();
        int nPredictor = BoundedInteger(parms.Get("/Predictor"), 1, 1, 15, "/Predictor");
        UndoPdfPredictor(strData, nPredictor, BoundedInteger(parms.Get("/Colors"), 1, 1, 32, "/Colors"),
                         BoundedInteger(parms.Get("/BitsPerComponent"), 8, 1, 16, "/BitsPerComponent"),
                         BoundedInteger(parms.Get("/Columns"), 1, 1, INT_MAX, "/Columns"));
    }
    return strData;
}

CPdfObject CPdfDocument::Resolve(const CPdfObject& object) {
    if (!object.IsReference())
        return object;
    return LoadObject(object.ObjectNumber(), object.Generation());
}

CPdfObject CPdfDocument::LoadObject(int nObject, int nGeneration) {
    CObjectKey key = Key(nObject, nGeneration);
    auto cached = m_cache.find(key);
    if (cached != m_cache.end())
        return cached->second;
    auto entry = m_entries.find(key);
    if (nObject <= 0 || entry == m_entries.end())
        return CPdfObject();
    if (m_loading.size() >= kMaxLoadDepth || !m_loading.insert(key).second)
        throw CPdfError("objects refer to each other in a loop");
    CPdfObject object;
    try {
        if (entry->second.nType == 1) {
            object = ReadIndirectObject(entry->second.nOffset, nObject, nGeneration);
        } else {
            LoadObjectStream(static_cast<int>(entry->second.nOffset));
            cached = m_cache.find(key);
            if (cached != m_cache.end())
                object = cached->second;
        }
    } catch (...) {
        m_loading.erase(key);
        throw;
    }
    m_loading.erase(key);
    m_cache[key] = object;
    return object;
}

// Reads every object of an object stream that the cross-reference places in it.
void CPdfDocument::LoadObjectStream(int nStream) {
    if (!m_loadedStreams.insert(nStream).second)
        return;
    CPdfObject stream = LoadObject(nStream, 0);
    if (!stream.IsStream() || !stream.Get("/Type").IsName("/ObjStm"))
        throw CPdfError("object stream not found");
    int nCount = BoundedInteger(stream.Get("/N"), -1, 0, INT_MAX, "/N");
    int nFirst = BoundedInteger(stream.Get("/First"), -1, 0, INT_MAX, "/First");
    std::string strData = StreamData(stream);
    CPdfInput data(reinterpret_cast<const uint8_t*>(strData.data()), strData.size());
    CPdfLexer lexer(data, 0);
    std::map<int, uint64_t> offsets;
    for (int i = 0; i < nCount; ++i) {
        SPdfToken number = lexer.Next();
        SPdfToken offset = lexer.Next();
        if (!IsIntegerToken(number) || !IsIntegerToken(offset) || offset.dValue < 0)
            throw CPdfError("bad object stream header");
        int nObject = ToObjectNumber(number.dValue);
        if (nObject != nStream)
            offsets[nObject] = static_cast<uint64_t>(nFirst) + static_cast<uint64_t>(offset.dValue);
    }
    for (const auto& item : offsets) {
        CObjectKey key = Key(item.first, 0);
        auto entry = m_entries.find(key);
        if (entry == m_entries.end() || entry->second.nType != 2 ||
            entry->second.nOffset != static_cast<uint64_t>(nStream) || m_cache.count(key) != 0)
            continue;
        if (item.second >= strData.size())
            throw CPdfError("object stream offset past its end");
        lexer.Seek(item.second);
        CPdfObject object = ParsePdfObject(lexer);
        if (object.IsReference())
            throw CPdfError("object is a reference");
        m_cache[key] = object;
    }
}

bool CPdfDocument::ScanObjects(int nCatalog) {
    // Objects in object streams stay where the cross-reference read so far puts them, as libqpdf
    // keeps them: the scan finds only objects at offsets.
    for (auto it = m_entries.begin(); it != m_entries.end();)
        it = it->second.nType == 1 ? m_entries.erase(it) : std::next(it);
    m_freeObjects.clear();
    m_cache.clear();
    m_loadedStreams.clear();
    m_bScanned = true;
    CPdfObject firstTrailer;
    // Each broken trailer may be read to the end of the file: only a few are tried.
    int nTrailerTries = 16;
    CPdfLexer lexer(m_input, 0);
    for (uint64_t nLine = 0; nLine < m_input.Size();) {
        lexer.Seek(nLine);
        lexer.SkipWhiteSpace();
        uint64_t nToken = lexer.Tell();
        if (IsDigit(m_input.At(nToken))) {
            ScanLine(nToken);
        } else if (m_input.Matches(nToken, "trailer") && firstTrailer.IsNull() && nTrailerTries-- > 0) {
            lexer.Seek(nToken + 7);
            // A trailer cut short is passed over; one in a syntax we do not take might be the
            // trailer libqpdf reads, so the scan gives up rather than look further.
            try {
                CPdfObject trailer = ParsePdfObject(lexer);
                if (trailer.IsDictionary())
                    firstTrailer = trailer;
            } catch (const CPdfEndOfData&) {
            }
        }
        // On from the end of the line's first token.
        uint64_t nPos = nToken;
        while (m_input.At(nPos) >= 0 && !IsPdfWhiteSpace(m_input.At(nPos)))
            ++nPos;
        while (m_input.At(nPos) >= 0 && m_input.At(nPos) != '\r' && m_input.At(nPos) != '\n')
            ++nPos;
        nLine = nPos + 1;
    }
    if (m_trailer.IsNull())
        m_trailer = firstTrailer;
    if (m_trailer.IsNull() && nCatalog > 0)
        m_trailer = CPdfObject::Dictionary({{"/Root", CPdfObject::Reference(nCatalog, 0)}});
    return !m_trailer.IsNull();
}

// "N G obj" at nStart: an entry for the object there, replacing an earlier one. Read byte by byte,
// numbers of at most a few digits, so that a line cannot make the scan read on to the end.
void CPdfDocument::ScanLine(uint64_t nStart) {
    uint64_t nPos = nStart;
    auto readNumber = [&](int64_t& nValue) {
        uint64_t nFirst = nPos;
        nValue = 0;
        while (IsDigit(m_input.At(nPos)) && nPos - nFirst < kMaxScanDigits)
            nValue = nValue * 10 + (m_input.At(nPos++) - '0');
        return nPos > nFirst && !IsDigit(m_input.At(nPos));
    };
    // White space and comments between the three words, however long: a run of them is passed
    // over from one line start only, the next line start being after it.
    auto skipBlanks = [&] {
        uint64_t nFirst = nPos;
        CPdfLexer lexer(m_input, nPos);
        lexer.SkipWhiteSpace();
        nPos = lexer.Tell();
        return nPos > nFirst;
    };
    int64_t nObject = 0;
    int64_t nGeneration = 0;
    if (!readNumber(nObject) || !skipBlanks() || !readNumber(nGeneration) || !skipBlanks() ||
        !m_input.Matches(nPos, "obj"))
        return;
    int nAfter = m_input.At(nPos + 3);
    if ((nAfter < 0 || IsPdfWhiteSpace(nAfter) || IsPdfDelimiter(nAfter)) && nObject <= INT_MAX &&
        nGeneration <= 65535)
        AddEntry(static_cast<int>(nObject), static_cast<int>(nGeneration), {1, nStart}, true);
}

void CPdfDocument::OpenSecurity() {
    if (m_pSecurity)
        return;
    CPdfObject encrypt = Resolve(m_trailer.Get("/Encrypt"));
    if (encrypt.IsNull())
        return;
    const CPdfArray& ids = Resolve(m_trailer.Get("/ID")).Items();
    std::string strFirstId = ids.empty() ? std::string() : Resolve(ids[0]).Text();
    m_pSecurity = std::make_unique<CPdfSecurity>(encrypt, strFirstId);
}

int FindPdfCatalogObject(CPdfInput& input) {
    int64_t nCatalog = input.FindLast("/Catalog", 0, input.Size());
    if (nCatalog < 0)
        return 0;
    int64_t nObj = input.FindLast(" obj", 0, static_cast<uint64_t>(nCatalog) + 4);
    if (nObj <= 0)
        return 0;
    // Back over "G" and the blank before it, then over "N".
    int64_t nGeneration = nObj - 1;
    while (nGeneration >= 0 && IsDigit(input.At(static_cast<uint64_t>(nGeneration))))
        --nGeneration;
    if (nGeneration < 0 || nGeneration == nObj - 1 || input.At(static_cast<uint64_t>(nGeneration)) != ' ')
        return 0;
    int64_t nNumberStart = nGeneration - 1;
    while (nNumberStart >= 0 && IsDigit(input.At(static_cast<uint64_t>(nNumberStart))))
        --nNumberStart;
    ++nNumberStart;
    if (nNumberStart >= nGeneration || nGeneration - nNumberStart > 9)
        return 0;
    int nNumber = 0;
    for (int64_t i = nNumberStart; i < nGeneration; ++i)
        nNumber = nNumber * 10 + (input.At(static_cast<uint64_t>(i)) - '0');
    return nNumber;
}
