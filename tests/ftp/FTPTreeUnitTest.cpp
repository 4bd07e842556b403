#include <algorithm>
#include <functional>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ZRFTPTree.h"
#include "host/Runner.h"

using namespace zr;
using ::testing::ElementsAreArray;

namespace {

TFTPItem MakeItem(TFTPItemType type, std::string_view relativePath) {
    TFTPItem item;
    item.ItemType = type;
    item.SetRelativePath(relativePath);
    return item;
}

// Parameter cases with a Name print as it in failure messages.
template <class T>
    requires requires(const T& t) { t.Name; }
std::ostream& operator<<(std::ostream& out, const T& c) {
    return out << c.Name;
}

// ---- TFTPItem ----

struct TItemPathCase {
    TFTPItemType Type;
    std::string Relative;
    std::string Piped;
    std::string PathPiped;
    std::string FileName;
    int Depth;
};

std::ostream& operator<<(std::ostream& out, const TItemPathCase& c) {
    return out << int(c.Type) << " " << c.Relative;
}

class FTPItemPaths : public ::testing::TestWithParam<TItemPathCase> {};

TEST_P(FTPItemPaths, PipeFormFolderPartNameAndDepth) {
    const auto& c = GetParam();
    TFTPItem item = MakeItem(c.Type, c.Relative);
    EXPECT_EQ(item.RelativePathPiped, c.Piped);
    EXPECT_EQ(item.PathPiped(), c.PathPiped);
    EXPECT_EQ(item.FileNamePiped(), c.FileName);
    EXPECT_EQ(item.PathDepth, c.Depth);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FTPItemPaths,
    ::testing::Values(TItemPathCase{itLocalFile, "sub\\dir\\a.txt", "|sub|dir|a.txt", "|sub|dir|", "a.txt",
                                    3},
                      TItemPathCase{itLocalDir, "sub/dir", "|sub|dir|", "|sub|dir|", "", 3},
                      TItemPathCase{itLocalDir, "/sub/dir/", "|sub|dir|", "|sub|dir|", "", 3},
                      TItemPathCase{itLocalFile, "a.txt", "|a.txt", "|", "a.txt", 1},
                      TItemPathCase{itRemoteFile, "/x/y", "|x|y", "|x|", "y", 2},
                      TItemPathCase{itRemoteDir, "", "|", "|", "", 1}));

// ---- CompareRelativePaths ----

TEST(CompareRelativePaths, ListsEachFolderFilesFirstThenSubfolders) {
    std::vector<TFTPItem> items = {MakeItem(itLocalFile, "a.txt"),   MakeItem(itLocalFile, "B.txt"),
                                   MakeItem(itLocalDir, "sub"),      MakeItem(itLocalFile, "sub/c.txt"),
                                   MakeItem(itLocalDir, "sub/deep"), MakeItem(itLocalFile, "sub/deep/d.txt"),
                                   MakeItem(itLocalFile, "z.txt")};
    const std::vector<std::string> expected = {"|a.txt",     "|B.txt",     "|z.txt",         "|sub|",
                                               "|sub|c.txt", "|sub|deep|", "|sub|deep|d.txt"};
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(items.begin(), items.end(), random);
        std::sort(items.begin(), items.end(),
                  [](const TFTPItem& l, const TFTPItem& r) { return CompareRelativePaths(l, r) < 0; });
        std::vector<std::string> order;
        for (const auto& i : items)
            order.push_back(i.RelativePathPiped);
        ASSERT_THAT(order, ElementsAreArray(expected)) << "round " << round;
    }
}

struct TCompareCase {
    TFTPItemType LeftType;
    std::string Left;
    TFTPItemType RightType;
    std::string Right;
    int Sign;
};

std::ostream& operator<<(std::ostream& out, const TCompareCase& c) {
    return out << c.Left << " vs " << c.Right;
}

class CompareRelativePathsCases : public ::testing::TestWithParam<TCompareCase> {};

