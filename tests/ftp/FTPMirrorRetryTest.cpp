// The mirror's recovery from a broken upload and its skew probe, with the fault-injecting proxy of
// tests/servers in front of a real server.
#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <regex>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// With no mode the proxy cuts the first data connection after cutAfter bytes; the modes are described
// in fault_proxy.py. Over TLS the proxy cannot follow the commands: the server itself cuts instead.
struct TFaultProxy {
    TFaultProxy(std::uint16_t serverPort, std::size_t cutAfter, const std::string& mode) {
        TServerOptions options;
        options.Port = FindFreePort();
        options.WorkDir = Dir.Path();
        options.LogFile = Dir.Path() / "proxy.log";
        options.Argv = {"/usr/bin/python3", (ServersDir() / "fault_proxy.py").string(),
                        std::to_string(options.Port), std::to_string(serverPort), std::to_string(cutAfter)};
        if (!mode.empty())
            options.Argv.push_back(mode);
        Process.Start(options);
        Port = options.Port;
    }

    TTempDir Dir{"quillate-proxy"};
    TServerProcess Process;
    std::uint16_t Port = 0;
};

struct TFaultCase {
    const char* Name;
    TFTPServerKind Server;
    const char* Mode;
    int Retries;                    // 0: retries off, which still leaves one recovery pass
    bool Whole;                     // the tree arrives whole and the mirror succeeds
    std::vector<std::string> Lines; // lines the recovery must have written (texts they contain)
    std::vector<std::string> Absent = {"Upload retry [2]"};
    bool TLS = false;
};

class FTPMirrorRetry : public ::testing::TestWithParam<TFaultCase> {};

// A file cut half way is resumed from the server's size, one whose STOR never reached the server (so the
// server reports no size) is sent again whole. With retries off the one recovery pass accepts a file that
// arrived whole although the server's confirmation was lost, and fails one that arrived in part.
TEST_P(FTPMirrorRetry, TheRecoveryJudgesByTheServerSize) {
    const auto& c = GetParam();
    TScopedEnvironment certificates("SSL_CERT_FILE",
                                    (std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem").c_str());
    TFTPTestServer server(c.Server);
    std::optional<TFaultProxy> proxy;
    if (c.TLS) {
        server.SetTLS(TFTPServerTLS::stExplicit);
        server.SetUploadCut(1 << 20);
        server.Start();
    } else {
        server.Start();
        proxy.emplace(server.Port(), 1 << 20, c.Mode);
    }
    std::string connect =
        c.TLS ? SiteConnectJson(server.Port(), R"("Security":"fsExplicit")") : SiteConnectJson(proxy->Port);
    TTempDir local("quillate-retry");
    // Far more than loopback buffers hold, so the client sees a cut while still sending.
    const std::map<std::string, std::string> files = {{"a-big.bin", std::string(16 << 20, 'r')},
                                                      {"b.txt", "small"},
                                                      {"sub/c.bin", std::string(300000, 'c')}};
    for (const auto& [name, content] : files) {
        fs::create_directories((local.Path() / name).parent_path());
        WriteTextFile(local.Path() / name, content);
    }
    std::string retry = R"("ResumeOnFailedTransfer":true)";
    if (c.Retries > 0)
        retry += R"(,"RetryTransferOnAllErrors":true,"TransferMaxRetries":)" + std::to_string(c.Retries);
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + connect + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                         local.Path().string() + R"(","Recursive":true,"SkipSkewCheck":true,"LogFiles":true},
           "children":[{"type":"ftp.retry.options","properties":{)" +
                         retry + R"(}},
                       {"type":"ftp.logging.options","properties":{"LogConnectionStatus":true}}]}]})");
    EXPECT_EQ(run.Outcome, c.Whole ? TRunOutcome::Succeeded : TRunOutcome::Failed)
        << ::testing::PrintToString(lines);
    for (const auto& line : c.Lines)
        EXPECT_THAT(lines, Contains(HasSubstr(line)));
    for (const auto& line : c.Absent)
        EXPECT_THAT(lines, Not(Contains(HasSubstr(line))));
    // The reconnect shows in the connection status log: "05/12/2026 9:41:07 pm [connected] : ...".
    static const std::regex status(R"(^\d\d/\d\d/\d{4} \d{1,2}:\d\d:\d\d (am|pm) \[connected\] : .*)");
    EXPECT_TRUE(
        std::any_of(lines.begin(), lines.end(), [](const auto& l) { return std::regex_match(l, status); }));
    if (c.Whole) {
        // Compared whole, never printed: a diff of 16 MiB strings would exhaust the machine.
        for (const auto& [name, content] : files)
            EXPECT_TRUE(ReadTextFile(server.Home() / name) == content) << name << " differs";
    } else {
        EXPECT_LT(fs::file_size(server.Home() / "a-big.bin"), files.at("a-big.bin").size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FTPMirrorRetry,
    ::testing::Values(
        TFaultCase{"DataCutHalfWay",
                   TFTPServerKind::skPyftpdlib,
                   "",
                   5,
                   true,
                   {"Uploading [a-big.bin] failed : [",
                    "Upload retry [1] of [5] for [a-big.bin] : Connected.", "to [a-big.bin] at ["}},
        TFaultCase{"DataCutHalfWayOverTLS",
                   TFTPServerKind::skPyftpdlib,
                   "",
                   5,
                   true,
                   {"Uploading [a-big.bin] failed : [",
                    "Upload retry [1] of [5] for [a-big.bin] : Connected.", "to [a-big.bin] at ["},
                   {"Upload retry [2]"},
                   true},
        TFaultCase{"ControlDroppedAtStor",
                   TFTPServerKind::skProFTPD,
                   "drop-at-stor",
                   5,
                   true,
                   {"Uploading [a-big.bin] failed : [",
                    "Upload retry [1] of [5] for [a-big.bin] : Connected.",
                    "Upload retry [1] of [5] for [a-big.bin] : Resumes are not possible for this retry"}},
        TFaultCase{
            "ReplyLostWithoutRetries",
            TFTPServerKind::skProFTPD,
            "lose-reply",
            0,
            true,
            {"Upload retry [1] of [1] for [a-big.bin] : Attempting to reset connection...",
             "Upload retry [1] of [1] for [a-big.bin] : File [a-big.bin] has expected size [16777216 bytes]. "
             "Upload complete."}},
        TFaultCase{"DataCutWithoutRetries",
                   TFTPServerKind::skProFTPD,
                   "",
                   0,
                   false,
                   {"Upload retry [1] of [1] for [a-big.bin] : Attempting to reset connection...",
                    "FTP Mirror failed. Upload of [a-big.bin] failed after 1 recovery attempt(s): the server "
                    "holds "},
                   {"Upload retry [2]", "Resuming ["}}),
    [](const auto& info) { return std::string(info.param.Name); });

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
        if (command.starts_with("STOR zr"))
            probeStores.push_back(command);
        if (command.starts_with("DELE zr"))
            probeDeletes.push_back(command);
    }
    ASSERT_EQ(probeStores.size(), 3u) << ::testing::PrintToString(server.LoggedCommands());
    EXPECT_EQ(probeStores[0], probeStores[2]) << "the same probe file each time";
    EXPECT_EQ(probeDeletes.size(), 1u);
    EXPECT_FALSE(fs::exists(server.Home() / probeStores[0].substr(5)));
}

} // namespace
