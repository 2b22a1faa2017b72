#pragma once

#include "printparser/ByteSource.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The agent's own PDF object reader, portable and without libraries beyond zlib: enough of the
// file structure (cross-reference tables and streams, object streams, Flate with predictors,
// incremental updates, and a scan for objects when the cross-reference is broken) to walk the
// page tree. Every size, count and depth read from the file is bounded; failures are thrown as
// CPdfError and caught by the reader at its boundary.

class CPdfError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The data ends inside an object.
class CPdfEndOfData : public CPdfError {
  public:
    using CPdfError::CPdfError;
};

// Syntax that libqpdf reads in ways of its own: the own reader gives up on the whole file rather
// than fall back on a scan that libqpdf would not make.
class CPdfUnsupported : public CPdfError {
  public:
    using CPdfError::CPdfError;
};

// An object is not where the cross-reference says: the file is read again from a scan.
class CPdfMisplacedObject : public CPdfError {
  public:
    using CPdfError::CPdfError;
};

// Reading on would need a password other than the empty one, or a handler we do not have.
class CPdfNeedsPassword : public CPdfError {
  public:
    using CPdfError::CPdfError;
};

// Random access to the bytes of one PDF, from its header on: a caller's buffer as it is, or a file
// through a few cached blocks, so that a large file is never read into memory as a whole.
class CPdfInput {
  public:
    CPdfInput(CByteSource& source, uint64_t nStart);
    CPdfInput(const uint8_t* pData, size_t nSize);
    CPdfInput(const CPdfInput&) = delete;
    CPdfInput& operator=(const CPdfInput&) = delete;

    uint64_t Size() const { return m_nSize; }
    // The byte at nPos, or -1 past the end.
    int At(uint64_t nPos) {
        if (nPos >= m_nSize)
            return -1;
        return m_pMemory != nullptr ? m_pMemory[nPos] : FromFile(nPos);
    }
    // The offset of the last szText that starts at or after nFrom and ends by nTo, or -1.
    int64_t FindLast(const char* szText, uint64_t nFrom, uint64_t nTo);
    // The offset of the first szText at or after nFrom that starts before nTo, or -1.
    int64_t FindFirst(const char* szText, uint64_t nFrom, uint64_t nTo);
    bool Matches(uint64_t nPos, const char* szText);

  private:
    int FromFile(uint64_t nPos);

    static constexpr size_t kBlockSize = 64 * 1024;
    static constexpr size_t kBlocks = 4;

    CByteSource* m_pSource = nullptr;
    uint64_t m_nStart = 0;
    const uint8_t* m_pMemory = nullptr;
    uint64_t m_nSize = 0;
    std::vector<uint8_t> m_blocks[kBlocks];
    uint64_t m_nBlockIndex[kBlocks];
    size_t m_nNextBlock = 0;
};

enum class EPdfType {
    Null,
    Boolean,
    Integer,
    Real,
    String,
    Name,
    Keyword,
    Array,
    Dictionary,
    Stream,
    Reference
};

class CPdfObject;
using CPdfArray = std::vector<CPdfObject>;
using CPdfDict = std::map<std::string, CPdfObject>;

class CPdfObject {
  public:
    CPdfObject() = default;
    static CPdfObject Number(EPdfType eType, double dValue);
    static CPdfObject Text(EPdfType eType, std::string strText);
    static CPdfObject Array(CPdfArray items);
    static CPdfObject Dictionary(CPdfDict entries);
    static CPdfObject Reference(int nObject, int nGeneration);
    // A stream: its dictionary and where its data starts in the file; nObject and nGeneration
    // name the indirect object that holds it.
    static CPdfObject Stream(const CPdfObject& dictionary, uint64_t nDataOffset, int nObject,
                             int nGeneration);

    EPdfType Type() const { return m_eType; }
    bool IsNull() const { return m_eType == EPdfType::Null; }
    bool IsNumber() const { return m_eType == EPdfType::Integer || m_eType == EPdfType::Real; }
    bool IsInteger() const { return m_eType == EPdfType::Integer; }
    bool IsName(const char* szName) const { return m_eType == EPdfType::Name && m_strText == szName; }
    bool IsArray() const { return m_eType == EPdfType::Array; }
    bool IsDictionary() const { return m_eType == EPdfType::Dictionary; }
    bool IsStream() const { return m_eType == EPdfType::Stream; }
    bool IsReference() const { return m_eType == EPdfType::Reference; }
    double Value() const { return m_dValue; }
    // Names (with the slash), strings (decoded) and keywords.
    const std::string& Text() const { return m_strText; }
    // The items of an array; empty for anything else.
    const CPdfArray& Items() const;
    // The value of a key of a dictionary or of a stream's dictionary; null when absent.
    const CPdfObject& Get(const std::string& strKey) const;
    int ObjectNumber() const { return m_nObject; }
    int Generation() const { return m_nGeneration; }
    uint64_t DataOffset() const { return m_nDataOffset; }

  private:
    EPdfType m_eType = EPdfType::Null;
    double m_dValue = 0.0;
    std::string m_strText;
    std::shared_ptr<const CPdfArray> m_pItems;
    std::shared_ptr<const CPdfDict> m_pEntries;
    int m_nObject = 0;
    int m_nGeneration = 0;
    uint64_t m_nDataOffset = 0;
};

