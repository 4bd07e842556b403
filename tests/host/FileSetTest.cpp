#include "host/FileSet.h"

#include "host/Project.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace quillate;
namespace fs = std::filesystem;

namespace {

class FileSets : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() / ("quillate-filesets-" + std::to_string(getpid()));
        fs::remove_all(FDir);
        for (const char* f : {"site/index.html", "site/a.MD", "site/notes.md", "site/sub/b.md",
                              "site/sub/c.txt", "site/tmp/d.md", "site/sub/deeper/e.md"}) {
            fs::create_directories((FDir / f).parent_path());
            std::ofstream(FDir / f) << f;
        }
        // A link back up the tree: followed, recursion would never end.
        fs::create_directory_symlink(FDir / "site", FDir / "site/sub/loop");
    }
    void TearDown() override { fs::remove_all(FDir); }

    fs::path FDir;
};

TEST_F(FileSets, ListMasksRecursionAndExclusionsBelowABaseBesideTheProject) {
    const std::pair<const char*, std::vector<const char*>> cases[] = {
        {R"("include":["*.md"])", {"site/a.MD", "site/notes.md"}},
        {R"("include":["*.md"],"exclude":["tmp", "sub/deeper/*"],"recursive":true)",
         {"site/a.MD", "site/notes.md", "site/sub/b.md"}},
    };
    for (const auto& [settings, files] : cases) {
        std::ofstream(FDir / "p.json")
            << R"({"fileSets":[{"name":"Docs","baseDirectory":"site/",)" << settings << "}]}";
        TProject project = TProject::LoadFromFile((FDir / "p.json").string());
        auto object = GetProjectObjectService().AcquireObject("Docs", FileSetCategory);
        auto set = std::dynamic_pointer_cast<IZRFileSet>(object);
        ASSERT_NE(set, nullptr);
        std::string expected;
        for (const char* file : files)
            expected += (expected.empty() ? "" : "\r\n") + (FDir / file).string();
        EXPECT_EQ(set->GetFileList(), expected) << settings;
        EXPECT_EQ(set->GetBaseDirectory(), (FDir / "site").string());
        EXPECT_EQ(GetProjectObjectService().AcquireObject("Docs", "AnotherCategory"), nullptr);
        GetProjectObjectService().ReleaseObject(object);
    }
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("Docs", FileSetCategory))
        << "the set lives with its project";
}

} // namespace
