#include <atomic>
#include <ctime>
#include <optional>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "host/MainThread.h"
#include "support/FTPServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> RunMirror(TFTPTestServer& server, const fs::path& local, const std::string& properties,
                                   TRunOutcome& outcome) {
    TPackageRun run;
    auto lines = run.Run(
        R"({"actions":[)" + SiteConnectJson(server.Port()) + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
        local.string() + R"(","LogFiles":true,)" + properties + "}}]}");
    outcome = run.Outcome;
    return lines;
}

TEST(FTPMirrorQuirks, WithoutServerChecksumsSizesDecide) {
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.SetWithoutChecksums();
    server.Start();
    server.PutFile("same-size.txt", "AAAA");
    TTempDir local("quillate-nocrc");
    WriteTextFile(local.Path() / "same-size.txt", "BBBB");
    WriteTextFile(local.Path() / "longer.txt", "longer");
    server.PutFile("longer.txt", "short");
    TRunOutcome outcome{};
    auto lines = RunMirror(server, local.Path(), R"("CheckFileCRC":true,"CheckFileSize":true,"SkipSkewCheck":true)", outcome);
    EXPECT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines, Contains("CRC is not supported by this FTP Server."));
    EXPECT_THAT(lines, Contains(HasSubstr("Uploaded [" + (local.Path() / "longer.txt").string())));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("same-size.txt] to"))));
    EXPECT_EQ(ReadTextFile(server.Home() / "same-size.txt"), "AAAA");
}

// Our own offset from UTC now, in seconds (east positive).
long LocalUtcOffset() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local.tm_gmtoff;
}

std::optional<long> LoggedSkew(const std::vector<std::string>& lines) {
    const std::string prefix = "Server Time Skew : ";
    for (const auto& line : lines)
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    return std::nullopt;
}

TEST(FTPMirrorQuirks, MeasuresTheSkewOfAServerShowingAnotherClock) {
    // POSIX zones, so no zone database is needed: "QTZ-3" is three hours east of UTC.
    for (auto [zone, serverOffset] : {std::pair{"QTZ-3", 3 * 3600L}, std::pair{"QTZ+5", -5 * 3600L}}) {
        SCOPED_TRACE(zone);
        TFTPTestServer server(TFTPServerKind::skPyftpdlib);
        server.SetServerTimeZone(zone);
        server.Start();
        TTempDir local("quillate-skew");
        WriteTextFile(local.Path() / "a.txt", "content");
        TRunOutcome outcome{};
        auto lines = RunMirror(server, local.Path(), R"("MirrorDateTime":true,"CheckFileDate":true)", outcome);
        ASSERT_EQ(outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
        auto skew = LoggedSkew(lines);
        ASSERT_TRUE(skew.has_value()) << ::testing::PrintToString(lines);
        EXPECT_NEAR(static_cast<double>(*skew), static_cast<double>(serverOffset - LocalUtcOffset()), 2.0);
        EXPECT_THAT(lines, Contains(HasSubstr("Server Set File Date & Time Skew : ")));
        EXPECT_EQ(ReadTextFile(server.Home() / "a.txt"), "content");
        // The probe leaves nothing behind.
        EXPECT_EQ(std::distance(fs::directory_iterator(server.Home()), fs::directory_iterator()), 1);
    }
}

} // namespace

namespace {

TEST(FTPMirrorStop, AStopEndsTheRunWithoutSuccessAndLeavesTheServerWhereItIs) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    server.SetReadLimit(64 * 1024);
    server.Start();
    server.MakeDir("target");
    TTempDir local("quillate-stop");
    for (int i = 0; i < 5; ++i)
        WriteTextFile(local.Path() / ("f" + std::to_string(i) + ".bin"), std::string(128 * 1024, 'x'));
    EnsurePackageRegistered();
    TProject project = TProject::Parse(
        R"({"actions":[)" + SiteConnectJson(server.Port()) + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
            local.Path().string() + R"(","SpecifyRemoteDir":true,"RemoteDir":"/target","SkipSkewCheck":true,"LogFiles":true}},
          {"type":"action.ftp.remotdir.get","properties":{"ConnectionName":"Site","ZRVariable":"Where"}}]})",
        "stop.json");
    TMemoryLogSink log;
    TVariables variables;
    TRunner runner(project.Actions, variables, log);
    std::atomic<bool> finished{false};
    std::thread stopper([&] {
        // Stop once the first file is on the server.
        auto firstUploaded = [&log] {
            for (const auto& text : log.Texts())
                if (text.rfind("Uploaded [", 0) == 0)
                    return true;
            return false;
        };
        while (!finished && !firstUploaded())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
    });
    TRunOutcome outcome = runner.Run();
    finished = true;
    stopper.join();
    auto texts = log.Texts();
    EXPECT_EQ(outcome, TRunOutcome::Stopped);
    EXPECT_THAT(texts, Contains("FTP Operation will stop after current upload completes."));
    EXPECT_THAT(texts, Contains("FTP Mirror aborted"));
    EXPECT_THAT(texts, Not(Contains("FTP Mirror succeeded")));
    EXPECT_LT(std::distance(fs::directory_iterator(server.Home() / "target"), fs::directory_iterator()), 5);
}

} // namespace
