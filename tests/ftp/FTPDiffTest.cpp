#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

class FTPDiff : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        FServer = std::make_unique<TFTPTestServer>(GetParam());
        FServer->Start();
        // The same small tree on both sides.
        for (const char* f : {"a.txt", "sub/b.txt", "sub/deeper/c.txt"}) {
            FServer->PutFile(f, std::string("content of ") + f);
            fs::create_directories((FLocal.Path() / f).parent_path());
            WriteTextFile(FLocal.Path() / f, std::string("content of ") + f);
        }
    }

    // Runs one diff and returns its lines; properties are added to the defaults of the test.
    std::vector<std::string> Diff(const std::string& properties, TRunOutcome& outcome) {
        TPackageRun run;
        auto lines = run.Run(
            R"({"actions":[)" + SiteConnectJson(FServer->Port()) + R"(,
              {"type":"action.ftp.diff","properties":{"ConnectionName":"Site","LocalDir":")" +
            FLocal.Path().string() + R"(","SkipSkewCheck":true)" + (properties.empty() ? "" : "," + properties) + "}}]}");
        outcome = run.Outcome;
        return lines;
    }

    std::unique_ptr<TFTPTestServer> FServer;
    TTempDir FLocal{"quillate-diff"};
};

// The diff counts what the mirror with the same settings would do: new files, folders it creates
// (empty ones only with IncludeEmptyDirs), orphans it deletes (folders even when empty), under the
// mirror's exclusions and file specs. Only a count of 0 succeeds.
TEST_P(FTPDiff, CountsWhatTheMirrorWouldDo) {
    TRunOutcome outcome{};
    auto same = Diff(R"("Recursive":true,"CheckFileSize":true,"DeleteOrphans":true)", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(same);
    EXPECT_THAT(same, Contains("Total Differences [0]"));
    EXPECT_THAT(same, Contains("FTP Mirror Complete"));

    for (const char* f : {"new.txt", "new.log", "fresh/1.txt", "fresh/2.txt"}) {
        fs::create_directories((FLocal.Path() / f).parent_path());
        WriteTextFile(FLocal.Path() / f, f);
    }
    fs::create_directories(FLocal.Path() / "empty");
    FServer->PutFile("sub/extra.txt", "only on the server");
    FServer->MakeDir("old-empty");
    struct TCase {
        std::string Properties;
        int Expected;
    } cases[] = {
        {R"("Recursive":true)", 5},
        {R"("Recursive":true,"DeleteOrphans":true)", 7},
        {R"("Recursive":true,"IncludeEmptyDirs":true,"DeleteOrphans":true)", 8},
        // Without recursion subfolders take no part on either side.
        {R"("DeleteOrphans":true)", 2},
        {R"("Recursive":true,"ExcludeList":["RegEx=^/fresh/","File Name=new.log"])", 1},
        // Folders have no extension, so a file spec keeps to the top folder.
        {R"("Recursive":true,"UseFileSpec":true,"FileSpec":".log")", 1},
    };
    for (const auto& c : cases) {
        auto lines = Diff(c.Properties, outcome);
        EXPECT_EQ(outcome, TRunOutcome::Failed);
        EXPECT_THAT(lines, Contains("Total Differences [" + std::to_string(c.Expected) + "]"))
            << c.Properties << ::testing::PrintToString(lines);
        EXPECT_THAT(lines, Not(Contains("FTP Mirror Complete")));
    }
}

TEST_P(FTPDiff, SizeChecksumAndDateDecideAboutChangedFiles) {
    WriteTextFile(FLocal.Path() / "a.txt", "CONTENT OF a.txt"); // same size, other bytes
    TRunOutcome outcome{};
    auto sizeOnly = Diff(R"("CheckFileSize":true)", outcome);
    EXPECT_THAT(sizeOnly, Contains("Total Differences [0]"));
    auto withCRC = Diff(R"("CheckFileSize":true,"CheckFileCRC":true,"LogDifferences":true)", outcome);
    EXPECT_THAT(withCRC, Contains("Total Differences [1]"));
    EXPECT_THAT(withCRC, Contains("a.txt [Changed]"));

    // A local file newer than the server's copy counts only with MirrorDateTime and CheckFileDate.
    WriteTextFile(FLocal.Path() / "a.txt", "content of a.txt");
    struct utimbuf old {};
    old.actime = old.modtime = 946684800; // 2000-01-01
    ASSERT_EQ(utime((FServer->Home() / "a.txt").c_str(), &old), 0);
    EXPECT_THAT(Diff(R"("CheckFileDate":true)", outcome), Contains("Total Differences [0]"));
    EXPECT_THAT(Diff(R"("CheckFileDate":true,"MirrorDateTime":true)", outcome), Contains("Total Differences [1]"));
}

TEST_P(FTPDiff, RemoteToLocalComparesTheServerTreeWithTheLocalOne) {
    FServer->PutFile("sub/only-remote.txt", "x");
    WriteTextFile(FLocal.Path() / "only-local.txt", "y");
    TRunOutcome outcome{};
    auto lines = Diff(R"("MirrorOperation":"moRemoteToLocal","Recursive":true,"DeleteOrphans":true,"LogDifferences":true)",
                      outcome);
    EXPECT_THAT(lines, Contains("Total Differences [2]"));
    EXPECT_THAT(lines, Contains("only-remote.txt [Changed]"));
    EXPECT_THAT(lines, Contains("only-local.txt [Orphaned]"));
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPDiff, ::testing::Values(TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD),
                         [](const auto& info) { return KindName(info.param); });

} // namespace
