#include "PackageTestSupport.h"
#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPObject.h"
#include "host/ProjectObjects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using namespace zr;
using ::testing::ElementsAre;

namespace {

struct TSplitCase {
    std::vector<std::string> Chunks;
    std::vector<std::string> Lines;
};

class ProtocolLogSplit : public ::testing::TestWithParam<TSplitCase> {};

// Received chunks become whole lines, however the network cut them.
TEST_P(ProtocolLogSplit, ReceivedChunksBecomeWholeLines) {
    TZRIdLogEvent log;
    std::vector<std::string> lines;
    log.OnReceived = [&lines](const std::string&, const std::string& line) { lines.push_back(line); };
    for (const auto& chunk : GetParam().Chunks)
        log.Received(chunk);
    log.Status(net::TConnectionStatus::csDisconnected, "closed");
    EXPECT_EQ(lines, GetParam().Lines);
}

INSTANTIATE_TEST_SUITE_P(Lines, ProtocolLogSplit,
                         ::testing::Values(TSplitCase{{"220 a\r\n230 b\r\n"}, {"220 a", "230 b"}},
                                           TSplitCase{{""}, {}}, TSplitCase{{"no end"}, {"no end"}},
                                           TSplitCase{{"a\rb\r\n"}, {"a", "b"}},
                                           TSplitCase{{"a\r\n\r\nb\r\n"}, {"a", "", "b"}},
                                           TSplitCase{{"a\nb\r\n"}, {"a\nb"}},
                                           TSplitCase{{"211-Feat", "ures:\r\n MDTM\r", "\n211 End\r\n"},
                                                      {"211-Features:", " MDTM", "211 End"}}));

TEST(ProtocolLog, EverySentLineMentioningPassIsMasked) {
    TZRIdLogEvent log;
    std::vector<std::string> lines;
    log.OnSent = [&lines](const std::string&, const std::string& line) { lines.push_back(line); };
    for (const char* sent : {"USER bob\r\n", "PASS hunter2\r\n", "SITE PassWord x\r\nNOOP\r\n"})
        log.Sent(sent);
    EXPECT_THAT(lines, ElementsAre("USER bob", "PASS xxx", "PASS xxx", "NOOP"));
}

std::string ConnectAction(const std::string& name) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":")" + name + R"("}})";
}

TEST(FTPConnectAction, CopiesOfAConnectionGetNamesOfTheirOwnUntilTheProjectCloses) {
    EnsurePackageRegistered();
    {
        TProject project = TProject::Parse(R"({"actions":[)" + ConnectAction("Site") + "," +
                                               ConnectAction("Site") + "," + ConnectAction("Site") + "]}",
                                           "p.json");
        std::vector<std::string> names;
        for (const auto& a : project.Actions)
            names.push_back(std::dynamic_pointer_cast<TFTPConnectionAction>(a)->GetConnectionName());
        EXPECT_THAT(names, ElementsAre("Site", "Copy of Site", "Copy of Copy of Site"));
        EXPECT_TRUE(GetProjectObjectService().ObjectExists("Copy of Site", FTPConnectionCategory));

        auto& first = dynamic_cast<TFTPConnectionAction&>(*project.Actions[0]);
        first.SetConnectionName("");
        EXPECT_EQ(first.GetConnectionName(), "Site");
        TValidationErrors errors;
        EXPECT_TRUE(first.Validate(errors));
    }
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("Site", FTPConnectionCategory));
}

TEST(FTPActions, UnknownConnectionsFileSetsAndClosedConnectionsFail) {
    TPackageRun run;
    auto lines = run.Run(R"({"fileSets":[{"name":"Docs"}],"actions":[
        {"type":"action.ftp.connect","ignoreFailure":true,"properties":{"FTPConnectionName":"Site"}},
        {"type":"action.ftp.disconnect","ignoreFailure":true,"properties":{"ConnectionName":"Nope"}},
        {"type":"action.ftp.disconnect","ignoreFailure":true,"properties":{"ConnectionName":"Docs"}},
        {"type":"action.ftp.connection.check","ignoreFailure":true,"properties":{"ConnectionName":"Docs"}},
        {"type":"action.ftp.disconnect","ignoreFailure":true},
        {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    // The connect itself fails (no host), then each later action reports its own reason.
    EXPECT_THAT(lines, ::testing::IsSupersetOf({std::string("Hostname: a value is required"),
                                                std::string("Connection object not found: Nope"),
                                                std::string("Connection object not found: Docs"),
                                                std::string("Connection name is not set"),
                                                std::string("Not connected")}));
    EXPECT_EQ(run.Outstanding, 0);
}

} // namespace
