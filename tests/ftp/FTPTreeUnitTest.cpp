#include "ftp/ZRFTPTree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace zr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

TFTPItem MakeItem(TFTPItemType type, std::string_view relativePath) {
    TFTPItem item;
    item.ItemType = type;
    item.SetRelativePath(relativePath);
    return item;
}

TEST(FTPItem, PipeFormFolderPartNameAndDepth) {
    struct {
        TFTPItemType Type;
        const char *Relative, *Piped, *PathPiped, *FileName;
        int Depth;
    } cases[] = {{itLocalFile, "sub\\dir\\a.txt", "|sub|dir|a.txt", "|sub|dir|", "a.txt", 3},
                 {itLocalDir, "/sub/dir/", "|sub|dir|", "|sub|dir|", "", 3},
                 {itLocalFile, "a.txt", "|a.txt", "|", "a.txt", 1},
                 {itRemoteDir, "", "|", "|", "", 1}};
    for (const auto& c : cases) {
        TFTPItem item = MakeItem(c.Type, c.Relative);
        EXPECT_EQ(item.RelativePathPiped, c.Piped) << c.Relative;
        EXPECT_EQ(item.PathPiped(), c.PathPiped) << c.Relative;
        EXPECT_EQ(item.FileNamePiped(), c.FileName) << c.Relative;
        EXPECT_EQ(item.PathDepth, c.Depth) << c.Relative;
    }
}

// Each folder lists its files first, then its subfolders, each one with its own contents after it.
TEST(CompareRelativePaths, FilesFirstThenSubfoldersFoldingOnlyAsciiLettersAndOrderingByUtf16Units) {
    struct {
        const char *Left, *Right;
        int Sign;
    } cases[] = {{"sub/ReadMe.TXT", "sub/readme.txt", 0},
                 {"b\xC3\xA9.txt", "B\xC3\xA9.TXT", 0},
                 // Letters fold to upper case, so "_" (0x5F) sorts after every letter.
                 {"_x.txt", "a.txt", 1},
                 // A character beyond U+FFFF (a surrogate pair) sorts before U+FF5E.
                 {"\xF0\x9F\x98\x80.txt", "\xEF\xBD\x9E.txt", -1},
                 {"zzz.txt", "a/b.txt", -1},
                 {"z.txt", "sub/", -1},
                 {"sub/", "sub/c.txt", -1},
                 {"sub/c.txt", "sub/deep/", -1},
                 {"sub/deep/d.txt", "sub/e.txt", 1},
                 // Only an empty folder name gets past the segments to the depth stage.
                 {"a.txt", "//a.txt", -1}};
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const auto& c : cases) {
        TFTPItem left = MakeItem(itLocalFile, c.Left), right = MakeItem(itLocalFile, c.Right);
        EXPECT_EQ(sign(CompareRelativePaths(left, right)), c.Sign) << c.Left << " vs " << c.Right;
        EXPECT_EQ(sign(CompareRelativePaths(right, left)), -c.Sign) << c.Right << " vs " << c.Left;
    }
}

TEST(FTPTreeNode, SortsChildrenWithoutCaseAndGeneratesPaths) {
    TFTPTreeNode root("/data", false);
    for (const char* name : {"b", "\xC3\xA9t\xC3\xA9", "A", "a.txt", "Ete"})
        root.AddChild(name, true);
    root.SortChildren();
    std::vector<std::string> names;
    for (const auto& child : root.FChildren)
        names.push_back(child->FName);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "a.txt", "b", "Ete", "\xC3\xA9t\xC3\xA9"}));

    TFTPTreeNode* x = root.AddChild("x", false);
    TFTPTreeNode* f = x->AddChild("f", true);
    EXPECT_EQ(root.GenerateRelativePath('/'), "/");
    EXPECT_EQ(x->GenerateRelativePath('/'), "/x/");
    EXPECT_EQ(f->GenerateRelativePath('\\'), "\\x\\f");
    EXPECT_EQ(f->GenerateFullPath('/'), "/data/x/f");
    EXPECT_EQ(f->GenerateFullPath('/', "/srv/site"), "/srv/site/x/f");
}

// R { a, d { e }, z }
struct TSampleTree {
    std::unique_ptr<TFTPTreeNode> Root = std::make_unique<TFTPTreeNode>("R", false);
    TFTPTreeNode* A = Root->AddChild("a", true);
    TFTPTreeNode* D = Root->AddChild("d", false);
    TFTPTreeNode* E = D->AddChild("e", true);
    TFTPTreeNode* Z = Root->AddChild("z", true);
    TFTPTreeNode* ByName(const std::string& name) { return name == "R" ? Root.get() : name == "e" ? E : D; }
};

// Records "I:", "E:", "V:" and "L:" calls and "C" for continuation checks; the step named FailAt
// answers false, Visit of StopAt clears callChildren, and after ChecksAllowed checks the walk is told to end.
class TRecordingVisitor : public TFTPTreeVisitor {
public:
    TRecordingVisitor(std::string failAt = {}, std::string stopAt = {}, int checksAllowed = -1)
        : FFailAt(std::move(failAt)), FStopAt(std::move(stopAt)) {
        SetOnCheckContinuation([this, checksAllowed]() mutable { return Record("C"), checksAllowed-- != 0; });
    }
    std::string Calls;

