#include "printparser/FormatReaders.h"
#include "printparser/PdfDocument.h"

#include "Include/LogFile.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cmath>
#include <exception>
#include <set>
#include <string>
#include <vector>

namespace {

// Deeper page trees than this are not followed; real files use a handful of levels.
constexpr int kMaxTreeDepth = 1000;
constexpr double kPointsPerInch = 72.0;
// PDFs up to this size are read into memory for libqpdf.
constexpr uint64_t kMaxCopyBytes = 64ull * 1024 * 1024;

struct SPageNode {
    QPDFObjectHandle hNode;
    QPDFObjectHandle hMediaBox;
    int nDepth;
};

bool IsBox(QPDFObjectHandle hBox) {
    if (!hBox.isArray() || hBox.getArrayNItems() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        if (!hBox.getArrayItem(i).isNumber())
            return false;
    }
    return true;
}

bool IsPageTreeNode(QPDFObjectHandle hNode) {
    QPDFObjectHandle hType = hNode.getKey("/Type");
    if (hType.isName() && hType.getName() == "/Page")
        return false;
    return hNode.getKey("/Kids").isArray();
}

void ReportBox(QPDFObjectHandle hPage, QPDFObjectHandle hBox, CParseSink& sink) {
    if (!IsBox(hBox))
        return;
    double dUnit = 1.0;
    QPDFObjectHandle hUserUnit = hPage.getKey("/UserUnit");
    if (hUserUnit.isNumber() && hUserUnit.getNumericValue() > 0.0)
        dUnit = hUserUnit.getNumericValue();
    double dWidth =
        std::fabs(hBox.getArrayItem(2).getNumericValue() - hBox.getArrayItem(0).getNumericValue());
    double dLength =
        std::fabs(hBox.getArrayItem(3).getNumericValue() - hBox.getArrayItem(1).getNumericValue());
    sink.SetFirstPageSize(dWidth * dUnit / kPointsPerInch, dLength * dUnit / kPointsPerInch);
}

// Counts the leaves of the page tree in document order, ignoring /Count. Each indirect node is
// visited once, so a loop or a node listed twice cannot inflate the count or run for ever.
void WalkPageTree(QPDFObjectHandle hRoot, CParseSink& sink) {
    std::set<QPDFObjGen> visited;
    std::vector<SPageNode> stack{{hRoot, QPDFObjectHandle::newNull(), 0}};
    long long nPages = 0;
    while (!stack.empty()) {
        SPageNode node = stack.back();
        stack.pop_back();
        if (!node.hNode.isDictionary())
            continue;
        if (node.hNode.isIndirect() && !visited.insert(node.hNode.getObjGen()).second)
            continue;
        QPDFObjectHandle hBox = node.hNode.getKey("/MediaBox");
        if (IsBox(hBox))
            node.hMediaBox = hBox;
        if (!IsPageTreeNode(node.hNode)) {
            if (++nPages == 1)
                ReportBox(node.hNode, node.hMediaBox, sink);
            sink.AddPages(1);
            continue;
        }
        if (node.nDepth >= kMaxTreeDepth) {
            LogTrace("--W: PDF page tree deeper than %d levels; the rest is not counted", kMaxTreeDepth);
            continue;
        }
        std::vector<QPDFObjectHandle> kids = node.hNode.getKey("/Kids").getArrayAsVector();
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.push_back({*it, node.hMediaBox, node.nDepth + 1});
    }
}

// Reads the bytes from the PDF header to the end into strData; false when there are more than
// kMaxCopyBytes or they cannot be read.
bool CopyPdfBytes(CByteSource& source, uint64_t nStart, std::string& strData) {
    uint64_t nLength = source.Size() - nStart;
    if (nLength > kMaxCopyBytes)
        return false;
    strData.resize(static_cast<size_t>(nLength));
    source.Seek(nStart);
    return source.Read(reinterpret_cast<uint8_t*>(&strData[0]), strData.size()) == strData.size();
}

// Opens the PDF that starts at nStart and walks its page tree. libqpdf reads from memory: a copy
// of the bytes from the header on (many small seeks on a file cost libqpdf more than one read),
// with pAppend, when given, added to the end as a repair. A file too large to copy is left to
// libqpdf itself, which finds a header within its first 1024 bytes and otherwise rebuilds the
// cross-reference table from the objects it finds. Throws what libqpdf throws.
void OpenAndWalk(CByteSource& source, uint64_t nStart, const char* pAppend, CParseSink& sink) {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.setAttemptRecovery(true);
    std::string strData;
    if (!source.IsFile() && pAppend == nullptr) {
        pdf.processMemoryFile("print data", reinterpret_cast<const char*>(source.Memory() + nStart),
                              static_cast<size_t>(source.Size() - nStart));
    } else if (CopyPdfBytes(source, nStart, strData)) {
        strData += pAppend != nullptr ? pAppend : "";
        pdf.processMemoryFile("print data", strData.data(), strData.size());
    } else if (pAppend == nullptr) {
        pdf.processFile(source.Path().c_str());
    } else {
        LogTrace("--W: PDF of %llu bytes is too large to be copied for a repair",
                 static_cast<unsigned long long>(source.Size() - nStart));
        return;
    }
    WalkPageTree(pdf.getRoot().getKey("/Pages"), sink);
}

// A file cut short loses its trailer, and libqpdf's repair cannot do without one: give it a
// trailer naming the catalog found among the objects that are left, and try once more.
void ReadTruncatedPdf(CByteSource& source, uint64_t nStart, CParseSink& sink) {
    std::string strData;
    if (!CopyPdfBytes(source, nStart, strData))
        return;
    CPdfInput input(reinterpret_cast<const uint8_t*>(strData.data()), strData.size());
    int nCatalog = FindPdfCatalogObject(input);
    if (nCatalog <= 0)
        return;
    std::string strTrailer = "\ntrailer\n<< /Root " + std::to_string(nCatalog) + " 0 R >>\n%%EOF\n";
    strData = std::string(); // frees the copy before the next one is made
    try {
        OpenAndWalk(source, nStart, strTrailer.c_str(), sink);
        LogTrace("--W: PDF without a trailer read from its catalog object %d", nCatalog);
    } catch (const std::exception& e) {
        LogTrace("--W: PDF could not be repaired: %s", e.what());
    }
}

} // namespace

void ReadPdf(CByteSource& source, CParseSink& sink) {
    sink.SetFormat(kFormatPdf);
    uint64_t nStart = source.Tell();
    if (nStart >= source.Size())
        return;
    try {
        OpenAndWalk(source, nStart, nullptr, sink);
        return;
    } catch (const QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password) {
            LogTrace("--W: PDF needs a password to open; page count and size unknown");
            return;
        }
        LogTrace("--W: PDF could not be read: %s", e.what());
    } catch (const std::exception& e) {
        LogTrace("--W: PDF could not be read: %s", e.what());
    }
    if (sink.PageCount() == 0)
        ReadTruncatedPdf(source, nStart, sink);
}
