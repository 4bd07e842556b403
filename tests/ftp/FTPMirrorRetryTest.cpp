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

// The fault-injecting proxy of tests/servers in front of a server: with no mode it cuts the first
// data connection after cutAfter bytes; the modes are described in fault_proxy.py.
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

std::string MirrorJson(std::uint16_t port, const fs::path& local, const std::string& retryProperties) {
    return R"({"actions":[)" + SiteConnectJson(port) + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
           local.string() + R"(","Recursive":true,"SkipSkewCheck":true,"LogFiles":true},
           "children":[{"type":"ftp.retry.options","properties":{)" + retryProperties + R"(}},
                       {"type":"ftp.logging.options","properties":{"LogConnectionStatus":true}}]}]})";
}

std::string Payload(std::size_t size, const std::string& seed) {
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += seed + " line " + std::to_string(i) + "\n";
    return text;
}

struct TFaultCase {
    const char* Name;
    TFTPServerKind Server;
    const char* Mode;
    // A line the recovery must have written.
    const char* Recovery;
};

class FTPMirrorRetry : public ::testing::TestWithParam<TFaultCase> {};

// Whatever breaks the first upload, five attempts bring the tree over byte for byte: a file cut half
// way is resumed from the server's size, and one whose STOR never reached the server (so the server
// reports no size) is sent again whole.
TEST_P(FTPMirrorRetry, TheTreeArrivesWholeAfterAFault) {
    const auto& c = GetParam();
    TFTPTestServer server(c.Server);
    server.Start();
    TFaultProxy proxy(server.Port(), 1 << 20, c.Mode);
    TTempDir local("quillate-retry");
    const std::map<std::string, std::string> files = {{"a-big.bin", Payload(8u << 20, "big")},
                                                      {"b.txt", "small"},
                                                      {"sub/c.bin", Payload(300000, "c")}};
    for (const auto& [name, content] : files) {
        fs::create_directories((local.Path() / name).parent_path());
        WriteTextFile(local.Path() / name, content);
    }
    TPackageRun run;
    auto lines = run.Run(MirrorJson(
        proxy.Port, local.Path(), R"("TransferMaxRetries":5,"ResumeOnFailedTransfer":true,"RetryTransferOnAllErrors":true)"));
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines, Contains(HasSubstr("Uploading [a-big.bin] failed : [")));
    EXPECT_THAT(lines, Contains("Upload retry [1] of [5] for [a-big.bin] : Connected."));
    EXPECT_THAT(lines, Contains(HasSubstr(c.Recovery)));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("Upload retry [2]"))));
    for (const auto& [name, content] : files)
        EXPECT_EQ(ReadTextFile(server.Home() / name), content) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FTPMirrorRetry,
    ::testing::Values(TFaultCase{"DataCutHalfWay", TFTPServerKind::skPyftpdlib, "", "to [a-big.bin] at ["},
                      TFaultCase{"ControlDroppedAtStor", TFTPServerKind::skProFTPD, "drop-at-stor",
                                 "Upload retry [1] of [5] for [a-big.bin] : Resumes are not possible for this retry"}),
    [](const auto& info) { return std::string(info.param.Name); });

// With retries off there is still one recovery pass: it accepts a file that arrived whole although
// the server's confirmation was lost, and it fails a file that arrived in part, saying why.
TEST(FTPMirrorRetryOff, OneRecoveryPassJudgesByTheServerSize) {
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
        auto lines = run.Run(MirrorJson(proxy.Port, local.Path(), R"("ResumeOnFailedTransfer":true)"));
        EXPECT_THAT(lines, Contains("Upload retry [1] of [1] for [whole.bin] : Attempting to reset connection..."));
        EXPECT_THAT(lines, Not(Contains(HasSubstr("Upload retry [2]"))));
        // The reconnect shows in the connection status log: "05/12/2026 9:41:07 pm [connected] : ...".
        static const std::regex status(R"(^\d\d/\d\d/\d{4} \d{1,2}:\d\d:\d\d (am|pm) \[connected\] : .*)");
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) { return std::regex_match(l, status); }));
        if (replyLost) {
            EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
            EXPECT_THAT(lines, Contains("Upload retry [1] of [1] for [whole.bin] : File [whole.bin] has expected size [" +
                                        std::to_string(payload.size()) + " bytes]. Upload complete."));
            EXPECT_EQ(ReadTextFile(server.Home() / "whole.bin"), payload);
        } else {
            EXPECT_EQ(run.Outcome, TRunOutcome::Failed) << ::testing::PrintToString(lines);
            EXPECT_THAT(lines, Not(Contains(HasSubstr("Resuming ["))));
            EXPECT_THAT(lines, Contains(HasSubstr("FTP Mirror failed. Upload of [whole.bin] failed after 1 recovery "
                                                  "attempt(s): the server holds ")));
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
