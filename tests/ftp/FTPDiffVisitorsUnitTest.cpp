// The comparisons of the diff's visitors and its name rules; the trees they mark are cases of tests/data/ftp.
#include "ftp/sync/ZRFTPDiffBaseAction.h"
#include "ftp/sync/ZRFTPDiffVisitors.h"

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

} // namespace
