#include "host/LocalFolder.h"

#include "support/ServerProcess.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace quillate {
namespace {

namespace fs = std::filesystem;
using quillate::testing::ReadTextFile;
using quillate::testing::WriteTextFile;

class LocalFolderTest : public ::testing::Test {
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

    quillate::testing::TTempDir Temp{"quillate-localfolder"};
    fs::path Root = Temp.Path() / "root";
    fs::path Outside = Temp.Path() / "outside";
};

// A run knows its own temporaries again, and takes no name a user would give a file for one.
TEST(TemporaryName, IsKnownAgainAndNoOtherNameIs) {
    for (const std::string& leaf :
         {std::string("a.txt"), std::string(300, 'x'), std::string(".quillate-abcdefgh.part")})
        EXPECT_TRUE(IsTemporaryName(TemporaryName(leaf))) << leaf;
    for (const std::string& name :
         {std::string("a.txt"), std::string(".a.txt.part"), std::string(".a.txt.abcdefgh.part"),
          std::string("a.txt.quillate-abcdefgh.part"), std::string(".a.txt.quillate-abcdefg.part"),
          std::string(".a.txt.quillate-abcDefgh.part"), std::string(".quillate-abcdefgh.part"),
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
