#include "host/Project.h"

#include "CaseFiles.h"
#include "TestActions.h"

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

} // namespace
