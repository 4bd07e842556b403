#include "host/Project.h"

#include "CaseFiles.h"
#include "TestActions.h"
#include "support/ServerProcess.h"

#include <chrono>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

// project.json holds a property of every kind, nested children, a script and the host's settings.
TEST(Project, LoadThenSaveGivesTheSameFileAndLoadedObjectsLiveWithTheirAction) {
    const std::string text = ReadFile("project.json");
    TProject project = TProject::Parse(text, "p.json");
    EXPECT_EQ(project.ToJson(), text);

    // What the round trip cannot show: values reach the fields and every child hears Loaded.
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions.at(0));
    EXPECT_EQ(std::tie(types.FUnsigned, types.FBig, types.FMode),
              std::tuple(4000000000u, 6000000000, tmThird));
    auto& outer = dynamic_cast<TTestChild&>(*types.FChildren.at(0));
    EXPECT_TRUE(outer.FLoaded && dynamic_cast<TTestChild&>(*outer.FChildren.at(0)).FLoaded);
    EXPECT_TRUE(GetProjectObjectService().ObjectExists("first", "TestObject"));
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("first", "testobject"));
    project.Actions.clear();
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("first", "TestObject"));
}

TEST(Project, BadProjectsAreRejectedNamingFilePlaceAndCulprit) {
    for (const TCase& c : ReadBlocks("project-errors.txt"))
        EXPECT_THAT([&] { TProject::Parse(c.Sections.at("project"), "p.json"); },
                    ::testing::ThrowsMessage<EProjectError>(::testing::HasSubstr(c.Sections.at("error"))))
            << c.Where;
}

std::string Repeat(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += text;
    return out;
}

// Generated here, too large to keep as data: trees past the tree limit (256) and JSON past the
// parser's (1024), each named by file and path, a deep path shortened in its middle.
TEST(Project, DeepNestingIsRejectedNamingThePath) {
    auto actions = [](std::size_t levels) {
        return R"({"actions":[)" + Repeat(R"({"type":"test.condition","actions":[)", levels) +
               R"({"type":"test.log"})" + Repeat("]}", levels) + "]}";
    };
    struct TCase {
        std::string Text, Begins, Ends;
    };
    const TCase cases[] = {
        {actions(300), "p.json: actions[0].actions[0].actions[0]", ".actions[0]: nested deeper than 256 levels"},
        {R"({"actions":[{"type":"test.types","children":[)" + Repeat(R"({"type":"test.child","children":[)", 300) +
             Repeat("]}", 300) + "]}]}",
         "p.json: actions[0].children[0].children[0]", ".children[0]: nested deeper than 256 levels"},
        {actions(20000), "p.json: actions[0].actions[0].actions[0]", "...actions[0].actions[0].actions[0]: nested deeper than 1024 levels"},
        {R"({"actions":[{"type":"test.types","properties":{"Lines":)" + Repeat("[", 20000) + Repeat("]", 20000) +
             "}}]}",
         "p.json: actions[0].properties.Lines[0]", "...(1012 levels)...[0][0][0][0][0][0]: nested deeper than 1024 levels"},
    };
    for (const auto& c : cases) {
        try {
            TProject::Parse(c.Text, "p.json");
            ADD_FAILURE() << "no error: " << c.Ends;
        } catch (const EProjectError& e) {
            std::string_view message = e.what();
            EXPECT_TRUE(message.starts_with(c.Begins) && message.ends_with(c.Ends) && message.size() < 300) << message;
        }
    }
}

// What the file reader refuses is tested with it; here: the project's limit is 64 MiB.
TEST(Project, FileLargerThanTheLimitIsNotRead) {
    TTempDir dir("quillate-project");
    const std::string path = (dir.Path() / "huge.json").string();
    std::ofstream(path).put(' ');
    std::filesystem::resize_file(path, 64 * 1024 * 1024 + 1); // sparse: nothing to read if checked first
    EXPECT_THAT([&] { TProject::LoadFromFile(path); },
                ::testing::ThrowsMessage<EProjectError>(
                    ::testing::StrEq(path + ": larger than the limit of 67108864 bytes")));
}

// Many keys in one object once made loading quadratic (minutes for this many).
TEST(Project, ManyVariablesLoadQuicklyInFileOrder) {
    std::string text = R"({"variables":{"V0":"0")";
    for (int i = 1; i < 200000; ++i)
        text += fmt::format(R"(,"V{}":"{}")", i, i);
    text += "}}";
    auto start = std::chrono::steady_clock::now();
    TProject project = TProject::Parse(text, "p.json");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    ASSERT_EQ(project.Variables.size(), 200000u);
    EXPECT_EQ(project.Variables[123456].first + "=" + project.Variables[123456].second, "V123456=123456");
}

} // namespace
