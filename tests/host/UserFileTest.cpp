#include "host/UserFile.h"
#include "support/ServerProcess.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace quillate {
namespace {

namespace fs = std::filesystem;

TEST(UserFile, ReadsOnlyARegularFileWithinTheLimit) {
    testing::TTempDir dir("quillate-userfile");
    const fs::path fifo = dir.Path() / "fifo", over = dir.Path() / "over", fits = dir.Path() / "fits";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testing::WriteTextFile(over, std::string(1001, 'x'));
    testing::WriteTextFile(fits, std::string(1000, 'x'));
    const std::pair<fs::path, std::string> cases[] = {
        {dir.Path(), "not a file"},
        {"/dev/zero", "not a file"},
        {fifo, "not a file"}, // never waits for a writer
        {over, "larger than the limit of 1000 bytes"},
        {dir.Path() / "none", "cannot open the file: No such file or directory"},
    };
    for (const auto& [path, error] : cases)
        EXPECT_THAT([&] { TUserFile::Read(path, 1000); },
                    ::testing::ThrowsMessage<EUserFileError>(::testing::StrEq(error)))
            << path;
    EXPECT_EQ(TUserFile::Read(fits, 1000).size(), 1000u);
}

} // namespace
} // namespace quillate
