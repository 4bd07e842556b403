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

// A server whose listing tries to lead the mirror out of its folders.
TEST(FTPMirrorHostile, NamesThatWouldLeaveTheFolderAreSkippedWithAWarning) {
    // JSON text: the line ends are escapes that the peer turns into CR LF.
    const std::string listing = R"(drwxr-xr-x 2 u g 4096 Jan 01  2020 .\r\n)"
                                R"(drwxr-xr-x 2 u g 4096 Jan 01  2020 ..\r\n)"
                                R"(-rw-r--r-- 1 u g 5 Jan 01  2020 ../escape.txt\r\n)"
                                R"(-rw-r--r-- 1 u g 5 Jan 01  2020 sub/inner.txt\r\n)";
    TScriptedPeer peer(R"([{"send":"220 scripted"},{"expect":"FEAT"},{"send":"211 no features"},
        {"expect":"USER"},{"send":"331 password"},{"expect":"PASS"},{"send":"230 in"},
        {"expect":"TYPE I"},{"send":"200 binary"},
        {"expect":"PWD"},{"send":"257 \"/\" is current"},
        {"expect":"FEAT"},{"send":"211 no features"},
        {"expect":"EPSV"},{"epsv":true},
        {"expect":"LIST"},{"send":"150 listing"},{"data":")" + listing + R"("},{"send":"226 done"},
        {"expect":"CWD /"},{"send":"250 ok"},
        {"expect":"QUIT"},{"send":"221 bye"},{"close":true}])");
    TTempDir sandbox("quillate-hostile");
    fs::create_directories(sandbox.Path() / "local");
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[
        {"type":"action.ftp.connect","properties":{"FTPConnectionName":"Site","FTPHost":"127.0.0.1","FTPPort":)" +
                         std::to_string(peer.Port()) + R"(,"UserID":"u","Passive":true}},
        {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                         (sandbox.Path() / "local").string() +
                         R"(","MirrorOperation":"moRemoteToLocal","Recursive":true,"DeleteOrphans":true,"SkipSkewCheck":true}},
        {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines) << peer.Transcript();
    EXPECT_THAT(lines, Contains(HasSubstr("unsafe name [../escape.txt]")));
    EXPECT_THAT(lines, Contains(HasSubstr("unsafe name [sub/inner.txt]")));
    // Nothing was written anywhere: not beside the local folder, not inside it.
    EXPECT_FALSE(fs::exists(sandbox.Path() / "escape.txt"));
    EXPECT_TRUE(fs::is_empty(sandbox.Path() / "local"));
}

} // namespace
