#include "ftp/ZRFTPTree.h"

#include <algorithm>
#include <cstring>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include "host/Action.h"

namespace zr {

namespace {

constexpr char Bar = '|';

// ---- pipe paths ----

// The folder part of an item's relative path as it is stored, without the bar PathPiped may append.
std::string_view FolderPartView(const TFTPItem& item) {
    std::string_view path = item.RelativePathPiped;
    if (item.IsFile()) {
        auto last = path.rfind(Bar);
        return last == std::string_view::npos ? std::string_view{} : path.substr(0, last + 1);
    }
    return path;
}

std::string_view FileNameView(const TFTPItem& item) {
    if (!item.IsFile())
        return {};
    std::string_view path = item.RelativePathPiped;
    auto last = path.rfind(Bar);
    return last == std::string_view::npos ? path : path.substr(last + 1);
}

// Walks the segments of a pipe path: segment i is the text after the i-th bar up to the next bar, and
// empty once the bars run out (which is also what a bar appended by PathPiped would give).
class TSegments {
public:
    explicit TSegments(std::string_view path) {
        auto first = path.find(Bar);
        if (first == std::string_view::npos)
            FDone = true;
        else
            FRest = path.substr(first + 1);
    }
    std::string_view Next() {
        if (FDone)
            return {};
        auto bar = FRest.find(Bar);
        if (bar == std::string_view::npos) {
            FDone = true;
            return FRest;
        }
        std::string_view segment = FRest.substr(0, bar);
        FRest = FRest.substr(bar + 1);
        return segment;
    }

private:
    std::string_view FRest;
    bool FDone = false;
};

// Yields the UTF-16 code units of UTF-8 text, so that names order as they would in UTF-16 (which
// differs from byte order for characters beyond U+FFFF). A byte that does not start a valid sequence
// stands alone as a lone low surrogate, keeping names that are not UTF-8 in a stable order.
class TUtf16Units {
public:
    explicit TUtf16Units(std::string_view text) : FText(text) {}
    bool AtEnd() const { return FPending == 0 && FPos >= FText.size(); }

