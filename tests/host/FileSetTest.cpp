#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/FileSet.h"
#include "host/Project.h"

using namespace quillate;
namespace fs = std::filesystem;

namespace {

class FileSets : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() / ("quillate-filesets-" + std::to_string(getpid()));
        fs::remove_all(FDir);
        for (const char* f : {"site/index.html", "site/a.MD", "site/notes.md", "site/sub/b.md", "site/sub/c.txt",
                              "site/tmp/d.md", "site/sub/deeper/e.md"}) {
            fs::create_directories((FDir / f).parent_path());
            std::ofstream(FDir / f) << f;
        }
        fs::create_directory_symlink(FDir / "site", FDir / "site/sub/loop");
    }
    void TearDown() override { fs::remove_all(FDir); }

    std::string Lines(const std::string& json) {
        std::ofstream(FDir / "p.json") << json;
        TProject project = TProject::LoadFromFile((FDir / "p.json").string());
        auto object = GetProjectObjectService().AcquireObject("Docs", FileSetCategory);
        EXPECT_NE(object, nullptr);
        auto set = std::dynamic_pointer_cast<IZRFileSet>(object);
        std::string list = set ? set->GetFileList() : "";
        GetProjectObjectService().ReleaseObject(object);
        return list;
    }
    std::string P(const char* relative) { return (FDir / relative).string(); }

    fs::path FDir;
};

TEST_F(FileSets, MasksRecursionAndExclusions) {
    EXPECT_EQ(Lines(R"({"fileSets":[{"name":"Docs","baseDirectory":"site","include":["*.md"]}]})"),
              P("site/a.MD") + "\r\n" + P("site/notes.md"));
    EXPECT_EQ(Lines(R"({"fileSets":[{"name":"Docs","baseDirectory":"site","include":["*.md"],
                        "exclude":["tmp", "sub/deeper/*"],"recursive":true}]})"),
              P("site/a.MD") + "\r\n" + P("site/notes.md") + "\r\n" + P("site/sub/b.md"));
}

TEST_F(FileSets, BaseIsRelativeToTheProjectAndLivesWithIt) {
    {
        std::ofstream(FDir / "p.json") << R"({"fileSets":[{"name":"Docs","baseDirectory":"site/"}]})";
        TProject project = TProject::LoadFromFile((FDir / "p.json").string());
        auto object = GetProjectObjectService().AcquireObject("Docs", FileSetCategory);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(std::dynamic_pointer_cast<IZRFileSet>(object)->GetBaseDirectory(), P("site"));
        EXPECT_EQ(GetProjectObjectService().AcquireObject("Docs", "AnotherCategory"), nullptr);
        GetProjectObjectService().ReleaseObject(object);
    }
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("Docs", FileSetCategory));
}

TEST_F(FileSets, DuplicateNamesAreAProjectError) {
    EXPECT_THROW(TProject::Parse(R"({"fileSets":[{"name":"A"},{"name":"A"}]})", "p.json"), EProjectError);
}

} // namespace
