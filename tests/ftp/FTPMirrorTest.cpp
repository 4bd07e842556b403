#include <sys/stat.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// Every entry below a folder: relative path -> content ("<dir>" for folders).
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(root))
        entries[fs::relative(e.path(), root).generic_string()] = e.is_directory() ? "<dir>" : ReadTextFile(e.path());
    return entries;
}

std::time_t ModTime(const fs::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mtime;
}

class FTPMirror : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        FServer = std::make_unique<TFTPTestServer>(GetParam());
        FServer->Start();
    }

    std::vector<std::string> Mirror(const fs::path& local, const std::string& properties, TRunOutcome& outcome) {
        TPackageRun run;
        auto lines = run.Run(
            R"({"actions":[)" + SiteConnectJson(FServer->Port()) + R"(,
              {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
            local.string() + R"(","LogFiles":true)" + (properties.empty() ? "" : "," + properties) + "}}]}");
        outcome = run.Outcome;
        return lines;
    }
    static int Count(const std::vector<std::string>& lines, const std::string& prefix) {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&prefix](const auto& l) { return l.rfind(prefix, 0) == 0; }));
    }

    std::unique_ptr<TFTPTestServer> FServer;
    TTempDir FSource{"quillate-mirror-src"};
    TTempDir FBack{"quillate-mirror-back"};
};

TEST_P(FTPMirror, ThereAndBackGivesThreeIdenticalTreesAndASecondRunTransfersNothing) {
    for (const char* f : {"index.html", "img/logo.png", "img/icons/a.ico", "docs/readme.txt", ".hidden"}) {
        fs::create_directories((FSource.Path() / f).parent_path());
        WriteTextFile(FSource.Path() / f, std::string("bytes of ") + f + std::string(3000, 'x'));
    }
    fs::create_directories(FSource.Path() / "empty/nested");
    const std::string options = R"("Recursive":true,"IncludeEmptyDirs":true,"MirrorDateTime":true,"CheckFileSize":true,"CheckFileDate":true,"DeleteOrphans":true)";

    TRunOutcome outcome{};
    auto up = Mirror(FSource.Path(), options, outcome);
    ASSERT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(up);
    EXPECT_THAT(up, Contains("FTP Mirror succeeded"));
    EXPECT_EQ(Count(up, "Uploaded ["), 5);
    EXPECT_EQ(Snapshot(FServer->Home()), Snapshot(FSource.Path()));
    // Dates travel with the files, within the server's one-second precision.
    EXPECT_LE(std::abs(ModTime(FServer->Home() / "img/logo.png") - ModTime(FSource.Path() / "img/logo.png")), 1);

    auto again = Mirror(FSource.Path(), options, outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(again);
    EXPECT_EQ(Count(again, "Uploaded ["), 0) << ::testing::PrintToString(again);

    auto down = Mirror(FBack.Path(), R"("MirrorOperation":"moRemoteToLocal",)" + options, outcome);
    ASSERT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(down);
    EXPECT_EQ(Count(down, "Downloaded ["), 5);
    EXPECT_EQ(Snapshot(FBack.Path()), Snapshot(FSource.Path()));
}

TEST_P(FTPMirror, OrphansAreDeletedOnTheTargetSideOnly) {
    WriteTextFile(FSource.Path() / "keep.txt", "keep");
    FServer->PutFile("keep.txt", "old");
    FServer->PutFile("stale.txt", "stale");
    FServer->PutFile("gone/deep/x.txt", "x");
    TRunOutcome outcome{};
    auto up = Mirror(FSource.Path(), R"("Recursive":true,"CheckFileSize":true,"DeleteOrphans":true)", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(up);
    EXPECT_EQ(Snapshot(FServer->Home()), Snapshot(FSource.Path()));

    // Downloading deletes local extras, folder contents first.
    WriteTextFile(FBack.Path() / "extra.txt", "e");
    fs::create_directories(FBack.Path() / "extra-dir/sub");
    WriteTextFile(FBack.Path() / "extra-dir/sub/y.txt", "y");
    auto down = Mirror(FBack.Path(), R"("MirrorOperation":"moRemoteToLocal","Recursive":true,"DeleteOrphans":true)", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(down);
    EXPECT_EQ(Snapshot(FBack.Path()), Snapshot(FSource.Path()));
}

TEST_P(FTPMirror, WithoutRecursionSubfoldersOnEitherSideAreLeftAlone) {
    WriteTextFile(FSource.Path() / "top.txt", "top");
    fs::create_directories(FSource.Path() / "local-only");
    WriteTextFile(FSource.Path() / "local-only/l.txt", "l");
    FServer->PutFile("remote-only/r.txt", "r");
    TRunOutcome outcome{};
    auto up = Mirror(FSource.Path(), R"("DeleteOrphans":true)", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(up);
    EXPECT_TRUE(fs::exists(FServer->Home() / "top.txt"));
    EXPECT_TRUE(fs::exists(FServer->Home() / "remote-only/r.txt"));
    EXPECT_FALSE(fs::exists(FServer->Home() / "local-only"));
}

// "File Name" matches the bare name, "File Mask" the relative path in bars, "RegEx" the relative path
// with "/" as written; a RegEx line that does not compile fails the run before anything is sent.
TEST_P(FTPMirror, ExclusionLinesLeaveOutExactlyWhatTheyName) {
    for (const char* f : {"a.txt", "b.log", "logo.png", "img/x.png", "img/keep.txt", "tmp/t.txt", "sub/tmp/kept.txt",
                          "sub/skip-me.txt", "sub/c.txt"}) {
        fs::create_directories((FSource.Path() / f).parent_path());
        WriteTextFile(FSource.Path() / f, f);
    }
    const std::string excludes = R"("File Name=b.log","File Mask=\\tmp\\*","RegEx=\\.PNG$","RegEx=^/sub/skip")";
    TRunOutcome outcome{};
    auto up = Mirror(FSource.Path(), R"("Recursive":true,"LogExcludedFiles":true,"ExcludeList":[)" + excludes + "]", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(up);
    EXPECT_THAT(up, Contains("Excluded: b.log"));
    const std::map<std::string, std::string> expected = {{"a.txt", "a.txt"},   {"img", "<dir>"},
                                                         {"img/keep.txt", "img/keep.txt"}, {"sub", "<dir>"},
                                                         {"sub/c.txt", "sub/c.txt"},     {"sub/tmp", "<dir>"},
                                                         {"sub/tmp/kept.txt", "sub/tmp/kept.txt"}};
    EXPECT_EQ(Snapshot(FServer->Home()), expected);

    WriteTextFile(FSource.Path() / "new.txt", "new");
    auto invalid = Mirror(FSource.Path(), R"("Recursive":true,"ExcludeList":[)" + excludes + R"(,"RegEx=([a-z"])", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Failed);
    EXPECT_THAT(invalid, Contains(HasSubstr("FTP Mirror failed. Exclusion line 5 [RegEx=([a-z]: ")));
    EXPECT_THAT(invalid, Not(Contains("Calculating Server Time Skew...")));
    EXPECT_EQ(Snapshot(FServer->Home()), expected);
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPMirror, ::testing::Values(TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD),
                         [](const auto& info) { return KindName(info.param); });

} // namespace
