#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestActions.h"
#include "host/Project.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::HasSubstr;

namespace {

const char* const FullProject = R"({
  "variables": {
    "Site": "127.0.0.1",
    "Dir": "/pub"
  },
  "fileSets": [
    {
      "name": "Docs",
      "baseDirectory": "docs",
      "include": [
        "*.md"
      ],
      "exclude": [],
      "recursive": true
    }
  ],
  "actions": [
    {
      "type": "test.types",
      "description": "every kind",
      "ignoreFailure": true,
      "properties": {
        "Name": "first",
        "Flag": false,
        "Count": -7,
        "Unsigned": 4000000000,
        "Big": 6000000000,
        "Ratio": 2.25,
        "Mode": "tmThird",
        "Lines": [
          "a",
          "b"
        ],
        "ResultVariable": "Out"
      },
      "children": [
        {
          "type": "test.child",
          "properties": {
            "Name": "outer"
          },
          "children": [
            {
              "type": "test.child",
              "properties": {
                "Count": 3
              }
            }
          ]
        }
      ],
      "scripts": {
        "OnRun": "Count = 1"
      }
    },
    {
      "type": "test.condition",
      "enabled": false,
      "actions": [
        {
          "type": "test.log",
          "properties": {
            "Text": "%Site%"
          }
        }
      ]
    }
  ]
}
)";

std::string LoadError(const std::string& text) {
    try {
        TProject::Parse(text, "p.json");
    } catch (const EProjectError& e) {
        return e.what();
    }
    return "(loaded)";
}

TEST(Project, LoadThenSaveGivesTheSameFile) {
    TProject project = TProject::Parse(FullProject, "p.json");
    EXPECT_EQ(project.ToJson(), FullProject);
    EXPECT_EQ(TProject::Parse(project.ToJson(), "again.json").ToJson(), FullProject);
}

TEST(Project, PropertiesChildrenAndHostSettingsAreRead) {
    TProject project = TProject::Parse(FullProject, "p.json");
    ASSERT_EQ(project.Actions.size(), 2u);
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions[0]);
    EXPECT_EQ(types.FCount, -7);
    EXPECT_EQ(types.FUnsigned, 4000000000u);
    EXPECT_EQ(types.FBig, 6000000000);
    EXPECT_EQ(types.FMode, tmThird);
    EXPECT_EQ(types.FLines, (TStringList{"a", "b"}));
    EXPECT_TRUE(types.FLoadedCalled);
    EXPECT_TRUE(types.IgnoreFailure());
    EXPECT_EQ(types.GetFormattedDescription(), "every kind");
    ASSERT_EQ(types.FChildren.size(), 1u);
    auto& outer = dynamic_cast<TTestChild&>(*types.FChildren[0]);
    EXPECT_TRUE(outer.FLoaded);
    ASSERT_EQ(outer.FChildren.size(), 1u);
    EXPECT_EQ(dynamic_cast<TTestChild&>(*outer.FChildren[0]).FCount, 3);
    ASSERT_NE(types.GetScriptByName("OnRun"), nullptr);
    EXPECT_EQ(*types.GetScriptByName("OnRun"), "Count = 1");
    EXPECT_FALSE(project.Actions[1]->Enabled());
    EXPECT_EQ(project.Actions[1]->ChildActions().size(), 1u);
    ASSERT_EQ(project.FileSets.size(), 1u);
    EXPECT_TRUE(project.FileSets[0].Recursive);
}

TEST(Project, LoadedRegistersProjectObjectsUntilTheActionIsGone) {
    {
        TProject project = TProject::Parse(FullProject, "p.json");
        EXPECT_TRUE(GetProjectObjectService().ObjectExists("first", "TestObject"));
        EXPECT_FALSE(GetProjectObjectService().ObjectExists("first", "testobject"));
    }
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("first", "TestObject"));
}

struct TBadProject {
    const char* Json;
    const char* Expected;
};

class ProjectRejects : public ::testing::TestWithParam<TBadProject> {};

TEST_P(ProjectRejects, NamesFilePositionAndCulprit) {
    EXPECT_THAT(LoadError(GetParam().Json), HasSubstr(GetParam().Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ProjectRejects,
    ::testing::Values(
        TBadProject{R"({"actions":[{"type":"test.log"},{"type":"action.nope"}]})",
                    "p.json: actions[1]: unknown action type \"action.nope\""},
        TBadProject{R"({"actions":[{"type":"test.log","properties":{"Txt":"a"}}]})",
                    "p.json: actions[0] (test.log): TTestLogAction has no property \"Txt\""},
        TBadProject{R"({"actions":[{"type":"test.log","properties":{"Tag":"two"}}]})",
                    "p.json: actions[0] (test.log): property \"Tag\": expects an integer, got a string"},
        TBadProject{R"({"actions":[{"type":"test.log","properties":{"Tag":3000000000}}]})",
                    "property \"Tag\": 3000000000 is out of range"},
        TBadProject{R"({"actions":[{"type":"test.types","properties":{"Unsigned":-1}}]})",
                    "property \"Unsigned\": -1 is out of range"},
        TBadProject{R"({"actions":[{"type":"test.types","properties":{"Mode":"tmFourth"}}]})",
                    "property \"Mode\": \"tmFourth\" is not one of tmFirst, tmSecond, tmThird"},
        TBadProject{R"({"actions":[{"type":"test.types","properties":{"Lines":["a",1]}}]})",
                    "property \"Lines\": expects an array of strings"},
        TBadProject{R"({"actions":[{"type":"test.condition","actions":[{"type":"test.log","children":[{"type":"x"}]}]}]})",
                    "p.json: actions[0].actions[0].children[0]: unknown type \"x\""},
        TBadProject{R"({"actions":[{"type":"test.types","scripts":{"OnSend":""}}]})",
                    "TTestTypesAction has no script event \"OnSend\""},
        TBadProject{R"({"actions":[{"type":"test.log","colour":"red"}]})", "actions[0]: unknown key \"colour\""},
        TBadProject{R"({"actions":[{"properties":{}}]})", "actions[0]: missing \"type\""},
        TBadProject{R"({"variables":{"a b":"1"}})", "\"a b\" is not a valid variable name"},
        TBadProject{R"({"actionz":[]})", "top level: unknown key \"actionz\""},
        TBadProject{"{\n  \"actions\": [\n    {\"type\": \"test.log\",}\n  ]\n}", "p.json: line 3: malformed JSON"}));

} // namespace
