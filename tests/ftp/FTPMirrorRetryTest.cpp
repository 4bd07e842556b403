#include <filesystem>
#include <regex>

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

// The fault-injecting proxy of tests/servers in front of a server; `mode` "lose-reply" breaks the
// control connection where the first upload's reply would come instead of cutting its data.
struct TFaultProxy {
    TFaultProxy(std::uint16_t serverPort, std::size_t cutAfter, const std::string& mode = {}) {
        TServerOptions options;
        options.Port = FindFreePort();
        options.WorkDir = Dir.Path();
        options.LogFile = Dir.Path() / "proxy.log";
        options.Argv = {"/usr/bin/python3", (ServersDir() / "fault_proxy.py").string(), std::to_string(options.Port),
                        std::to_string(serverPort), std::to_string(cutAfter)};
        if (!mode.empty())
            options.Argv.push_back(mode);
        Process.Start(options);
        Port = options.Port;
    }

    TTempDir Dir{"quillate-proxy"};
    TServerProcess Process;
    std::uint16_t Port = 0;
};

std::string MirrorJson(std::uint16_t port, const fs::path& local, const std::string& retryProperties,
                       bool logConnectionStatus = false) {
    return R"({"actions":[)" + SiteConnectJson(port) + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
           local.string() + R"(","SkipSkewCheck":true,"LogFiles":true},
           "children":[{"type":"ftp.retry.options","properties":{)" + retryProperties + R"(}},
                       {"type":"ftp.logging.options","properties":{"LogConnectionStatus":)" +
           (logConnectionStatus ? "true" : "false") + "}}]}]}";
}

// "05/12/2026 9:41:07 pm [connected] : ..." lines of the connection status log.
std::vector<std::string> StatusLines(const std::vector<std::string>& lines, const std::string& state) {
    static const std::regex form(R"(^\d\d/\d\d/\d{4} \d{1,2}:\d\d:\d\d (am|pm) \[[a-z]+\] : .*)");
    std::vector<std::string> found;
    for (const auto& line : lines)
        if (std::regex_match(line, form) && line.find("[" + state + "] : ") != std::string::npos)
            found.push_back(line);
    return found;
}

// The network drops the first upload half way; the mirror reconnects, finds the partial file and
// resumes it from the server's size.
TEST(FTPMirrorRetry, AnUploadCutHalfWayIsResumedAfterAReconnect) {
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.Start();
    TFaultProxy proxy(server.Port(), 1 << 20);

    TTempDir local("quillate-retry");
    std::string payload;
    for (int i = 0; payload.size() < (8u << 20); ++i)
        payload += "line " + std::to_string(i) + " of a file that will be cut\n";
    WriteTextFile(local.Path() / "big.bin", payload);

    TPackageRun run;
    auto lines = run.Run(MirrorJson(
        proxy.Port, local.Path(),
        R"("TransferMaxRetries":3,"ResumeOnFailedTransfer":true,"RetryTransferOnAllErrors":true)"));
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines, Contains(HasSubstr("Uploading [big.bin] failed : [")));
    EXPECT_THAT(lines, Contains("Upload retry [1] of [3] for [big.bin] : Attempting to reset connection..."));
    EXPECT_THAT(lines, Contains("Upload retry [1] of [3] for [big.bin] : Connected."));
    EXPECT_THAT(lines, Contains(HasSubstr("size. Expecting [" + std::to_string(payload.size()) + " bytes].")));
    EXPECT_THAT(lines, Contains(HasSubstr("does not match.")));
    EXPECT_THAT(lines, Contains(HasSubstr("Resuming [" + (local.Path() / "big.bin").string() + "] to [big.bin] at [")));
    EXPECT_THAT(lines, Contains("FTP Mirror succeeded"));
    EXPECT_EQ(ReadTextFile(server.Home() / "big.bin"), payload);
}