    char16_t Next() {
        if (FPending != 0) {
            char16_t unit = FPending;
            FPending = 0;
            return unit;
        }
        auto lead = static_cast<unsigned char>(FText[FPos]);
        if (lead < 0x80) {
            ++FPos;
            return lead;
        }
        char32_t cp = 0;
        std::size_t len = Decode(cp);
        if (len == 0) {
            ++FPos;
            return static_cast<char16_t>(0xDC00 | lead);
        }
        FPos += len;
        if (cp < 0x10000)
            return static_cast<char16_t>(cp);
        cp -= 0x10000;
        FPending = static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        return static_cast<char16_t>(0xD800 | (cp >> 10));
    }

private:
    // The length of a valid sequence at FPos, or 0.
    std::size_t Decode(char32_t& cp) const {
        auto lead = static_cast<unsigned char>(FText[FPos]);
        std::size_t len;
        char32_t minimum;
        if (lead >= 0xC2 && lead <= 0xDF) {
            len = 2;
            minimum = 0x80;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            len = 3;
            minimum = 0x800;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4;
            minimum = 0x10000;
            cp = lead & 0x07;
        } else {
            return 0;
        }
        if (FText.size() - FPos < len)
            return 0;
        for (std::size_t i = 1; i < len; ++i) {
            auto next = static_cast<unsigned char>(FText[FPos + i]);
            if ((next & 0xC0) != 0x80)
                return 0;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return 0;
        return len;
    }

    std::string_view FText;
    std::size_t FPos = 0;
    char16_t FPending = 0;
};

constexpr char16_t FoldAscii(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

int CompareAsciiNoCase(std::string_view left, std::string_view right) {
    TUtf16Units l(left), r(right);
    while (!l.AtEnd() && !r.AtEnd()) {
        char16_t a = FoldAscii(l.Next());
        char16_t b = FoldAscii(r.Next());
        if (a != b)
            return a < b ? -1 : 1;
    }
    if (l.AtEnd())
        return r.AtEnd() ? 0 : -1;
    return 1;
}

// ---- name collation ----

std::unique_ptr<icu::Collator> OpenNameCollator() {
    icu::Locale locale = icu::Locale::getDefault();
    // The C and POSIX locales reach ICU as en_US_POSIX, whose collation orders by code point and keeps
    // upper and lower case apart at every strength; names must compare without case.
    if (std::strcmp(locale.getVariant(), "POSIX") == 0)
        locale = icu::Locale::getRoot();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator)
        return nullptr;
    collator->setStrength(icu::Collator::SECONDARY);
    return collator;
}

// Opened once per process; each thread compares with its own clone, since ICU promises thread safety
// for cloning rather than for sharing one collator.
const icu::Collator* NameCollator() {
    static const std::unique_ptr<icu::Collator> prototype = OpenNameCollator();
    if (!prototype)
        return nullptr;
    thread_local const std::unique_ptr<icu::Collator> local(prototype->clone());
    return local.get();
}

int CompareFoldedBytes(std::string_view left, std::string_view right) {
    auto fold = [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
    };
    std::size_t n = std::min(left.size(), right.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char a = fold(left[i]), b = fold(right[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
}

// ---- walks ----

bool WalkChildrenHead(TFTPTreeNode& node, TFTPTreeVisitor& visitor) {
    if (!visitor.CheckContinuation() || !visitor.VisitEnter(node))
        return false;
    bool callChildren = true;
    if (!visitor.Visit(node, callChildren))
        return false;
    // By index: a visitor may append (orphan) children to the node it visits.
    if (callChildren) {
        for (std::size_t i = 0; i < node.FChildren.size(); ++i)
            if (!WalkChildrenHead(*node.FChildren[i], visitor))
                return false;
    }
    return visitor.VisitLeave(node);
}

bool WalkChildrenTail(TFTPTreeNode& node, TFTPTreeVisitor& visitor) {
    if (!visitor.CheckContinuation() || !visitor.VisitEnter(node))
        return false;
    for (std::size_t i = 0; i < node.FChildren.size(); ++i)
        if (!WalkChildrenTail(*node.FChildren[i], visitor))
            return false;
    bool callChildren = true;
    if (!visitor.Visit(node, callChildren))
        return false;
    if (!callChildren)
        throw EFTPTreeError("Can not stop children call when using tail recursion!");
    return visitor.VisitLeave(node);
}

constexpr const char* ParentsStopMessage = "Can not stop children call when recursing parents!";

bool WalkParentsHead(TFTPTreeNode& node, TFTPTreeVisitor& visitor) {
    if (!visitor.CheckContinuation() || !visitor.VisitEnter(node))
        return false;
    bool callChildren = true;
    if (!visitor.Visit(node, callChildren))
        return false;
    if (node.FParent && !WalkParentsHead(*node.FParent, visitor))
        return false;
    if (!callChildren)
        throw EFTPTreeError(ParentsStopMessage);
    return visitor.VisitLeave(node);
}

bool WalkParentsTail(TFTPTreeNode& node, TFTPTreeVisitor& visitor) {
    if (!visitor.CheckContinuation() || !visitor.VisitEnter(node))
        return false;
    if (node.FParent && !WalkParentsTail(*node.FParent, visitor))
        return false;
    bool callChildren = true;
    if (!visitor.Visit(node, callChildren))
        return false;
    if (!callChildren)
        throw EFTPTreeError(ParentsStopMessage);
    return visitor.VisitLeave(node);
}

bool ProcChildrenHead(TFTPTreeNode& node, const TFTPTreeNodeVisitorProc& proc) {
    if (!proc(node))
        return false;
    for (std::size_t i = 0; i < node.FChildren.size(); ++i)
        if (!ProcChildrenHead(*node.FChildren[i], proc))
            return false;
    return true;
}

bool ProcChildrenTail(TFTPTreeNode& node, const TFTPTreeNodeVisitorProc& proc) {
    for (std::size_t i = 0; i < node.FChildren.size(); ++i)
        if (!ProcChildrenTail(*node.FChildren[i], proc))
            return false;
    return proc(node);
}

bool ProcParentsHead(TFTPTreeNode& node, const TFTPTreeNodeVisitorProc& proc) {
    if (!proc(node))
        return false;
    return node.FParent ? ProcParentsHead(*node.FParent, proc) : true;
}

bool ProcParentsTail(TFTPTreeNode& node, const TFTPTreeNodeVisitorProc& proc) {
    if (node.FParent && !ProcParentsTail(*node.FParent, proc))
        return false;
    return proc(node);
}

} // namespace

// ---- TFTPItem ----

std::string TFTPItem::PathPiped() const {
    std::string result(FolderPartView(*this));
    if (result.empty() || result.back() != Bar)
        result += Bar;
    return result;
}

std::string TFTPItem::FileNamePiped() const {
    return std::string(FileNameView(*this));
}

void TFTPItem::SetRelativePath(std::string_view relativePath) {
    std::string piped;
    piped.reserve(relativePath.size() + 2);
    if (relativePath.empty() || (relativePath.front() != '/' && relativePath.front() != '\\'))
        piped += Bar;
    for (char c : relativePath)
        piped += (c == '/' || c == '\\') ? Bar : c;
    if (IsDir() && piped.back() != Bar)
        piped += Bar;
    RelativePathPiped = std::move(piped);
    UpdatePathDepth();
}

void TFTPItem::UpdatePathDepth() {
    std::string_view folder = FolderPartView(*this);
    auto bars = std::count(folder.begin(), folder.end(), Bar);
    if (folder.empty() || folder.back() != Bar)
        ++bars;
    PathDepth = static_cast<std::int32_t>(bars);
}

int CompareRelativePaths(const TFTPItem& left, const TFTPItem& right) {
    TSegments l(FolderPartView(left)), r(FolderPartView(right));
    const std::int32_t depth = std::min(left.PathDepth, right.PathDepth);
    for (std::int32_t i = 1; i <= depth; ++i) {
        if (int c = CompareAsciiNoCase(l.Next(), r.Next()); c != 0)
            return c;
    }
    if (left.PathDepth != right.PathDepth)
        return left.PathDepth < right.PathDepth ? -1 : 1;
    return CompareAsciiNoCase(FileNameView(left), FileNameView(right));
}

int CompareFTPNames(std::string_view left, std::string_view right) {
    if (const icu::Collator* collator = NameCollator()) {
        UErrorCode status = U_ZERO_ERROR;
        UCollationResult result = collator->compareUTF8(
            icu::StringPiece(left.data(), static_cast<std::int32_t>(left.size())),
            icu::StringPiece(right.data(), static_cast<std::int32_t>(right.size())), status);
        if (U_SUCCESS(status))
            return result;
    }
    return CompareFoldedBytes(left, right);
}

// ---- TFTPTreeNode ----

TFTPTreeNode::TFTPTreeNode(std::string name, bool isFile) : FName(std::move(name)), FIsFile(isFile) {}

TFTPTreeNode::~TFTPTreeNode() = default;

TFTPTreeNode* TFTPTreeNode::AddChild(std::unique_ptr<TFTPTreeNode> child) {
    child->FParent = this;
    FChildren.push_back(std::move(child));
    return FChildren.back().get();
}

TFTPTreeNode* TFTPTreeNode::AddChild(std::string name, bool isFile) {
    return AddChild(std::make_unique<TFTPTreeNode>(std::move(name), isFile));
}

void TFTPTreeNode::SortChildren() {
    std::stable_sort(FChildren.begin(), FChildren.end(),
                     [](const auto& a, const auto& b) { return CompareFTPNames(a->FName, b->FName) < 0; });
}

void TFTPTreeNode::UpdateDifferenceAndChildrens(TFTPItemDiff difference) {
    Accept(
        [difference](TFTPTreeNode& node) {
            node.UpdateDifference(difference);
            return true;
        },
        trmHeadRecursion, tvdVisitChildren);
}

std::string TFTPTreeNode::GeneratePath(char folderSeparator, bool includeRootNode) const {
    TFTPTreePathVisitor visitor(folderSeparator, includeRootNode);
    // The path visitor only reads the nodes it passes.
    const_cast<TFTPTreeNode*>(this)->Accept(visitor, trmTailRecursion, tvdVisitParents);
    return visitor.Path();
}

std::string TFTPTreeNode::GenerateFullPath(char folderSeparator) const {
    return GeneratePath(folderSeparator, true);
}

std::string TFTPTreeNode::GenerateFullPath(char folderSeparator, const std::string& rootFolder) const {
    return rootFolder + GeneratePath(folderSeparator, false);
}

std::string TFTPTreeNode::GenerateRelativePath(char folderSeparator) const {
    return GeneratePath(folderSeparator, false);
}

bool TFTPTreeNode::Accept(TFTPTreeVisitor& visitor, TRecursionMethod recursionMethod,
                          TVisitorDirection direction) {
    if (!visitor.Init(*this))
        return false;
    if (direction == tvdVisitChildren)
        return recursionMethod == trmHeadRecursion ? WalkChildrenHead(*this, visitor)
                                                   : WalkChildrenTail(*this, visitor);
    return recursionMethod == trmHeadRecursion ? WalkParentsHead(*this, visitor)
                                               : WalkParentsTail(*this, visitor);
}

bool TFTPTreeNode::Accept(const TFTPTreeNodeVisitorProc& visitorProc, TRecursionMethod recursionMethod,
                          TVisitorDirection direction) {
    if (direction == tvdVisitChildren)
        return recursionMethod == trmHeadRecursion ? ProcChildrenHead(*this, visitorProc)
                                                   : ProcChildrenTail(*this, visitorProc);
    return recursionMethod == trmHeadRecursion ? ProcParentsHead(*this, visitorProc)
                                               : ProcParentsTail(*this, visitorProc);
}

// ---- visitors ----

bool TFTPTreeVisitor::Init(TFTPTreeNode&) {
    return true;
}

bool TFTPTreePathVisitor::Visit(TFTPTreeNode& node, bool&) {
    if (!node.FParent && !FIncludeRootNode) {
        FPath += FFolderSeparator;
        return true;
    }
    FPath += node.FName;
    if (!node.FIsFile)
        FPath += FFolderSeparator;
    return true;
}

bool TFTPTreeVisitorPrintToLog::VisitEnter(TFTPTreeNode& node) {
    if (!node.FIsFile)
        FFTPAction->GetActionContext().OpenGroup(GroupMessage(node));
    return true;
}

bool TFTPTreeVisitorPrintToLog::VisitLeave(TFTPTreeNode& node) {
    if (!node.FIsFile)
        FFTPAction->GetActionContext().CloseGroup();
    return true;
}

bool TFTPTreeVisitorPrintToLog::Visit(TFTPTreeNode& node, bool&) {
    if (node.FIsFile && FNodeTypesToInclude.Contains(node.FDifference))
        FFTPAction->GetActionContext().WriteLine(NodeMessage(node), quillate::stInformation);
    return true;
}

std::string TFTPTreeVisitorPrintToLog::NodeMessage(const TFTPTreeNode& node) const {
    if (!FIncludechangeStatus)
        return node.FName;
    switch (node.FDifference) {
    case tfaOrphaned:
        return node.FName + " [Orphaned]";
    case tfaChanged:
        return node.FName + " [Changed]";
    case tfaUnchanged:
        return node.FName + " [Unchanged]";
    case tfaUnknown:
        break;
    }
    return node.FName;
}

std::string TFTPTreeVisitorPrintToLog::GroupMessage(const TFTPTreeNode& node) const {
    return NodeMessage(node);
}

void CheckRemoteTreeBounds(const std::string& folderPath, std::size_t depth) {
    // The path in the message is cut: past the bound it may be a megabyte.
    constexpr std::size_t Shown = 200;
    const std::string shown = folderPath.size() > Shown ? folderPath.substr(0, Shown) + "..." : folderPath;
    if (depth > MaxRemoteTreeDepth)
        throw EFTPEndlessTree("The remote tree goes deeper than " + std::to_string(MaxRemoteTreeDepth) +
                              " folders at [" + shown +
                              "]: a looping link, or a server whose tree does not end");
    if (folderPath.size() > MaxRemotePathLength)
        throw EFTPEndlessTree("The remote path [" + shown + "] is longer than " +
                              std::to_string(MaxRemotePathLength) +
                              " bytes: a looping link, or a server whose tree does not end");
}

} // namespace zr
