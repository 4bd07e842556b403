// "FTP Upload" without a server: size texts, the throttle speed's floor and validation.
#include "ftp/ZRFTPUploadFileAction.h"

#include <gtest/gtest.h>

using namespace quillate;
using zr::TFTPUploadFileAction;

namespace {

TEST(FTPUploadUnit, SizesAreWholeUnitsAboveEachBoundary) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0 bytes"},          {1024, "1024 bytes"}, {1025, "1 KB"},
        {1536, "1 KB"},          {1048576, "1024 KB"}, {1048577, "1 MB"},
        {1073741824, "1024 MB"}, {1073741825, "1 GB"}, {5LL << 40, "5120 GB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(TFTPUploadFileAction::SizeInUnits(bytes), text) << bytes;
}

TEST(FTPUploadUnit, ThrottleSpeedNeverGoesBelowFour) {
    TFTPUploadFileAction action;
    for (auto [value, stored] : {std::pair{1, 4}, {4, 4}, {-20, 4}, {5, 5}, {512, 512}}) {
        action.SetPropertyValue("ThrottleSpeed", std::int64_t{value});
        EXPECT_EQ(action.GetThrottleSpeed(), stored) << value;
    }
}

// Its description, which names the file set in place of the mask, shows in the cases of tests/data/ftp.
TEST(FTPUploadUnit, WithoutAFileSpecAFileSetIsRequired) {
    TFTPUploadFileAction action;
    action.SetPropertyValue("UseFileSpec", false);
    action.SetPropertyValue("FileSetName", std::string("Docs"));
    TValidationErrors errors;
    EXPECT_TRUE(action.Validate(errors));
    EXPECT_TRUE(errors.empty());
    action.SetPropertyValue("FileSetName", std::string());
    EXPECT_FALSE(action.Validate(errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Property + ": " + errors[0].Message, "File Set: A File Set must be specified");
}

} // namespace