TEST_P(CompareRelativePathsCases, SignAndSymmetry) {
    const auto& c = GetParam();
    TFTPItem left = MakeItem(c.LeftType, c.Left), right = MakeItem(c.RightType, c.Right);
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(CompareRelativePaths(left, right)), c.Sign);
    EXPECT_EQ(sign(CompareRelativePaths(right, left)), -c.Sign);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompareRelativePathsCases,
    ::testing::Values(
        // Names that differ only in letter case are the same place in the order.
        TCompareCase{itLocalFile, "sub/ReadMe.TXT", itLocalFile, "sub/readme.txt", 0},
        TCompareCase{itLocalFile, "SUB/c.txt", itLocalDir, "sub", 1},
        TCompareCase{itLocalFile, "Sub/x/c.txt", itLocalFile, "sUB/X/C.txt", 0},
        // Letters fold to upper case, so "_" (0x5F) sorts after every letter.
        TCompareCase{itLocalFile, "_x.txt", itLocalFile, "a.txt", 1},
        TCompareCase{itLocalFile, "a/_x.txt", itLocalFile, "A/z.txt", 1},
        // UTF-16 order: a character beyond U+FFFF (a surrogate pair) sorts before U+FF5E.
        TCompareCase{itLocalFile, "\xF0\x9F\x98\x80.txt", itLocalFile, "\xEF\xBD\x9E.txt", -1},
        TCompareCase{itLocalFile, "\xF0\x9F\x98\x80.txt", itLocalFile, "\xEE\x80\x80.txt", -1},
        TCompareCase{itLocalFile, "b\xC3\xA9.txt", itLocalFile, "B\xC3\xA9.TXT", 0},
        TCompareCase{itLocalFile, "abc", itLocalFile, "ab", 1},
        // A deeper file's folder segment meets the shallower file's empty last segment.
        TCompareCase{itLocalFile, "zzz.txt", itLocalFile, "a/b.txt", -1},
        // Only an empty folder name gets past the segments to the depth stage.
        TCompareCase{itLocalDir, "sub", itLocalDir, "sub//", -1}));

// ---- names and sorting ----

std::vector<std::string> ChildNames(const TFTPTreeNode& node) {
    std::vector<std::string> names;
    for (const auto& c : node.FChildren)
        names.push_back(c->FName);
    return names;
}

class SortChildren
    : public ::testing::TestWithParam<std::pair<std::vector<std::string>, std::vector<std::string>>> {};

