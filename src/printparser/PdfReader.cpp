#include "printparser/FormatReaders.h"

#include "Include/LogFile.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cmath>
#include <exception>
#include <set>
#include <vector>

namespace {

// Deeper page trees than this are not followed; real files use a handful of levels.
constexpr int kMaxTreeDepth = 128;
constexpr double kPointsPerInch = 72.0;

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
    double dWidth = std::fabs(hBox.getArrayItem(2).getNumericValue() - hBox.getArrayItem(0).getNumericValue());
    double dLength = std::fabs(hBox.getArrayItem(3).getNumericValue() - hBox.getArrayItem(1).getNumericValue());
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

} // namespace

void ReadPdf(CByteSource& source, CParseSink& sink) {
    sink.SetFormat(kFormatPdf);
    if (source.Size() == 0)
        return;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.setAttemptRecovery(true);
        if (source.IsFile())
            pdf.processFile(source.Path().c_str());
        else
            pdf.processMemoryFile("print data", reinterpret_cast<const char*>(source.Memory()),
                                  static_cast<size_t>(source.Size()));
        WalkPageTree(pdf.getRoot().getKey("/Pages"), sink);
    } catch (const QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password)
            LogTrace("--W: PDF needs a password to open; page count and size unknown");
        else
            LogTrace("--W: PDF could not be read: %s", e.what());
    } catch (const std::exception& e) {
        LogTrace("--W: PDF could not be read: %s", e.what());
    }
}
