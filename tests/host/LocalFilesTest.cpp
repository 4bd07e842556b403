// Local files: their CRC, temporary files, the reader of files a user names, and the folder that
// writes and removes files without following links.
#include "host/FileInfo.h"
#include "host/LocalFolder.h"
#include "host/UserFile.h"
#include "support/ServerProcess.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace quillate {
namespace {

namespace fs = std::filesystem;
using quillate::testing::ReadTextFile;
using quillate::testing::WriteTextFile;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

class LocalFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Root);
        fs::create_directories(Outside);
        WriteTextFile(Outside / "x", "outside");
    }

    // Every entry below a folder, links shown as links, sorted.
    static std::vector<std::string> Entries(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(folder))
            names.push_back(e.path().lexically_relative(folder).string() + (e.is_symlink() ? " ->" : ""));
        std::sort(names.begin(), names.end());
        return names;
    }

    static void Put(TLocalFileWriter& file, const std::string& bytes) {
        ASSERT_EQ(::write(file.Descriptor(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    quillate::testing::TTempDir FTemp{"quillate-localfiles"};
    fs::path FFolder = FTemp.Path(), Root = FFolder / "root", Outside = FFolder / "outside";
    quillate::testing::TScopedEnvironment FTmpDir{"TMPDIR", std::getenv("TMPDIR")};
};
using FileInfoTest = LocalFilesTest;
using LocalFolderTest = LocalFilesTest;

TEST_F(FileInfoTest, CrcMatchesZlibAndXcrc) {
    const std::string large = testing::RandomBytes(3 * 256 * 1024 + 12345, 42);
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
                    ThrowsMessage<EFileInfoError>(::testing::HasSubstr(unreadable.string())));
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
                ThrowsMessage<EFileInfoError>(::testing::HasSubstr((FFolder / "absent").string())))
        << "a file in a missing folder";
}

// A NUL would end the text for the parser, which would ignore what follows it unseen.
TEST_F(FileInfoTest, UserFilesAreReadOnlyWhenRegularWithinTheLimitAndWithoutNulInJson) {
    const fs::path fifo = FFolder / "fifo", over = FFolder / "over", fits = FFolder / "fits";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    WriteTextFile(over, std::string(1001, 'x'));
    WriteTextFile(fits, std::string(1000, 'x'));
    const std::pair<fs::path, std::string> cases[] = {
        {FFolder, "not a file"},
        {"/dev/zero", "not a file"},
        {fifo, "not a file"}, // never waits for a writer
        {over, "larger than the limit of 1000 bytes"},
        {FFolder / "none", "cannot open the file: No such file or directory"},
    };
    for (const auto& [path, error] : cases)
        EXPECT_THAT([&] { TUserFile::Read(path, 1000); }, ThrowsMessage<EUserFileError>(StrEq(error)))
            << path;
    EXPECT_EQ(TUserFile::Read(fits, 1000).size(), 1000u);
    const std::string text("{\"actions\":[]}\n\0{\"hidden\":1}", 29);
    EXPECT_THAT(
        [&] { TUserFile::ParseJson(text, {}); },
        ThrowsMessage<EJsonError>(StrEq("line 2: malformed JSON: a NUL byte, which no JSON text holds")));
}

// A run knows its own temporaries again, and takes no name a user would give a file for one.
TEST(TemporaryName, IsKnownAgainAndNoOtherNameIs) {
    using namespace std::string_literals;
    for (const std::string& leaf : {"a.txt"s, std::string(300, 'x'), ".quillate-abcdefgh.part"s})
        EXPECT_TRUE(IsTemporaryName(TemporaryName(leaf))) << leaf;
    for (const std::string& name :
         {"a.txt"s, ".a.txt.part"s, ".a.txt.abcdefgh.part"s, "a.txt.quillate-abcdefgh.part"s,
          ".a.txt.quillate-abcdefg.part"s, ".a.txt.quillate-abcDefgh.part"s, ".quillate-abcdefgh.part"s,
          "." + std::string(201, 'x') + ".quillate-abcdefgh.part"})
        EXPECT_FALSE(IsTemporaryName(name)) << name;
}

TEST_F(LocalFolderTest, AWriteReplacesOnlyWhenCommittedAndAppendsInPlace) {
    WriteTextFile(Root / "f", "old");
    TLocalFolder folder(Root.string());
    {
        TLocalFileWriter file = folder.Write("f", lwmReplace);
        Put(file, "new");
        EXPECT_EQ(ReadTextFile(Root / "f"), "old") << "nothing under the final name before the commit";
    }
    EXPECT_EQ(ReadTextFile(Root / "f"), "old");
    EXPECT_EQ(Entries(Root), std::vector<std::string>{"f"}) << "the file beside is removed";
    {
        TLocalFileWriter file = folder.Write("f", lwmReplace);
        Put(file, "new");
        file.Commit();
    }
    EXPECT_EQ(ReadTextFile(Root / "f"), "new");
    EXPECT_THROW(folder.Write("f", lwmNew), ELocalFolderError);
    {
        TLocalFileWriter file = folder.Write("f", lwmAppend);
        EXPECT_EQ(file.Offset(), 3);
        Put(file, "er");
        file.Commit();
    }
    EXPECT_EQ(ReadTextFile(Root / "f"), "newer");
    EXPECT_EQ(Entries(Root), std::vector<std::string>{"f"});
}

// Every operation refuses a path through a link or ending in one (but removal, which removes the link),
// and refuses to leave the folder by name.
TEST_F(LocalFolderTest, NoOperationFollowsALinkOrLeavesTheFolder) {
    fs::create_directory_symlink(Outside, Root / "dir");
    fs::create_symlink(Outside / "x", Root / "file");
    TLocalFolder folder(Root.string());
    const std::vector<std::pair<std::string, std::function<void()>>> operations = {
        {"write through a folder link", [&] { folder.Write("dir/x", lwmReplace).Commit(); }},
        {"append through a folder link", [&] { folder.Write("dir/x", lwmAppend).Commit(); }},
        {"replace a file link", [&] { folder.Write("file", lwmReplace).Commit(); }},
        {"append to a file link", [&] { folder.Write("file", lwmAppend).Commit(); }},
        {"make a folder through a link", [&] { folder.MakeFolders("dir/sub"); }},
        {"make a folder over a link", [&] { folder.MakeFolders("dir"); }},
        {"remove through a link", [&] { folder.Remove("dir/x"); }},
        {"remove a tree through a link", [&] { folder.RemoveTree("dir/x"); }},
        {"date through a link", [&] { folder.SetModificationTime("dir/x", {}); }},
    };
    for (const auto& [what, operation] : operations)
        EXPECT_THROW(operation(), ELocalLinkError) << what;
    for (std::string path : {"../outside/x", "a/../../outside/x", "", "./x", "a//x"})
        EXPECT_THROW(folder.Write(path, lwmReplace), ELocalFolderError) << path;
    EXPECT_EQ(Entries(Outside), std::vector<std::string>{"x"});
    EXPECT_EQ(ReadTextFile(Outside / "x"), "outside");
    folder.RemoveTree("dir");
    folder.Remove("file");
    EXPECT_TRUE(Entries(Root).empty());
    EXPECT_EQ(ReadTextFile(Outside / "x"), "outside");
}

TEST_F(LocalFolderTest, AFolderSwappedForALinkIsNeverFollowed) {
    TLocalFolder folder(Root.string());
    folder.MakeFolders("d/e");
    // Between two calls: the second walk meets the link and refuses it.
    fs::rename(Root / "d", Root / "d.old");
    fs::create_directory_symlink(Outside, Root / "d");
    EXPECT_THROW(folder.Write("d/x", lwmReplace), ELocalLinkError);
    EXPECT_THROW(folder.MakeFolders("d/e"), ELocalLinkError);
    // During a write: the file lands in the folder it was opened in, never behind the new link.
    fs::remove(Root / "d");
    fs::rename(Root / "d.old", Root / "d");
    TLocalFileWriter file = folder.Write("d/e/x", lwmReplace);
    fs::rename(Root / "d", Root / "d.old");
    fs::create_directory_symlink(Outside, Root / "d");
    Put(file, "mine");
    file.Commit();
    EXPECT_EQ(ReadTextFile(Root / "d.old/e/x"), "mine");
    EXPECT_EQ(ReadTextFile(Outside / "x"), "outside");
    // A tree holding a link loses the link, never what it points to.
    fs::create_directory_symlink(Outside, Root / "d.old/e/link");
    folder.RemoveTree("d.old");
    EXPECT_EQ(Entries(Root), std::vector<std::string>{"d ->"});
    EXPECT_EQ(Entries(Outside), std::vector<std::string>{"x"});
}

} // namespace
} // namespace quillate
