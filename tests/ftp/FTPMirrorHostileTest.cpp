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
    TLinePeer peer({FTPLogin()
                        .Reply("PWD", "257 \"/\" is current")
                        .Reply("FEAT", "211 no features")
                        .Then(FTPEpsv())
                        .Reply("LIST", "150 listing")
                        .Then(FTPSendData("drwxr-xr-x 2 u g 4096 Jan 01  2020 .\r\n"
                                          "drwxr-xr-x 2 u g 4096 Jan 01  2020 ..\r\n"
                                          "-rw-r--r-- 1 u g 5 Jan 01  2020 ../escape.txt\r\n"
                                          "-rw-r--r-- 1 u g 5 Jan 01  2020 sub/inner.txt\r\n"))
                        .Send("226 done")
                        .Reply("CWD /", "250 ok")
                        .Reply("QUIT", "221 bye")});
    TTempDir sandbox("quillate-hostile");
    fs::create_directories(sandbox.Path() / "local");
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(peer.Port()) + R"(,
        {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                         (sandbox.Path() / "local").string() +
                         R"(","MirrorOperation":"moRemoteToLocal","Recursive":true,"DeleteOrphans":true,"SkipSkewCheck":true}},
        {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines, Contains(HasSubstr("unsafe name [../escape.txt]")));
    EXPECT_THAT(lines, Contains(HasSubstr("unsafe name [sub/inner.txt]")));
    // Nothing was written anywhere: not beside the local folder, not inside it.
    EXPECT_FALSE(fs::exists(sandbox.Path() / "escape.txt"));
    EXPECT_TRUE(fs::is_empty(sandbox.Path() / "local"));
}

} // namespace
