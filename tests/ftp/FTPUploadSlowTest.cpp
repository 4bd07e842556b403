// "FTP Upload" time limit: a transfer the server throttles is still running when the one-minute limit
// runs out, and the upload is aborted.
#include "PackageTestSupport.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

using namespace quillate;
using namespace quillate::testing;
namespace fs = std::filesystem;

namespace {

// 64 MiB at 256 KiB/s takes longer than four minutes, whatever the socket buffers swallow at first.
// The client hears of progress only when the server frees buffer space, so the rate must not be tiny.
constexpr std::int64_t FileSize = 64LL << 20;
constexpr std::size_t ServerReadLimit = 256 * 1024;

class FTPUploadTimeLimit : public ::testing::TestWithParam<TFTPServerKind> {};

TEST_P(FTPUploadTimeLimit, AThrottledTransferIsAbortedAfterTheLimit) {
    TFTPTestServer server(GetParam());
    server.SetReadLimit(ServerReadLimit);
    server.Start();
    TTempDir local("quillate-upload");
    WriteTextFile(local.Path() / "big.bin", "");
    fs::resize_file(local.Path() / "big.bin", FileSize);
    EnsurePackageRegistered();
    TProject project = TProject::Parse(
        R"({"actions":[)" + SiteConnectJson(server.Port()) +
            SiteStep("action.ftp.upload.file", R"("LocalDir":")" + local.Path().string() +
                                                   R"(","FileSpec":"big.bin","RemoteFile":"big.bin",)"
                                                   R"("EnableTimeout":true,"TimeoutLength":1)") +
            "]}",
        "slow.json");
    TPackageRun run;
    run.Run(project);

    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    auto lines = run.LinesOf("FTP Upload");
    ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Total upload size will be 64 MB");
    EXPECT_EQ(lines[1], "FTP Upload Timed Out after 1 minutes.");
    std::smatch sent;
    ASSERT_TRUE(std::regex_match(lines[2], sent, std::regex(R"(([0-9]+) / ([0-9]+) bytes sent\.)")))
        << lines[2];
    EXPECT_GT(std::stoll(sent[1]), 0);
    EXPECT_LT(std::stoll(sent[1]), FileSize);
    EXPECT_EQ(std::stoll(sent[2]), FileSize);
    EXPECT_EQ(lines[3], "Aborting FTP operation...");
    EXPECT_EQ(lines[4], "Upload failed.");
    EXPECT_TRUE(project.Actions.back()->GetTimedOut());

    // A minute of work events gives many progress lines, never two within a second. The margin covers
    // the delay between the action's clock and the recording sink's.
    auto progress = run.ProgressLines();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().Text, "Upload speed : 0.00 KB/s");
    std::vector<TPackageRun::TProgressLine> counted;
    for (const auto& line : progress)
        if (line.Text.find("Transferred") != std::string::npos)
            counted.push_back(line);
    ASSERT_GE(counted.size(), 3u) << counted.back().Text;
    std::regex format(R"(Upload speed : [0-9]+ (bytes|KB|MB)/s,  [0-9]+ (bytes|KB|MB)/64 MB Transferred)");
    for (std::size_t i = 0; i < counted.size(); ++i) {
        EXPECT_TRUE(std::regex_match(counted[i].Text, format)) << counted[i].Text;
        EXPECT_LT(counted[i].Percent, 100);
        if (i > 0) {
            EXPECT_GE(counted[i].Percent, counted[i - 1].Percent);
            EXPECT_GE(counted[i].Time - counted[i - 1].Time, std::chrono::milliseconds(900));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPUploadTimeLimit, AllFTPServers, ServerName);

} // namespace
