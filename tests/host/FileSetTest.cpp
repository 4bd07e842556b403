#include "host/FileSet.h"

#include "host/Project.h"
#include "support/ServerProcess.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace quillate;
namespace fs = std::filesystem;

namespace {

TEST(FileSets, ListMasksRecursionAndExclusionsBelowABaseBesideTheProject) {
    quillate::testing::TTempDir temp("quillate-filesets");
    const fs::path& dir = temp.Path();
    for (const char* f : {"site/index.html", "site/a.MD", "site/notes.md", "site/sub/b.md", "site/sub/c.txt",
                          "site/tmp/d.md", "site/sub/deeper/e.md"}) {
        fs::create_directories((dir / f).parent_path());
        std::ofstream(dir / f) << f;
    }
    // A link back up the tree: followed, recursion would never end.
    fs::create_directory_symlink(dir / "site", dir / "site/sub/loop");
    const std::pair<const char*, std::vector<const char*>> cases[] = {
        {R"("include":["*.md"])", {"site/a.MD", "site/notes.md"}},
        {R"("include":["*.md"],"exclude":["tmp", "sub/deeper/*"],"recursive":true)",
         {"site/a.MD", "site/notes.md", "site/sub/b.md"}},
    };
    for (const auto& [settings, files] : cases) {
        std::ofstream(dir / "p.json")
            << R"({"fileSets":[{"name":"Docs","baseDirectory":"site/",)" << settings << "}]}";
        TProject project = TProject::LoadFromFile((dir / "p.json").string());
        auto object = GetProjectObjectService().AcquireObject("Docs", FileSetCategory);
        auto set = std::dynamic_pointer_cast<IZRFileSet>(object);
        ASSERT_NE(set, nullptr);
        std::string expected;
        for (const char* file : files)
            expected += (expected.empty() ? "" : "\r\n") + (dir / file).string();
        EXPECT_EQ(set->GetFileList(), expected) << settings;
        EXPECT_EQ(set->GetBaseDirectory(), (dir / "site").string());
        EXPECT_EQ(GetProjectObjectService().AcquireObject("Docs", "AnotherCategory"), nullptr);
        GetProjectObjectService().ReleaseObject(object);
    }
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("Docs", FileSetCategory))
        << "the set lives with its project";
}

} // namespace
