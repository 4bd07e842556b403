#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// The network drops the first upload half way; the mirror reconnects, finds the partial file and
// resumes it from the server's size.
TEST(FTPMirrorRetry, AnUploadCutHalfWayIsResumedAfterAReconnect) {
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.Start();
    TTempDir proxyDir("quillate-proxy");
    TServerProcess proxy;
    TServerOptions options;
    options.Port = FindFreePort();
    options.WorkDir = proxyDir.Path();
    options.LogFile = proxyDir.Path() / "proxy.log";
    options.Argv = {"/usr/bin/python3", (ServersDir() / "fault_proxy.py").string(), std::to_string(options.Port),
                    std::to_string(server.Port()), std::to_string(1 << 20)};
    proxy.Start(options);

    TTempDir local("quillate-retry");
    std::string payload;
    for (int i = 0; payload.size() < (8u << 20); ++i)
        payload += "line " + std::to_string(i) + " of a file that will be cut\n";
    WriteTextFile(local.Path() / "big.bin", payload);

    TPackageRun run;
    auto lines = run.Run(
        R"({"actions":[)" + SiteConnectJson(options.Port) + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
        local.Path().string() + R"(","SkipSkewCheck":true,"LogFiles":true},
           "children":[{"type":"ftp.retry.options","properties":{"TransferMaxRetries":3,"ResumeOnFailedTransfer":true,"RetryTransferOnAllErrors":true}}]}]})");
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

} // namespace