TEST_P(SortChildren, OrdersNamesWithoutCase) {
    TFTPTreeNode root("/data", false);
    for (const auto& name : GetParam().first)
        root.AddChild(name, true);
    root.SortChildren();
    EXPECT_EQ(ChildNames(root), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SortChildren,
    ::testing::Values(std::pair{std::vector<std::string>{"b", "A", "a.txt"},
                                std::vector<std::string>{"A", "a.txt", "b"}},
                      std::pair{std::vector<std::string>{"Zeta", "alpha", "Beta"},
                                std::vector<std::string>{"alpha", "Beta", "Zeta"}},
                      std::pair{std::vector<std::string>{"\xC3\xA9t\xC3\xA9", "Ete", "f"},
                                std::vector<std::string>{"Ete", "\xC3\xA9t\xC3\xA9", "f"}},
                      std::pair{std::vector<std::string>{}, std::vector<std::string>{}}));

// ---- nodes, paths and walks ----

// R { a, d { e }, z }
struct TSampleTree {
    std::unique_ptr<TFTPTreeNode> Root = std::make_unique<TFTPTreeNode>("R", false);
    TFTPTreeNode* A = Root->AddChild("a", true);
    TFTPTreeNode* D = Root->AddChild("d", false);
    TFTPTreeNode* E = D->AddChild("e", true);
    TFTPTreeNode* Z = Root->AddChild("z", true);
    TFTPTreeNode* ByName(const std::string& name) {
        for (TFTPTreeNode* n : {Root.get(), A, D, E, Z})
            if (n->FName == name)
                return n;
        return nullptr;
    }
};

TEST(FTPTreeNode, NewChildrenStartUnknownAndEmptyListsHaveNoChildren) {
    TSampleTree tree;
    EXPECT_EQ(tree.E->FParent, tree.D);
    EXPECT_EQ(tree.E->FCRC, -1);
    EXPECT_EQ(tree.E->FSize, -1);
    EXPECT_EQ(tree.E->FDate, -1.0);
    EXPECT_EQ(tree.E->FDifference, tfaUnknown);
    EXPECT_TRUE(tree.D->HasChildren());
    tree.D->FChildren.clear();
    EXPECT_FALSE(tree.D->HasChildren());
    std::string visited;
    EXPECT_TRUE(tree.D->Accept([&](TFTPTreeNode& n) { return visited += n.FName, true; }, trmHeadRecursion,
                               tvdVisitChildren));
    EXPECT_EQ(visited, "d");
}

TEST(FTPTreeNode, GeneratesRelativeAndFullPaths) {
    TFTPTreeNode root("/data", false);
    TFTPTreeNode* x = root.AddChild("x", false);
    TFTPTreeNode* f = x->AddChild("f", true);
    EXPECT_EQ(root.GenerateRelativePath('/'), "/");
    EXPECT_EQ(x->GenerateRelativePath('/'), "/x/");
    EXPECT_EQ(f->GenerateRelativePath('/'), "/x/f");
    EXPECT_EQ(f->GenerateFullPath('/'), "/data/x/f");
    EXPECT_EQ(x->GeneratePath('/', true), "/data/x/");
    EXPECT_EQ(f->GenerateFullPath('/', "/srv/site"), "/srv/site/x/f");

    TFTPTreeNode windows("C:\\data", false);
    TFTPTreeNode* a = windows.AddChild("sub", false)->AddChild("a.txt", true);
    EXPECT_EQ(a->GenerateRelativePath('\\'), "\\sub\\a.txt");
    EXPECT_EQ(a->GenerateFullPath('\\'), "C:\\data\\sub\\a.txt");
}

TEST(FTPTreeNode, DeepChainsWalkAndBuildPaths) {
    TFTPTreeNode root("r", false);
    TFTPTreeNode* node = &root;
    std::string expected = "/";
    for (int i = 0; i < 600; ++i) {
        node = node->AddChild("n" + std::to_string(i), false);
        expected += "n" + std::to_string(i) + "/";
    }
    EXPECT_EQ(node->GenerateRelativePath('/'), expected);
    root.UpdateDifferenceAndChildrens(tfaChanged);
    EXPECT_EQ(node->FDifference, tfaChanged);
}

TEST(FTPTreeNode, UpdateDifferenceAndChildrensStaysInsideTheSubtree) {
    TSampleTree tree;
    tree.D->UpdateDifferenceAndChildrens(tfaOrphaned);
    std::string states;
    tree.Root->Accept([&](TFTPTreeNode& n) { return states += std::to_string(n.FDifference), true; },
                      trmHeadRecursion, tvdVisitChildren);
    EXPECT_EQ(states, "00110"); // R a d e z
}

TEST(FTPTreeNode, UserDataIsReleasedWithTheTree) {
    struct TFlagData : TFTPTreeNodeUserData {
        explicit TFlagData(bool& released) : Released(released) {}
        ~TFlagData() override { Released = true; }
        bool& Released;
    };
    bool released = false;
    {
        TSampleTree tree;
        tree.E->FUserData = std::make_unique<TFlagData>(released);
    }
    EXPECT_TRUE(released);
}

// Records "I:", "E:", "V:" and "L:" calls and "C" for continuation checks; the step named FailAt
// answers false, and Visit of StopAt clears callChildren.
class TRecordingVisitor : public TFTPTreeVisitor {
public:
    std::string Calls;
    std::string FailAt;
    std::string StopAt;

    bool Init(TFTPTreeNode& n) override { return Record("I:" + n.FName); }
    bool VisitEnter(TFTPTreeNode& n) override { return Record("E:" + n.FName); }
    bool VisitLeave(TFTPTreeNode& n) override { return Record("L:" + n.FName); }
    bool Visit(TFTPTreeNode& n, bool& callChildren) override {
        EXPECT_TRUE(callChildren);
        if (n.FName == StopAt)
            callChildren = false;
        return Record("V:" + n.FName);
    }
    void RecordChecks(int allowed = -1) {
        SetOnCheckContinuation([this, allowed]() mutable { return Record("C"), allowed-- != 0; });
    }

private:
    bool Record(const std::string& step) {
        Calls += (Calls.empty() ? "" : " ") + step;
        return step != FailAt;
    }
};

struct TWalkCase {
    const char* Name;
    TRecursionMethod Method;
    TVisitorDirection Direction;
    std::string Start, Visitor, Proc;
};

class FTPTreeWalks : public ::testing::TestWithParam<TWalkCase> {};

TEST_P(FTPTreeWalks, VisitOrder) {
    const auto& c = GetParam();
    TSampleTree tree;
    TRecordingVisitor visitor;
    visitor.RecordChecks();
    EXPECT_TRUE(tree.ByName(c.Start)->Accept(visitor, c.Method, c.Direction));
    EXPECT_EQ(visitor.Calls, c.Visitor);
    std::string visited;
    EXPECT_TRUE(tree.ByName(c.Start)->Accept([&](TFTPTreeNode& n) { return visited += n.FName, true; },
                                             c.Method, c.Direction));
    EXPECT_EQ(visited, c.Proc);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, FTPTreeWalks,
    ::testing::Values(TWalkCase{"ChildrenHead", trmHeadRecursion, tvdVisitChildren, "R",
                                "I:R C E:R V:R C E:a V:a L:a C E:d V:d C E:e V:e L:e L:d C E:z V:z L:z L:R",
                                "Radez"},
                      TWalkCase{"ChildrenTail", trmTailRecursion, tvdVisitChildren, "R",
                                "I:R C E:R C E:a V:a L:a C E:d C E:e V:e L:e V:d L:d C E:z V:z L:z V:R L:R",
                                "aedzR"},
                      TWalkCase{"ParentsHead", trmHeadRecursion, tvdVisitParents, "e",
                                "I:e C E:e V:e C E:d V:d C E:R V:R L:R L:d L:e", "edR"},
                      TWalkCase{"ParentsTail", trmTailRecursion, tvdVisitParents, "e",
                                "I:e C E:e C E:d C E:R V:R L:R V:d L:d V:e L:e", "Rde"}),
    [](const auto& info) { return std::string(info.param.Name); });

struct TEndCase {
    const char* Name;
    std::string FailAt;
    int ChecksAllowed;
    std::string StopAt;
    bool Result;
    std::string Calls;
};

class FTPTreeWalkEnds : public ::testing::TestWithParam<TEndCase> {};

TEST_P(FTPTreeWalkEnds, ChildrenHeadWalk) {
    const auto& c = GetParam();
    TSampleTree tree;
    TRecordingVisitor visitor;
    visitor.FailAt = c.FailAt;
    visitor.StopAt = c.StopAt;
    visitor.RecordChecks(c.ChecksAllowed);
    EXPECT_EQ(tree.Root->Accept(visitor, trmHeadRecursion, tvdVisitChildren), c.Result);
    EXPECT_EQ(visitor.Calls, c.Calls);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FTPTreeWalkEnds,
    ::testing::Values(TEndCase{"InitFalse", "I:R", -1, "", false, "I:R"},
                      TEndCase{"EnterFalse", "E:d", -1, "", false, "I:R C E:R V:R C E:a V:a L:a C E:d"},
                      TEndCase{"VisitFalse", "V:d", -1, "", false, "I:R C E:R V:R C E:a V:a L:a C E:d V:d"},
                      TEndCase{"LeaveFalse", "L:a", -1, "", false, "I:R C E:R V:R C E:a V:a L:a"},
                      TEndCase{"ContinuationFalse", "", 3, "", false,
                               "I:R C E:R V:R C E:a V:a L:a C E:d V:d C"},
                      // A folder whose Visit clears callChildren is still left; the walk goes on.
                      TEndCase{"StopDescent", "", -1, "d", true,
                               "I:R C E:R V:R C E:a V:a L:a C E:d V:d L:d C E:z V:z L:z L:R"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FTPTreeWalk, FalseFunctionResultEndsTheWalk) {
    TSampleTree tree;
    std::string visited;
    auto stopAtD = [&](TFTPTreeNode& n) { return visited += n.FName, n.FName != "d"; };
    EXPECT_FALSE(tree.Root->Accept(stopAtD, trmHeadRecursion, tvdVisitChildren));
    EXPECT_EQ(visited, "Rad");
    visited.clear();
    EXPECT_FALSE(tree.Root->Accept(stopAtD, trmTailRecursion, tvdVisitChildren));
    EXPECT_EQ(visited, "aed");
}

struct TThrowCase {
    const char* Name;
    TRecursionMethod Method;
    TVisitorDirection Direction;
    std::string Start, Message;
};

class FTPTreeWalkErrors : public ::testing::TestWithParam<TThrowCase> {};

TEST_P(FTPTreeWalkErrors, ClearingCallChildrenWhereItCannotWorkRaises) {
    const auto& c = GetParam();
    TSampleTree tree;
    TRecordingVisitor visitor;
    visitor.StopAt = "d";
    try {
        tree.ByName(c.Start)->Accept(visitor, c.Method, c.Direction);
        FAIL() << "no exception";
    } catch (const EFTPTreeError& e) {
        EXPECT_STREQ(e.what(), c.Message.c_str());
    }
    EXPECT_EQ(visitor.Calls.find("L:d"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, FTPTreeWalkErrors,
    ::testing::Values(TThrowCase{"ChildrenTail", trmTailRecursion, tvdVisitChildren, "R",
                                 "Can not stop children call when using tail recursion!"},
                      TThrowCase{"ParentsHead", trmHeadRecursion, tvdVisitParents, "e",
                                 "Can not stop children call when recursing parents!"},
                      TThrowCase{"ParentsTail", trmTailRecursion, tvdVisitParents, "e",
                                 "Can not stop children call when recursing parents!"}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- printing into a real run log ----

// Runs a body inside the host's runner so that the action has a real run context.
class TTreePrintAction : public quillate::TZRAction {
public:
    static const quillate::TMetaClass& ClassInfo() {
        static const quillate::TMetaClass meta = quillate::TMetaClass::Of<TTreePrintAction>(
            "TTreePrintAction", "", &quillate::TZRAction::ClassInfo());
        return meta;
    }
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override { return Body(*this); }
    std::function<bool(TTreePrintAction&)> Body;
};

struct TPrintCase {
    const char* Name;
    bool RootOnly;
    TFTPItemDiffs Include;
    bool Status;
    std::vector<std::pair<std::string, int>> Lines;
};

class PrintToLog : public ::testing::TestWithParam<TPrintCase> {};

TEST_P(PrintToLog, GroupsPerFolderAndLinesPerIncludedFile) {
    const auto& c = GetParam();
    auto action = std::make_shared<TTreePrintAction>();
    action->Body = [&c](TTreePrintAction& self) {
        TFTPTreeNode root("/data", false);
        if (!c.RootOnly) {
            root.AddChild("z.txt", true);
            TFTPTreeNode* sub = root.AddChild("sub", false);
            sub->UpdateDifference(tfaUnchanged);
            sub->AddChild("c.txt", true)->UpdateDifference(tfaOrphaned);
            sub->AddChild("b.txt", true)->UpdateDifference(tfaUnchanged);
            sub->SortChildren();
            root.AddChild("a.txt", true)->UpdateDifference(tfaChanged);
            root.SortChildren();
        }
        TFTPTreeVisitorPrintToLog printer(self);
        printer.SetNodeTypesToInclude(c.Include);
        printer.SetIncludeChangeStatus(c.Status);
        bool ok = root.Accept(printer, trmHeadRecursion, tvdVisitChildren);
        self.SendMessage("after", quillate::stInformation);
        return ok;
    };
    quillate::TMemoryLogSink log;
    quillate::TVariables variables;
    quillate::TRunner runner({action}, variables, log);
    EXPECT_EQ(runner.Run(), quillate::TRunOutcome::Succeeded);

    std::vector<std::pair<std::string, int>> lines;
    for (const auto& e : log.Entries())
        if (e.Group > 0)
            lines.emplace_back(e.Text, e.Group);
    auto expected = c.Lines;
    expected.emplace_back("after", 1);
    EXPECT_EQ(lines, expected);
}

using L = std::vector<std::pair<std::string, int>>;
INSTANTIATE_TEST_SUITE_P(
    Cases, PrintToLog,
    ::testing::Values(
        TPrintCase{"EveryFileBare", false, TFTPItemDiffs{tfaUnknown, tfaOrphaned, tfaChanged, tfaUnchanged},
                   false,
                   L{{"/data", 1}, {"a.txt", 2}, {"sub", 2}, {"b.txt", 3}, {"c.txt", 3}, {"z.txt", 2}}},
        TPrintCase{"DifferencesWithStatus", false, TFTPItemDiffs{tfaOrphaned, tfaChanged}, true,
                   L{{"/data", 1}, {"a.txt [Changed]", 2}, {"sub [Unchanged]", 2}, {"c.txt [Orphaned]", 3}}},
        TPrintCase{"UnknownOnly", false, TFTPItemDiffs{tfaUnknown}, true,
                   L{{"/data", 1}, {"sub [Unchanged]", 2}, {"z.txt", 2}}},
        TPrintCase{"RootOnly", true, TFTPItemDiffs{tfaUnknown}, false, L{{"/data", 1}}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