struct SPdfToken {
    enum EKind { End, Integer, Real, Name, String, Keyword, ArrayOpen, ArrayClose, DictOpen, DictClose };
    EKind eKind = End;
    double dValue = 0.0;
    std::string strText;
    uint64_t nStart = 0;
};

// Tokens of PDF syntax; comments and white space are skipped.
class CPdfLexer {
  public:
    CPdfLexer(CPdfInput& input, uint64_t nPos) : m_input(input), m_nPos(nPos) {}

    SPdfToken Next();
    uint64_t Tell() const { return m_nPos; }
    void Seek(uint64_t nPos) { m_nPos = nPos; }
    void SkipWhiteSpace();

  private:
    void ReadLiteralString(SPdfToken& token);
    void ReadHexString(SPdfToken& token);
    void ReadName(SPdfToken& token);
    void ReadRegular(SPdfToken& token);

    CPdfInput& m_input;
    uint64_t m_nPos;
};

bool IsPdfWhiteSpace(int c);
bool IsPdfDelimiter(int c);

// One direct object from the lexer's position (arrays and dictionaries nested at most
// kMaxPdfNesting deep); throws CPdfError on anything that is not an object.
CPdfObject ParsePdfObject(CPdfLexer& lexer);
constexpr int kMaxPdfNesting = 256;

struct SPdfXrefEntry {
    uint8_t nType = 0;    // 1: at an offset in the file, 2: inside an object stream
    uint64_t nOffset = 0; // the offset, or the object stream's number
};

// The objects of one PDF through its cross-reference, or through a scan of the file when that is
// broken. Objects are read once and kept.
class CPdfSecurity;

class CPdfDocument {
  public:
    explicit CPdfDocument(CPdfInput& input);
    ~CPdfDocument();
    CPdfDocument(const CPdfDocument&) = delete;
    CPdfDocument& operator=(const CPdfDocument&) = delete;

    // Follows startxref and the /Prev chain; false when any part is broken, leaving what was read
    // before the break for ScanObjects. Throws CPdfUnsupported.
    bool ReadCrossReference();
    // Rebuilds the table from the "N G obj" at the start of lines, the last definition winning;
    // entries into object streams already read stay.
    // The trailer already read stays; otherwise the first "trailer" dictionary found is taken, and
    // without one a trailer naming nCatalog as /Root when nCatalog > 0. False without a trailer;
    // throws CPdfError on a trailer it cannot read that does not end with the data.
    bool ScanObjects(int nCatalog);
    bool Scanned() const { return m_bScanned; }
    const CPdfObject& Trailer() const { return m_trailer; }
    // Sets up reading an encrypted file (nothing for a plain one, nor once it is set up); throws
    // CPdfNeedsPassword.
    void OpenSecurity();

    // The object a reference points to (null for a missing or free one); other objects as they are.
    CPdfObject Resolve(const CPdfObject& object);
    // The decoded data of a stream; throws when a filter is unknown or a limit is passed.
    std::string StreamData(const CPdfObject& stream);

    size_t EntryCount() const { return m_entries.size(); }
    // The most bytes all streams of one file may decode to.
    static constexpr size_t kMaxDecodedTotal = 64u * 1024 * 1024;
    // The most cross-reference entries one file may have.
    static constexpr size_t kMaxEntries = 4u * 1024 * 1024;

  private:
    using CObjectKey = uint64_t;

    static CObjectKey Key(int nObject, int nGeneration);
    bool ReadCrossReferenceChain();
    uint64_t StartXrefOffset();
    CPdfObject ReadXrefSection(uint64_t nOffset);
    CPdfObject ReadXrefTable(CPdfLexer& lexer);
    CPdfObject ReadXrefStream(uint64_t nOffset);
    void AddEntry(int nObject, int nGeneration, const SPdfXrefEntry& entry, bool bOverwrite);
    void AddFreeEntry(int nObject);
    CPdfObject ReadIndirectObject(uint64_t nOffset, int nObject, int nGeneration);
    uint64_t StreamDataStart(uint64_t nAfterKeyword);
    uint64_t StreamLength(const CPdfObject& stream);
    CPdfObject LoadObject(int nObject, int nGeneration);
    void LoadObjectStream(int nStream);
    std::string Decode(const CPdfObject& stream, std::string strData);
    void ScanLine(uint64_t nStart);

    CPdfInput& m_input;
    CPdfObject m_trailer;
    bool m_bScanned = false;
    std::unordered_map<CObjectKey, SPdfXrefEntry> m_entries;
    std::unordered_set<int> m_freeObjects;
    std::unordered_map<CObjectKey, CPdfObject> m_cache;
    std::set<CObjectKey> m_loading;
    std::unordered_set<int> m_loadedStreams;
    size_t m_nDecoded = 0;
    uint64_t m_nEndSearchFrom = 1;
    uint64_t m_nEndSearchTo = 0;
    int64_t m_nEndSearchFound = -1;
    std::unique_ptr<CPdfSecurity> m_pSecurity;
};

// The object number of the last "N G obj" before the last "/Catalog" of the input, or 0 when
// there is none: the root of a file whose trailer is lost.
int FindPdfCatalogObject(CPdfInput& input);

// Predictor decoding of Flate data (/Predictor 2 for TIFF, 10 to 15 for PNG) in place; throws
// CPdfError on a row it cannot decode.
void UndoPdfPredictor(std::string& strData, int nPredictor, int nColors, int nBitsPerComponent, int nColumns);
