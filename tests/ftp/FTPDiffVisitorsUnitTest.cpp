// The comparisons of the diff's visitors and its name rules; the trees they mark are cases of tests/data/ftp.
#include "ftp/sync/ZRFTPDiffBaseAction.h"
#include "ftp/sync/ZRFTPDiffVisitors.h"
#include "ftp/sync/ZRFTPTreeListing.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace zr;

namespace {

// In the download direction the server is the source: its dates move back by the skew onto our clock.
TEST(DiffComparisons, DatesSizesAndChecksums) {
    const double second = 1.0 / SecondsPerDay;
    struct {
        std::int64_t Skew;
        double SourceSeconds;
        bool Different;
    } dates[] = {{0, -1, false},      {0, 0, false},      {0, 1, true},
                 {3600, 3600, false}, {3600, 3601, true}, {-60, -59, true}};
    for (const auto& c : dates) {
        TFTPTreeVisitorDetermineDifferencesToLocal visitor(TFTPMirrorOptions(), c.Skew, "/x");
        EXPECT_EQ(visitor.DateIsDifferent(45000.0 + c.SourceSeconds * second, 45000.0), c.Different)
            << c.Skew << " " << c.SourceSeconds;
    }
    TFTPTreeVisitorDetermineDifferencesToLocal plain(TFTPMirrorOptions(), 0, "/x");
    EXPECT_FALSE(plain.CRCIsDifferent(-1, 5));
    EXPECT_FALSE(plain.CRCIsDifferent(5, -1));
    EXPECT_TRUE(plain.CRCIsDifferent(0x1FFFFFFFFLL, 0xFFFFFFFFLL));
    EXPECT_TRUE(plain.SizeIsDifferent(10, -1));
    EXPECT_FALSE(plain.SizeIsDifferent(6000000000LL, 6000000000LL));
}

TEST(DiffComparisons, CommaText) {
    EXPECT_EQ(SplitCommaText(".cs,.sln .csproj"), (TStringList{".cs", ".sln", ".csproj"}));
    EXPECT_EQ(SplitCommaText("\"a b\",c"), (TStringList{"a b", "c"}));
}

// "LIST -aR" output split into folders, or refused where it cannot stand for a listing per folder.
TEST(TreeListing, SplitsIntoFoldersOrRefuses) {
    const std::string dir = "drwxr-xr-x   2 u g  4096 Dec  7 01:34 ";
    const std::string file = "-rw-r--r--   1 u g   650 Dec  7 01:34 ";
    struct {
        const char* Name;
        std::string Root;
        std::vector<std::string> Lines;
        // folder: its entries' names joined by ","; empty: refused.
        std::map<std::string, std::string> Folders;
    } cases[] = {
        {"dot entries, totals, the last section and empty ones left out", "/q",
         {"total 8", dir + ".", dir + "..", dir + "d", file + "a b.txt", "", "/q/d:", dir + ".", file + "x:", dir + "e",
          dir + "f", "", "/q/d/e:", "", "/q/d/f:", file + "y"},
         {{"/q", "d,a b.txt"}, {"/q/d", "x:,e,f"}}},
        {"relative sections and Pure-FTPd's below /", "/",
         {".:", dir + "d", dir + "e", "", "./d:", file + "f", "", "//e:", file + "g"},
         {{"/", "d,e"}, {"/d", "f"}}},
        {"a section its parent does not list (cut short)", "/l0",
         {file + "f0", dir + "l1", "", "/l0/l1:", file + "f0", "", "/l0/l1/l2:"},
         {}},
        {"a folder without folders: its own listing", "/q", {"total 4", file + "a", file + "b"},
         {{"/q", "a,b"}}},
        {"a server that ignored -R", "/q", {dir + "d", file + "a"}, {}},
        {"a link", "/q", {dir + "d", "", "/q/d:", "lrwxrwxrwx 1 u g 3 Dec  7 01:34 l -> /etc"}, {}},
        {"a section outside the root", "/q", {dir + "d", "", "/etc:", file + "passwd"}, {}},
        {"a section given twice", "/q", {dir + "d", "", "/q/d:", "", "/q/d:"}, {}},
        {"a line that is no entry", "/q", {dir + "d", "", "/q/d:", "garbage"}, {}},
    };
    for (const auto& c : cases) {
        auto tree = SplitTreeListing(c.Lines, c.Root);
        ASSERT_EQ(tree.has_value(), !c.Folders.empty()) << c.Name;
        if (!tree)
            continue;
        std::map<std::string, std::string> folders;
        for (const auto& [path, items] : *tree) {
            std::string names;
            for (const auto& item : items)
                names += (names.empty() ? "" : ",") + item.FileName;
            folders[path] = names;
        }
        EXPECT_EQ(folders, c.Folders) << c.Name;
    }
    // What was left out is named, so that the caller can list it on its own.
    std::vector<std::string> alone;
    SplitTreeListing(cases[0].Lines, cases[0].Root, std::time(nullptr), &alone);
    EXPECT_EQ(alone, (std::vector<std::string>{"/q/d/f", "/q/d/e"}));
}

} // namespace
