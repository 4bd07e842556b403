#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/sync/ZRFTPDiffBaseAction.h"
#include "ftp/sync/ZRFTPDiffVisitors.h"
#include "support/ServerProcess.h"

using namespace quillate;
using namespace quillate::testing;
using namespace zr;
namespace fs = std::filesystem;

namespace {

TFTPMirrorOptions Options(std::initializer_list<TFTPMirrorOption> list) {
    TFTPMirrorOptions options;
    for (auto o : list)
        options.Insert(o);
    return options;
}

TEST(DiffComparisons, DatesSizesAndChecksums) {
    const double second = 1.0 / SecondsPerDay;
    TFTPTreeVisitorDetermineDifferencesToLocal plain(Options({}), 0, "/x");
    EXPECT_FALSE(plain.DateIsDifferent(45000.0 - second, 45000.0)); // older source never wins
    EXPECT_FALSE(plain.DateIsDifferent(45000.0, 45000.0));
    EXPECT_TRUE(plain.DateIsDifferent(45000.0 + second, 45000.0));
    // The server's clock runs an hour ahead: its dates are moved back before comparing.
    TFTPTreeVisitorDetermineDifferencesToLocal skewed(Options({}), 3600, "/x");
    EXPECT_FALSE(skewed.DateIsDifferent(45000.0, 45000.0 + 3600 * second));
    EXPECT_TRUE(skewed.DateIsDifferent(45000.0 + 2 * second, 45000.0 + 3600 * second));
    EXPECT_FALSE(plain.CRCIsDifferent(-1, 5));
    EXPECT_FALSE(plain.CRCIsDifferent(5, -1));
    EXPECT_TRUE(plain.CRCIsDifferent(0x1FFFFFFFFLL, 0xFFFFFFFFLL));
    EXPECT_TRUE(plain.SizeIsDifferent(10, -1));
    EXPECT_FALSE(plain.SizeIsDifferent(6000000000LL, 6000000000LL));
}

TEST(DiffComparisons, CommaTextAndUnsafeNames) {
    EXPECT_EQ(SplitCommaText(".cs,.sln .csproj"), (TStringList{".cs", ".sln", ".csproj"}));
    EXPECT_EQ(SplitCommaText("\"a b\",c"), (TStringList{"a b", "c"}));
    for (const char* name : {"", ".", "..", "a/b", "../x"})
        EXPECT_TRUE(IsUnsafeRemoteName(name)) << name;
    EXPECT_TRUE(IsUnsafeRemoteName(std::string("a\0b", 3)));
    EXPECT_FALSE(IsUnsafeRemoteName("...hidden"));
}

class LocalTargetMerge : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* f : {"Same.txt", "sub/c.txt", "orphan-dir/deep/o.txt", "lonely.txt"}) {
            fs::create_directories((FTarget.Path() / f).parent_path());
            WriteTextFile(FTarget.Path() / f, "x");
        }
        // The source side: same.txt differs from the target's Same.txt only in case.
        FRoot = std::make_unique<TFTPTreeNode>(FSourceRoot, false);
        FRoot->AddChild("same.txt", true);
        FRoot->AddChild("new.txt", true);
        auto* sub = FRoot->AddChild("sub", false);
        sub->AddChild("c.txt", true);
        auto* missing = FRoot->AddChild("missing", false);
        missing->AddChild("m.txt", true);
        FRoot->SortChildren();
    }
    TFTPTreeNode* Child(TFTPTreeNode& node, const std::string& name) {
        for (auto& c : node.FChildren)
            if (c->FName == name)
                return c.get();
        return nullptr;
    }
    void Walk(TFTPMirrorOptions options) {
        TFTPTreeVisitorDetermineDifferencesToLocal visitor(options, 0, FTarget.Path().string());
        ASSERT_TRUE(FRoot->Accept(visitor, trmHeadRecursion, tvdVisitChildren));
    }

    TTempDir FTarget{"quillate-merge"};
    std::string FSourceRoot = "/source";
    std::unique_ptr<TFTPTreeNode> FRoot;
};

TEST_F(LocalTargetMerge, MarksChangedUnchangedAndOrphanedItems) {
    Walk(Options({Recursive, RemoveOrphans}));
    // The case-only match pairs in the merge, but the file with that exact name is missing.
    EXPECT_EQ(Child(*FRoot, "same.txt")->FDifference, tfaChanged);
    EXPECT_EQ(Child(*FRoot, "new.txt")->FDifference, tfaChanged);
    EXPECT_EQ(Child(*FRoot, "sub")->FDifference, tfaUnchanged);
    EXPECT_EQ(Child(*Child(*FRoot, "sub"), "c.txt")->FDifference, tfaUnchanged);
    auto* missing = Child(*FRoot, "missing");
    EXPECT_EQ(missing->FDifference, tfaChanged);
    EXPECT_EQ(Child(*missing, "m.txt")->FDifference, tfaChanged);
    auto* orphanDir = Child(*FRoot, "orphan-dir");
    ASSERT_NE(orphanDir, nullptr);
    EXPECT_EQ(orphanDir->FDifference, tfaOrphaned);
    EXPECT_EQ(Child(*Child(*orphanDir, "deep"), "o.txt")->FDifference, tfaOrphaned);
    EXPECT_EQ(Child(*FRoot, "lonely.txt")->FDifference, tfaOrphaned);
}

TEST_F(LocalTargetMerge, WithoutRecursionTargetSubfoldersAreLeftAlone) {
    Walk(Options({RemoveOrphans}));
    EXPECT_EQ(Child(*FRoot, "orphan-dir"), nullptr);
    EXPECT_NE(Child(*FRoot, "lonely.txt"), nullptr);
}

TEST_F(LocalTargetMerge, WithoutOrphanRemovalNoOrphanNodesAppear) {
    Walk(Options({Recursive}));
    EXPECT_EQ(Child(*FRoot, "orphan-dir"), nullptr);
    EXPECT_EQ(Child(*FRoot, "lonely.txt"), nullptr);
}

} // namespace
