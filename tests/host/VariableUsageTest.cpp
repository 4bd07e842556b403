#include "host/VariableUsage.h"

#include "TestActions.h"
#include "host/CryptoUtils.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

const char* const CookieKey = "t3stk3y4cook1";

// References in every form and place: a property, a list's lines, a stored password, a stored child,
// a child action, a variable an action sets; with "%%", "$$(" and names that begin with another.
TProject Sample() {
    return TProject::Parse(
        fmt::format(R"json({{"variables": {{"Host": "h", "HostName": "n", "Pct": "p", "Idle": "i"}},
 "actions": [
  {{"type": "test.log", "properties": {{"Text": "to %Host% and $(HostName), 100%% and $$(Host) %Pct%",
    "Label": "%Missing%", "ResultVariable": "Out"}}}},
  {{"type": "test.condition", "description": "Host check", "actions": [
    {{"type": "test.types", "properties": {{"Name": "%Out%", "Lines": ["a $(Host)", "%Hostx%"], "Cookie": "{}"}},
     "children": [{{"type": "test.child", "properties": {{"Name": "$(Inner) Host"}}}}]}}]}}]}})json",
                    TCryptoUtils::EncryptString("%Host%", CookieKey)),
        "sample.json");
}

// "0:Text" for the first action's Text, "1.0:Lines" for the first child action of the second.
std::string Place(const TProject& project, const TTextLocation& where) {
    std::function<std::string(const std::vector<std::shared_ptr<TZRAction>>&, const std::string&)> find =
        [&](const auto& actions, const std::string& prefix) -> std::string {
        for (std::size_t i = 0; i < actions.size(); ++i) {
            std::string path = prefix + std::to_string(i);
            if (actions[i].get() == where.Action)
                return path + ":" + where.Property;
            if (auto inner = find(actions[i]->ChildActions(), path + "."); !inner.empty())
                return inner;
        }
        return {};
    };
    return find(project.Actions, "");
}

std::vector<std::string> Places(const TProject& project, const std::vector<TTextLocation>& where) {
    std::vector<std::string> out;
    for (const auto& w : where)
        out.push_back(Place(project, w));
    return out;
}

TEST(VariableUsage, UsesUnusedAndUndefinedAreFoundInEveryText) {
    TProject project = Sample();
    TVariableReport report = FindVariableUses(project);
    const std::map<std::string, std::vector<std::string>> uses{
        {"Host", {"0:Text", "1.0:Lines", "1.0:Cookie"}},
        {"HostName", {"0:Text"}},
        {"Pct", {"0:Text"}},
        {"Idle", {}},
        {"Missing", {"0:Label"}},
        {"Out", {"0:ResultVariable", "1.0:Name"}},
        {"Hostx", {"1.0:Lines"}},
        {"Inner", {"1.0:children[0].Name"}},
    };
    std::map<std::string, std::vector<std::string>> found;
    for (const auto& [name, where] : report.Uses)
        found[name] = Places(project, where);
    EXPECT_EQ(found, uses);
    EXPECT_EQ(report.Unused, std::vector<std::string>{"Idle"});
    std::vector<std::string> undefined;
    for (const auto& [name, where] : report.Undefined)
        undefined.push_back(name + "@" + Place(project, where));
    EXPECT_EQ(undefined,
              (std::vector<std::string>{"Missing@0:Label", "Hostx@1.0:Lines", "Inner@1.0:children[0].Name"}));
}

TEST(VariableUsage, RenameRewritesEachReferenceInItsOwnFormOnly) {
    struct {
        std::string Text, Old, New, Expected;
        int Count;
    } rows[] = {
        {"%A% $(A) %%A%% $$(A) %AB% $(AB) %a%", "A", "X", "%X% $(X) %%A%% $$(A) %AB% $(AB) %a%", 2},
        {"50% of %A%% done", "A", "B.c", "50% of %B.c%% done", 1},
        {"%%%A%", "A", "X", "%%%X%", 1},
        {"$(A %A", "A", "X", "$(A %A", 0},
    };
    for (auto& row : rows) {
        std::string text = row.Text;
        EXPECT_EQ(TVariables::RenameReferences(text, row.Old, row.New), row.Count) << row.Text;
        EXPECT_EQ(text, row.Expected);
    }

    TProject project = Sample();
    EXPECT_EQ(RenameVariable(project, "Host", "Server"), 3);
    EXPECT_EQ(project.Variables.at(0), (std::pair<std::string, std::string>("Server", "h")));
    EXPECT_EQ(std::get<std::string>(project.Actions[0]->GetPropertyValue("Text")),
              "to %Server% and $(HostName), 100%% and $$(Host) %Pct%");
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions[1]->ChildActions()[0]);
    EXPECT_EQ(types.FLines, (TStringList{"a $(Server)", "%Hostx%"}));
    EXPECT_EQ(TCryptoUtils::DecryptString(types.FCookie, CookieKey), "%Server%");

    // A variable an action sets is renamed where it is set and where it is used.
    EXPECT_EQ(RenameVariable(project, "Out", "Result"), 2);
    EXPECT_EQ(types.FName, "%Result%");
    EXPECT_EQ(std::get<std::string>(project.Actions[0]->GetPropertyValue("ResultVariable")), "Result");
}

TEST(VariableUsage, ARenameThatCannotBeDoneChangesNothing) {
    TProject project = Sample();
    const std::string before = project.ToJson();
    for (auto [from, to] :
         {std::pair{"Host", "HostName"}, {"Host", "no space"}, {"Host", ""}, {"%Host%", "X"}})
        EXPECT_THROW(RenameVariable(project, from, to), std::invalid_argument) << from << " -> " << to;
    EXPECT_EQ(project.ToJson(), before);
}

TEST(VariableUsage, SearchAndReplaceReachEveryTextButPasswords) {
    struct {
        std::string Needle;
        bool MatchCase;
        std::vector<std::string> Found;
        int Replaced;
    } rows[] = {
        {"Host", true, {"0:Text", "1:description", "1.0:Lines", "1.0:children[0].Name"}, 7},
        {"host", true, {}, 0},
        {"HOST", false, {"0:Text", "1:description", "1.0:Lines", "1.0:children[0].Name"}, 7},
        {"%%", true, {"0:Text"}, 1},
        {"", false, {}, 0},
    };
    for (const auto& row : rows) {
        TProject project = Sample();
        std::vector<std::string> found;
        for (const auto& match : SearchTexts(project, row.Needle, row.MatchCase))
            found.push_back(Place(project, match.Where));
        EXPECT_EQ(found, row.Found) << row.Needle;
        EXPECT_EQ(ReplaceTexts(project, row.Needle, "Peer", row.MatchCase), row.Replaced) << row.Needle;
        EXPECT_TRUE(SearchTexts(project, row.Needle, row.MatchCase).empty()) << row.Needle;
    }

    // Plain text, not references: "$$(Host)" holds "$(Host)" too.
    TProject project = Sample();
    ASSERT_EQ(ReplaceTexts(project, "$(Host)", "[$(Peer)]", true), 2);
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions[1]->ChildActions()[0]);
    EXPECT_EQ(types.FLines, (TStringList{"a [$(Peer)]", "%Hostx%"}));
    EXPECT_EQ(TCryptoUtils::DecryptString(types.FCookie, CookieKey), "%Host%");
    const std::string before = project.ToJson();
    EXPECT_THROW(ReplaceTexts(project, "Host", "a\r\nQUIT", true), std::invalid_argument);
    EXPECT_EQ(project.ToJson(), before);
}

} // namespace
