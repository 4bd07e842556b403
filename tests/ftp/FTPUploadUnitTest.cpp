// "FTP Upload" without a server: size texts, totals, the stored properties and validation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ZRFTPUploadFileAction.h"

using namespace quillate;
using zr::TFTPUploadFileAction;

namespace {

TEST(FTPUploadUnit, SizesAreWholeUnitsAboveEachBoundary) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0 bytes"},           {1024, "1024 bytes"},          {1025, "1 KB"},
        {1536, "1 KB"},           {1048576, "1024 KB"},          {1048577, "1 MB"},
        {1073741824, "1024 MB"},  {1073741825, "1 GB"},          {5LL << 40, "5120 GB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(TFTPUploadFileAction::SizeInUnits(bytes), text) << bytes;
}

TEST(FTPUploadUnit, FoldersAddNothingToTheTotal) {
    zr::TFTPItem file, folder;
    file.ItemType = zr::itLocalFile;
    file.Size = 1500;
    folder.ItemType = zr::itLocalDir;
    folder.Size = 4096;
    EXPECT_EQ(TFTPUploadFileAction::GetTotalUploadSize({file, folder, file}), 3000);
    EXPECT_EQ(TFTPUploadFileAction::GetTotalUploadSize({}), 0);
}

// The stored names, their order and the values a new action starts with are the project format.
TEST(FTPUploadUnit, PublishedPropertiesAndTheirInitialValues) {
    TFTPUploadFileAction action;
    std::vector<std::string> shown;
    for (const auto& info : action.Properties().Properties())
        shown.push_back(info.Name + "=" + PropertyValueToText(info, info.Get(action)));
    EXPECT_THAT(shown, ::testing::ElementsAre(
                           "ConnectionName=", "AutoReConnect=false", "DetailedLogging=false", "LocalDir=",
                           "FileSpec=", "RemoteFile=", "CheckFileSizes=false", "Recursive=false",
                           "RetryIfUploadFails=false", "UpdateOnly=false", "ServerClockSkew=0", "AutoUpdateSkew=true",
                           "ForceNextClockSkewUpdate=true", "AllowGap=true", "GapLength=5", "ThrottleUpload=false",
                           "ThrottleSpeed=128", "EnableTimeout=false", "TimeoutLength=10", "UseFileSpec=true",
                           "FileSetName="));
    EXPECT_EQ(TFTPUploadFileAction::ClassInfo().StoredType(), "action.ftp.upload.file");
    EXPECT_EQ(action.GetActionName(), "FTP Upload");
}

TEST(FTPUploadUnit, ThrottleSpeedNeverGoesBelowFour) {
    TFTPUploadFileAction action;
    for (auto [value, stored] : {std::pair{1, 4}, {4, 4}, {-20, 4}, {5, 5}, {512, 512}}) {
        action.SetPropertyValue("ThrottleSpeed", std::int64_t{value});
        EXPECT_EQ(action.GetThrottleSpeed(), stored) << value;
    }
}

TEST(FTPUploadUnit, DescriptionAndValidationFollowTheSourceOfFiles) {
    TFTPUploadFileAction action;
    action.SetPropertyValue("ConnectionName", std::string("Site"));
    action.SetPropertyValue("FileSpec", std::string("*.txt"));
    action.SetPropertyValue("FileSetName", std::string("Docs"));
    TValidationErrors errors;
    EXPECT_EQ(action.GetFormattedDescription(), "FTP Upload [ Site ] [ *.txt ]");
    EXPECT_TRUE(action.Validate(errors));

    action.SetPropertyValue("UseFileSpec", false);
    EXPECT_EQ(action.GetFormattedDescription(), "FTP Upload [ Site ] [ Docs ]");
    EXPECT_TRUE(action.Validate(errors));
    EXPECT_TRUE(errors.empty());

    action.SetPropertyValue("FileSetName", std::string());
    EXPECT_FALSE(action.Validate(errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Property, "File Set");
    EXPECT_EQ(errors[0].Message, "A File Set must be specified");
}

} // namespace