// With retries off there is still one recovery pass: it accepts a file that arrived whole even
// though the server's confirmation was lost, and it fails a file that arrived in part.
TEST(FTPMirrorRetry, WithRetriesOffOneRecoveryPassJudgesByTheServerSize) {
    const std::string retriesOff = R"("RetryTransferOnAllErrors":false,"ResumeOnFailedTransfer":true)";
    // Far more than loopback buffers hold, so the client sees the cut while still sending.
    const std::string payload(16 << 20, 'r');
    for (bool replyLost : {true, false}) {
        SCOPED_TRACE(replyLost ? "reply lost" : "data cut");
        TFTPTestServer server(TFTPServerKind::skProFTPD);
        server.Start();
        TFaultProxy proxy(server.Port(), 1 << 20, replyLost ? "lose-reply" : "");
        TTempDir local("quillate-retry");
        WriteTextFile(local.Path() / "whole.bin", payload);
        TPackageRun run;
        // The reconnect of the recovery pass shows in the connection status log when it is on.
        auto lines = run.Run(MirrorJson(proxy.Port, local.Path(), retriesOff, replyLost));
        EXPECT_EQ(StatusLines(lines, "connected").empty(), !replyLost) << ::testing::PrintToString(lines);
        EXPECT_EQ(StatusLines(lines, "disconnected").empty(), !replyLost);
        EXPECT_THAT(lines, Contains(HasSubstr("Uploading [whole.bin] failed : [")));
        EXPECT_THAT(lines, Contains("Upload retry [1] of [1] for [whole.bin] : Attempting to reset connection..."));
        EXPECT_THAT(lines, Not(Contains(HasSubstr("Upload retry [2]"))));
        if (replyLost) {
            EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
            EXPECT_THAT(lines, Contains("Upload retry [1] of [1] for [whole.bin] : File [whole.bin] has expected size [" +
                                        std::to_string(payload.size()) + " bytes]. Upload complete."));
            EXPECT_THAT(lines, Contains("FTP Mirror succeeded"));
            EXPECT_EQ(ReadTextFile(server.Home() / "whole.bin"), payload);
        } else {
            EXPECT_NE(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
            EXPECT_THAT(lines, Contains(HasSubstr("does not match.")));
            EXPECT_THAT(lines, Not(Contains(HasSubstr("Resuming ["))));
            EXPECT_THAT(lines, Not(Contains("FTP Mirror succeeded")));
            EXPECT_LT(fs::file_size(server.Home() / "whole.bin"), payload.size());
        }
    }
}

// The skew probe compares whole seconds, which holds only when its upload starts and ends within
// one of our seconds; an upload that spans a change of second is repeated, three tries at most.
TEST(FTPSkewProbe, RepeatsAnUploadThatSpansAChangeOfSecond) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    server.Start();
    TFaultProxy proxy(server.Port(), 0, "slow-reply");
    TTempDir local("quillate-skew");
    WriteTextFile(local.Path() / "a.txt", "a");
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(proxy.Port) + R"(,
          {"type":"action.ftp.diff","ignoreFailure":true,"properties":{"ConnectionName":"Site","LocalDir":")" +
                         local.Path().string() + R"("}},
          {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
    EXPECT_THAT(lines, Contains(HasSubstr("Server Time Skew : ")));
    EXPECT_THAT(lines, Contains("Total Differences [1]")) << ::testing::PrintToString(lines);
    std::vector<std::string> probeStores, probeDeletes;
    for (const auto& command : server.LoggedCommands()) {
        if (command.rfind("STOR zr", 0) == 0)
            probeStores.push_back(command);
        if (command.rfind("DELE zr", 0) == 0)
            probeDeletes.push_back(command);
    }
    ASSERT_EQ(probeStores.size(), 3u) << ::testing::PrintToString(server.LoggedCommands());
    EXPECT_EQ(probeStores[0], probeStores[2]) << "the same probe file each time";
    EXPECT_EQ(probeDeletes.size(), 1u);
    EXPECT_FALSE(fs::exists(server.Home() / probeStores[0].substr(5)));
}

} // namespace
