#include "printparser/FormatReaders.h"
#include "printparser/PdfDocument.h"

#include "Include/LogFile.h"

#include <cmath>
#include <exception>
#include <set>
#include <vector>

namespace {

// Deeper page trees than this are not followed; real files use a handful of levels.
constexpr int kMaxTreeDepth = 1000;
constexpr double kPointsPerInch = 72.0;

struct SPageNode {
    CPdfObject node;
    CPdfObject mediaBox;
    int nDepth;
};

// What the page tree gave: reported only once the whole tree has been read.
struct SPdfPages {
    bool bHasTrailer = false;
    long long nPages = 0;
    bool bHasSize = false;
    double dWidth = 0.0;
    double dLength = 0.0;
};

bool IsBox(CPdfDocument& document, const CPdfObject& box) {
    CPdfObject resolved = document.Resolve(box);
    if (!resolved.IsArray() || resolved.Items().size() != 4)
        return false;
    for (const CPdfObject& item : resolved.Items()) {
        if (!document.Resolve(item).IsNumber())
            return false;
    }
    return true;
}

bool IsPageTreeNode(CPdfDocument& document, const CPdfObject& node) {
    if (document.Resolve(node.Get("/Type")).IsName("/Page"))
        return false;
    return document.Resolve(node.Get("/Kids")).IsArray();
}

void KeepBox(CPdfDocument& document, const CPdfObject& page, const CPdfObject& box, SPdfPages& pages) {
    if (!IsBox(document, box))
        return;
    double dUnit = 1.0;
    CPdfObject userUnit = document.Resolve(page.Get("/UserUnit"));
    if (userUnit.IsNumber() && userUnit.Value() > 0.0)
        dUnit = userUnit.Value();
    const CPdfArray& items = document.Resolve(box).Items();
    auto value = [&](size_t i) { return document.Resolve(items[i]).Value(); };
    pages.bHasSize = true;
    pages.dWidth = std::fabs(value(2) - value(0)) * dUnit / kPointsPerInch;
    pages.dLength = std::fabs(value(3) - value(1)) * dUnit / kPointsPerInch;
}

// Counts the leaves of the page tree in document order, ignoring /Count. Each indirect node is
// visited once, so a loop or a node listed twice cannot inflate the count or run for ever.
void WalkPageTree(CPdfDocument& document, SPdfPages& pages) {
    CPdfObject root = document.Resolve(document.Trailer().Get("/Root"));
    if (!root.IsDictionary())
        throw CPdfError("no /Root dictionary");
    std::set<std::pair<int, int>> visited;
    std::vector<SPageNode> stack{{root.Get("/Pages"), CPdfObject(), 0}};
    while (!stack.empty()) {
        SPageNode item = stack.back();
        stack.pop_back();
        CPdfObject node = document.Resolve(item.node);
        if (!node.IsDictionary())
            continue;
        if (item.node.IsReference() &&
            !visited.insert({item.node.ObjectNumber(), item.node.Generation()}).second)
            continue;
        const CPdfObject& box = node.Get("/MediaBox");
        if (IsBox(document, box))
            item.mediaBox = box;
        if (!IsPageTreeNode(document, node)) {
            if (++pages.nPages == 1)
                KeepBox(document, node, item.mediaBox, pages);
            continue;
        }
        if (item.nDepth >= kMaxTreeDepth) {
            LogTrace("--W: PDF page tree deeper than %d levels; the rest is not counted", kMaxTreeDepth);
            continue;
        }
        const CPdfArray& kids = document.Resolve(node.Get("/Kids")).Items();
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.push_back({*it, item.mediaBox, item.nDepth + 1});
    }
}

// Opens the document (from its cross-reference, or from a scan when that is broken or an object
// is not where it says) and walks its page tree. nCatalog > 0 names the root of a file whose
// trailer is lost. Throws CPdfError.
void ReadPages(CPdfInput& input, int nCatalog, SPdfPages& pages) {
    CPdfDocument document(input);
    if (!document.ReadCrossReference() && !document.ScanObjects(nCatalog))
        throw CPdfError("no trailer");
    pages.bHasTrailer = true;
    try {
        document.OpenSecurity();
        WalkPageTree(document, pages);
    } catch (const CPdfMisplacedObject&) {
        if (document.Scanned() || pages.nPages > 0 || !document.ScanObjects(nCatalog))
            throw;
        document.OpenSecurity();
        WalkPageTree(document, pages);
    }
}

void Report(const SPdfPages& pages, CParseSink& sink) {
    if (pages.bHasSize)
        sink.SetFirstPageSize(pages.dWidth, pages.dLength);
    sink.AddPages(pages.nPages);
}

// A file cut short loses its trailer: read it once more with the catalog found among the objects
// that are left as its root.
void ReadWithoutTrailer(CPdfInput& input, CParseSink& sink) {
    int nCatalog = FindPdfCatalogObject(input);
    if (nCatalog <= 0)
        return;
    try {
        SPdfPages pages;
        ReadPages(input, nCatalog, pages);
        Report(pages, sink);
        LogTrace("--W: PDF without a trailer read from its catalog object %d", nCatalog);
    } catch (const std::exception& e) {
        LogTrace("--W: PDF could not be repaired: %s", e.what());
    }
}

} // namespace

void ReadPdfOwn(CByteSource& source, CParseSink& sink) {
    sink.SetFormat(kFormatPdf);
    uint64_t nStart = source.Tell();
    if (nStart >= source.Size())
        return;
    CPdfInput input(source, nStart);
    SPdfPages pages;
    try {
        ReadPages(input, 0, pages);
        Report(pages, sink);
        return;
    } catch (const CPdfNeedsPassword&) {
        LogTrace("--W: PDF needs a password to open; page count and size unknown");
        return;
    } catch (const std::exception& e) {
        LogTrace("--W: PDF could not be read: %s", e.what());
    }
    // Only a file without any trailer reads differently with a made-up one.
    if (!pages.bHasTrailer)
        ReadWithoutTrailer(input, sink);
}
