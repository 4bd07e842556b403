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

// The parser would take a NUL for the end of the text and ignore what follows it unseen.
TEST(UserFile, JsonWithANulByteIsRefused) {
    const std::string text("{\"actions\":[]}\n\0{\"hidden\":1}", 29);
    EXPECT_THAT([&] { TUserFile::ParseJson(text, {}); },
                ::testing::ThrowsMessage<EJsonError>(
                    ::testing::StrEq("line 2: malformed JSON: a NUL byte, which no JSON text holds")));
}

} // namespace
} // namespace quillate