    bool Init(TFTPTreeNode& n) override { return Record("I:" + n.FName); }
    bool VisitEnter(TFTPTreeNode& n) override { return Record("E:" + n.FName); }
    bool VisitLeave(TFTPTreeNode& n) override { return Record("L:" + n.FName); }
    bool Visit(TFTPTreeNode& n, bool& callChildren) override {
        if (n.FName == FStopAt)
            callChildren = false;
        return Record("V:" + n.FName);
    }

private:
    bool Record(const std::string& step) {
        Calls += (Calls.empty() ? "" : " ") + step;
        return step != FFailAt;
    }
    std::string FFailAt, FStopAt;
};

// Each row walks the sample tree from Start with a visitor that fails at FailAt, clears callChildren at
// StopAt and ends the walk after ChecksAllowed checks: the walk fails exactly when a step does, and an order
// that cannot honour a cleared callChildren raises Message. The function form visits what the Visit calls
// name, in their order, and ends at the same failing visit.
TEST(FTPTreeWalk, OrdersEndsAndSkippedChildren) {
    const auto head = trmHeadRecursion, tail = trmTailRecursion;
    const auto children = tvdVisitChildren, parents = tvdVisitParents;
    struct {
        TRecursionMethod Method;
        TVisitorDirection Direction;
        const char *Start, *FailAt, *StopAt;
        int ChecksAllowed;
        std::string Calls;
        const char* Message = nullptr;
    } cases[] = {
        {head, children, "R", "", "", -1,
         "I:R C E:R V:R C E:a V:a L:a C E:d V:d C E:e V:e L:e L:d C E:z V:z L:z L:R"},
        {tail, children, "R", "", "", -1,
         "I:R C E:R C E:a V:a L:a C E:d C E:e V:e L:e V:d L:d C E:z V:z L:z V:R L:R"},
        {head, parents, "e", "", "", -1, "I:e C E:e V:e C E:d V:d C E:R V:R L:R L:d L:e"},
        {tail, parents, "e", "", "", -1, "I:e C E:e C E:d C E:R V:R L:R V:d L:d V:e L:e"},
        {head, children, "R", "I:R", "", -1, "I:R"},
        {head, children, "R", "E:d", "", -1, "I:R C E:R V:R C E:a V:a L:a C E:d"},
        {head, children, "R", "V:d", "", -1, "I:R C E:R V:R C E:a V:a L:a C E:d V:d"},
        {tail, children, "R", "V:d", "", -1, "I:R C E:R C E:a V:a L:a C E:d C E:e V:e L:e V:d"},
        {head, children, "R", "L:a", "", -1, "I:R C E:R V:R C E:a V:a L:a"},
        {head, children, "R", "", "", 3, "I:R C E:R V:R C E:a V:a L:a C E:d V:d C"},
        {head, children, "R", "", "d", -1, "I:R C E:R V:R C E:a V:a L:a C E:d V:d L:d C E:z V:z L:z L:R"},
        {tail, children, "R", "", "d", -1, "", "Can not stop children call when using tail recursion!"},
        {head, parents, "e", "", "d", -1, "", "Can not stop children call when recursing parents!"},
        {tail, parents, "e", "", "d", -1, "", "Can not stop children call when recursing parents!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Calls + (c.Message ? c.Message : ""));
        TSampleTree tree;
        TRecordingVisitor visitor(c.FailAt, c.StopAt, c.ChecksAllowed);
        if (c.Message) {
            EXPECT_THAT([&] { tree.ByName(c.Start)->Accept(visitor, c.Method, c.Direction); },
                        ThrowsMessage<EFTPTreeError>(StrEq(c.Message)));
            EXPECT_EQ(visitor.Calls.find("L:d"), std::string::npos);
            continue;
        }
        const bool succeeds = !*c.FailAt && c.ChecksAllowed < 0;
        EXPECT_EQ(tree.ByName(c.Start)->Accept(visitor, c.Method, c.Direction), succeeds);
        EXPECT_EQ(visitor.Calls, c.Calls);
        if (*c.StopAt || c.ChecksAllowed >= 0 || (*c.FailAt && c.FailAt[0] != 'V'))
            continue;
        std::string expected, visited;
        for (std::size_t at = c.Calls.find("V:"); at != std::string::npos; at = c.Calls.find("V:", at + 1))
            expected += c.Calls[at + 2];
        TSampleTree again;
        auto visit = [&](TFTPTreeNode& n) { return visited += n.FName, "V:" + n.FName != c.FailAt; };
        EXPECT_EQ(again.ByName(c.Start)->Accept(visit, c.Method, c.Direction), succeeds);
        EXPECT_EQ(visited, expected);
    }
}

} // namespace
