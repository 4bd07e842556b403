#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "ftp/ZRFTPConnectAction.h"
#include "host/CryptoUtils.h"
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
        R"({"actions":[{"type":"action.ftp.connect","properties":{"FTPConnectionName":"Site","FTPHost":"127.0.0.1","FTPPort":)" +
        std::to_string(server.Port()) + R"(,"UserID":")" + TFTPTestServer::User + R"(","Cookie":")" +
        EncryptString(TFTPTestServer::Password, zr::TFTPConnectionAction::PasswordKey) + R"(","Passive":true}},
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

} // namespace
