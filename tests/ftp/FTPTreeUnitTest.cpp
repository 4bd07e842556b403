#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ZRFTPTree.h"

using namespace zr;

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

TEST(FTPTreeWalk, VisitOrders) {
    struct {
        TRecursionMethod Method;
        TVisitorDirection Direction;
        std::string Start, Visitor, Proc;
    } cases[] = {
        {trmHeadRecursion, tvdVisitChildren, "R",
         "I:R C E:R V:R C E:a V:a L:a C E:d V:d C E:e V:e L:e L:d C E:z V:z L:z L:R", "Radez"},
        {trmTailRecursion, tvdVisitChildren, "R",
         "I:R C E:R C E:a V:a L:a C E:d C E:e V:e L:e V:d L:d C E:z V:z L:z V:R L:R", "aedzR"},
        {trmHeadRecursion, tvdVisitParents, "e", "I:e C E:e V:e C E:d V:d C E:R V:R L:R L:d L:e", "edR"},
        {trmTailRecursion, tvdVisitParents, "e", "I:e C E:e C E:d C E:R V:R L:R V:d L:d V:e L:e", "Rde"},
    };
    for (const auto& c : cases) {
        TSampleTree tree;
        TRecordingVisitor visitor;
        EXPECT_TRUE(tree.ByName(c.Start)->Accept(visitor, c.Method, c.Direction));
        EXPECT_EQ(visitor.Calls, c.Visitor);
        std::string visited;
        EXPECT_TRUE(tree.ByName(c.Start)->Accept([&](TFTPTreeNode& n) { return visited += n.FName, true; }, c.Method,
                                                 c.Direction));
        EXPECT_EQ(visited, c.Proc);
    }
}

TEST(FTPTreeWalk, AnyFalseStepEndsTheWalkAndClearingCallChildrenSkipsOnlyTheChildren) {
    struct {
        const char *FailAt, *StopAt;
        int ChecksAllowed;
        bool Result;
        std::string Calls;
    } cases[] = {
        {"I:R", "", -1, false, "I:R"},
        {"E:d", "", -1, false, "I:R C E:R V:R C E:a V:a L:a C E:d"},
        {"V:d", "", -1, false, "I:R C E:R V:R C E:a V:a L:a C E:d V:d"},
        {"L:a", "", -1, false, "I:R C E:R V:R C E:a V:a L:a"},
        {"", "", 3, false, "I:R C E:R V:R C E:a V:a L:a C E:d V:d C"},
        {"", "d", -1, true, "I:R C E:R V:R C E:a V:a L:a C E:d V:d L:d C E:z V:z L:z L:R"},
    };
    for (const auto& c : cases) {
        TSampleTree tree;
        TRecordingVisitor visitor(c.FailAt, c.StopAt, c.ChecksAllowed);
        EXPECT_EQ(tree.Root->Accept(visitor, trmHeadRecursion, tvdVisitChildren), c.Result) << c.Calls;
        EXPECT_EQ(visitor.Calls, c.Calls);
    }
    TSampleTree tree;
    std::string visited;
    EXPECT_FALSE(tree.Root->Accept([&](TFTPTreeNode& n) { return visited += n.FName, n.FName != "d"; },
                                   trmTailRecursion, tvdVisitChildren));
    EXPECT_EQ(visited, "aed");
}

TEST(FTPTreeWalk, ClearingCallChildrenWhereTheOrderCannotHonourItRaises) {
    struct {
        TRecursionMethod Method;
        TVisitorDirection Direction;
        const char *Start, *Message;
    } cases[] = {{trmTailRecursion, tvdVisitChildren, "R", "Can not stop children call when using tail recursion!"},
                 {trmHeadRecursion, tvdVisitParents, "e", "Can not stop children call when recursing parents!"},
                 {trmTailRecursion, tvdVisitParents, "e", "Can not stop children call when recursing parents!"}};
    for (const auto& c : cases) {
        TSampleTree tree;
        TRecordingVisitor visitor("", "d");
        try {
            tree.ByName(c.Start)->Accept(visitor, c.Method, c.Direction);
            ADD_FAILURE() << "no exception for " << c.Message;
        } catch (const EFTPTreeError& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        EXPECT_EQ(visitor.Calls.find("L:d"), std::string::npos);
    }
}

} // namespace
