#include <filesystem>
#include <map>

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

// In the download direction the server is the source: its dates move back by the skew onto our clock.
TEST(DiffComparisons, DatesSizesAndChecksums) {
    const double second = 1.0 / SecondsPerDay;
    struct {
        std::int64_t Skew;
        double SourceSeconds;
        bool Different;
    } dates[] = {{0, -1, false}, {0, 0, false}, {0, 1, true}, {3600, 3600, false}, {3600, 3601, true}, {-60, -59, true}};
    for (const auto& c : dates) {
        TFTPTreeVisitorDetermineDifferencesToLocal visitor(Options({}), c.Skew, "/x");
        EXPECT_EQ(visitor.DateIsDifferent(45000.0 + c.SourceSeconds * second, 45000.0), c.Different)
            << c.Skew << " " << c.SourceSeconds;
    }
    TFTPTreeVisitorDetermineDifferencesToLocal plain(Options({}), 0, "/x");
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

// Every node's mark by its path, orphans included; a node that is not in the tree is absent.
void Marks(const TFTPTreeNode& node, const std::string& path, std::map<std::string, TFTPItemDiff>& marks) {
    for (const auto& child : node.FChildren) {
        marks[path + child->FName] = child->FDifference;
        Marks(*child, path + child->FName + "/", marks);
    }
}

TEST(LocalTargetMerge, MarksChangedUnchangedAndOrphanedItems) {
    TTempDir target("quillate-merge");
    for (const char* f : {"Same.txt", "sub/c.txt", "orphan-dir/deep/o.txt", "lonely.txt"}) {
        fs::create_directories((target.Path() / f).parent_path());
        WriteTextFile(target.Path() / f, "x");
    }
    // The source side: same.txt matches the target's Same.txt in the merge but not by exact name.
    const std::map<std::string, TFTPItemDiff> source = {{"missing", tfaChanged}, {"missing/m.txt", tfaChanged},
                                                        {"new.txt", tfaChanged}, {"same.txt", tfaChanged},
                                                        {"sub", tfaUnchanged},   {"sub/c.txt", tfaUnchanged}};
    auto orphans = source;
    for (const char* o : {"lonely.txt", "orphan-dir", "orphan-dir/deep", "orphan-dir/deep/o.txt"})
        orphans[o] = tfaOrphaned;
    const std::map<std::string, TFTPItemDiff> flat = {
        {"lonely.txt", tfaOrphaned}, {"new.txt", tfaChanged}, {"same.txt", tfaChanged}};
    struct {
        TFTPMirrorOptions Options;
        std::map<std::string, TFTPItemDiff> Expected;
    } cases[] = {{Options({Recursive, RemoveOrphans}), orphans},
                 {Options({Recursive}), source},
                 // Without recursion subfolders take no part on either side.
                 {Options({RemoveOrphans}), flat}};
    for (const auto& c : cases) {
        TFTPTreeNode root("/source", false);
        root.AddChild("same.txt", true);
        root.AddChild("new.txt", true);
        if (c.Options.Contains(Recursive)) {
            root.AddChild("sub", false)->AddChild("c.txt", true);
            root.AddChild("missing", false)->AddChild("m.txt", true);
        }
        root.SortChildren();
        TFTPTreeVisitorDetermineDifferencesToLocal visitor(c.Options, 0, target.Path().string());
        ASSERT_TRUE(root.Accept(visitor, trmHeadRecursion, tvdVisitChildren));
        std::map<std::string, TFTPItemDiff> marks;
        Marks(root, "", marks);
        EXPECT_EQ(marks, c.Expected) << c.Options.Contains(Recursive) << c.Options.Contains(RemoveOrphans);
    }
}

} // namespace
