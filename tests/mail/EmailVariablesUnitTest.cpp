// "Send Email"'s address list entries in the project-wide variable and text tools: found, renamed,
// searched and replaced through the action's hooks.
#include "PackageTestSupport.h"
#include "host/VariableUsage.h"
#include "mail/ZREmail.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

std::string Entry(TZRAction& action, zr::TAddressListPtr zr::TZRMessageAddresses::*list, int index,
                  bool name) {
    auto entry = (dynamic_cast<zr::TCustomEmailAction&>(action).Addresses().*list)->Item(index);
    return name ? entry->GetName() : entry->GetAddress();
}

TEST(EmailVariables, ListEntriesAreFoundRenamedSearchedAndReplaced) {
    EnsurePackageRegistered();
    TProject project = TProject::Parse(R"json({"variables": {"To": "t", "ToName": "n", "Idle": "i"},
 "actions": [{"type": "action.smtp.send", "properties": {"Subject": "s"}, "children": [
  {"type": "email.list", "properties": {"ListType": "recipients"}, "children": [
    {"type": "email.address", "properties": {"Address": "%To%", "Name": "$(ToName)"}},
    {"type": "email.address", "properties": {"Address": "%Top%"}}]},
  {"type": "email.list", "properties": {"ListType": "copyto"}, "children": [
    {"type": "email.address", "properties": {"Address": "cc@x", "Name": "%To% copy"}}]},
  {"type": "email.list", "properties": {"ListType": "replyto"}, "children": [
    {"type": "email.address", "properties": {"Address": "$$(To)"}}]}]}]})json",
                                       "p.json");
    TZRAction& action = *project.Actions.at(0);
    using TList = zr::TZRMessageAddresses;

    TVariableReport report = FindVariableUses(project);
    auto labels = [&](const std::string& name) {
        std::vector<std::string> out;
        for (const auto& where : report.Uses[name])
            out.push_back(where.Property);
        return out;
    };
    EXPECT_EQ(labels("To"), (std::vector<std::string>{"Recipients.Address", "CopyTo.Name"}));
    EXPECT_EQ(labels("ToName"), std::vector<std::string>{"Recipients.Name"});
    EXPECT_EQ(report.Unused, std::vector<std::string>{"Idle"});
    ASSERT_EQ(report.Undefined.size(), 1u);
    EXPECT_EQ(report.Undefined[0].first + "@" + report.Undefined[0].second.Property,
              "Top@Recipients.Address");
    TStringList names{"Idle", "To", "ToName", "Top"};
    action.SearchForUnusedVariables(names);
    EXPECT_EQ(names, TStringList{"Idle"});

    EXPECT_EQ(RenameVariable(project, "To", "Dest"), 2);
    EXPECT_EQ(Entry(action, &TList::Recipients, 0, false), "%Dest%");
    EXPECT_EQ(Entry(action, &TList::Recipients, 1, false), "%Top%");
    EXPECT_EQ(Entry(action, &TList::CopyTo, 0, true), "%Dest% copy");
    EXPECT_EQ(Entry(action, &TList::ReplyTo, 0, false), "$$(To)");

    auto matches = SearchTexts(project, "CC@", false);
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].Where.Property + "=" + matches[0].Text, "CopyTo.Address=cc@x");
    EXPECT_EQ(ReplaceTexts(project, "cc@x", "bcc@y", true), 1);
    EXPECT_EQ(Entry(action, &TList::CopyTo, 0, false), "bcc@y");
    EXPECT_EQ(Entry(action, &TList::CopyTo, 0, true), "%Dest% copy");
}

} // namespace
