#include "PackageTestSupport.h"
#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPConnection.h"
#include "host/ProjectObjects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using namespace zr;
using ::testing::ElementsAre;

namespace {

// FTP's own rule on top of the network library's masking: any sent line that mentions a password.
TEST(ProtocolLog, EverySentLineMentioningPassIsMasked) {
    TZRIdLogEvent log;
    std::vector<std::string> lines;
    log.OnSent = [&lines](const std::string&, const std::string& line) { lines.push_back(line); };
    for (const char* sent : {"USER bob\r\n", "PASS hunter2\r\n", "SITE PassWord x\r\nNOOP\r\n"})
        log.Sent(sent);
    EXPECT_THAT(lines, ElementsAre("USER bob", "PASS xxx", "PASS xxx", "NOOP"));
}

TEST(FTPConnectAction, CopiesOfAConnectionGetNamesOfTheirOwnUntilTheProjectCloses) {
    EnsurePackageRegistered();
    {
        const nlohmann::json site = {{"type", "action.ftp.connect"},
                                     {"properties", {{"FTPConnectionName", "Site"}}}};
        TProject project = TProject::Parse(nlohmann::json{{"actions", {site, site, site}}}.dump(), "p.json");
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

} // namespace
