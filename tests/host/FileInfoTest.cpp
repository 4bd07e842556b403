#include "host/FileInfo.h"

#include "support/ServerProcess.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace quillate {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

class FileInfoTest : public ::testing::Test {
protected:
    quillate::testing::TTempDir FTemp{"quillate-fileinfo"};
    fs::path FFolder = FTemp.Path();
    quillate::testing::TScopedEnvironment FTmpDir{"TMPDIR", std::getenv("TMPDIR")};
};

TEST_F(FileInfoTest, CrcMatchesZlibAndXcrc) {
    std::mt19937 random(42);
    std::string large(3 * 256 * 1024 + 12345, '\0');
    for (auto& c : large)
        c = static_cast<char>(random());
    uLong largeCrc = crc32(0, reinterpret_cast<const Bytef*>(large.data()), static_cast<uInt>(large.size()));
    const std::pair<std::string, std::string> cases[] = {
        {"", "0"},
        {"123456789", "3421780262"}, // the standard check value; above 2^31, so the text must be unsigned
        {large, std::to_string(largeCrc)}, // several buffers and a partial last read
    };
    for (const auto& [bytes, expected] : cases) {
        std::ofstream(FFolder / "data", std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(TFileInfo::GetFileCRC(FFolder / "data"), expected) << bytes.size() << " bytes";
    }
    for (const fs::path& unreadable : {FFolder / "missing", FFolder})
        EXPECT_THAT([&] { TFileInfo::GetFileCRC(unreadable); },
                    ThrowsMessage<EFileInfoError>(HasSubstr(unreadable.string())));
}

TEST_F(FileInfoTest, CrcOfSparseFileBeyond4GiB_Slow) {
    const fs::path file = FFolder / "sparse.bin";
    // 5 GiB of zeros with bytes on both sides of 4 GiB, where a 32-bit length or offset would wrap;
    // the CRC is Python's zlib.crc32 of the same bytes.
    const std::pair<std::int64_t, char> marks[] = {
        {0, 'A'}, {(4LL << 30) - 1, 'B'}, {4LL << 30, 'C'}, {(5LL << 30) - 1, 'D'}};
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5LL << 30), 0);
    for (const auto& [offset, byte] : marks)
        ASSERT_EQ(::pwrite(fd, &byte, 1, offset), 1);
    ::close(fd);
    EXPECT_EQ(TFileInfo::GetFileCRC(file), "941074596");
}

TEST_F(FileInfoTest, TemporaryFilesAreNewAndUniqueAcrossThreadsInTmpDirOrTmp) {
    FTmpDir.Set(FFolder.c_str());
    std::mutex lock;
    std::set<fs::path> paths;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                fs::path p = TFileInfo::GetTemporaryFileName("qt");
                std::lock_guard guard(lock);
                paths.insert(p);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(paths.size(), 400u);
    for (const fs::path& p : paths) {
        EXPECT_EQ(p.parent_path(), FFolder);
        EXPECT_TRUE(p.filename().string().starts_with("qt")) << p;
        EXPECT_TRUE(fs::is_regular_file(p) && fs::file_size(p) == 0) << p;
    }

    FTmpDir.Set("");
    fs::path p = TFileInfo::GetTemporaryFileName("quillate-test-");
    EXPECT_EQ(p.parent_path(), fs::path("/tmp")) << "an empty TMPDIR counts as none";
    fs::remove(p);
    EXPECT_THROW(TFileInfo::GetTemporaryFileName("sub/x"), EFileInfoError);
    FTmpDir.Set((FFolder / "absent").c_str());
    EXPECT_THAT([] { TFileInfo::GetTemporaryFileName("qt"); },
                ThrowsMessage<EFileInfoError>(HasSubstr((FFolder / "absent").string())))
        << "a file in a missing folder";
}

} // namespace
} // namespace quillate
