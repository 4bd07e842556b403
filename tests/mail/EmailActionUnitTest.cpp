// "Send Email" without a server: the properties that change others, and how the password is stored
// (what Validate reports is a command-line case).
#include "../host/CaseFiles.h"
#include "PackageTestSupport.h"
#include "mail/ZREmail.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

TEST(EmailAction, PropertiesThatChangeOthersDoAsTheTableSays) {
    zr::TEmailAction action;
    auto property = [&](const std::string& name) -> const TPropertyInfo& {
        return *action.Properties().Find(name);
    };
    for (const TCase& row : ReadTable("property-links.txt")) {
        const std::string &set = row.Fields.at(0), &read = row.Fields.at(2);
        action.SetPropertyValue(
            set, PropertyValueFromJson(property(set), nlohmann::ordered_json::parse(row.Fields.at(1))));
        EXPECT_EQ(PropertyValueToJson(property(read), action.GetPropertyValue(read)).dump(), row.Fields.at(3))
            << row.Where;
    }
}

TEST(EmailAction, PasswordIsStoredEncryptedOnly) {
    EnsurePackageRegistered();
    TProject project =
        TProject::Parse(R"({"actions":[{"type":"action.smtp.send","properties":{"Password":"pa55word"}}]})", "p");
    std::string saved = project.ToJson();
    EXPECT_EQ(saved.find("pa55word"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"EncryptedPassword\": \"enc1:"), std::string::npos) << saved;
    EXPECT_EQ(TProject::Parse(saved, "again").Actions.at(0)->GetPropertyValue("Password"),
              TPropertyValue(std::string("pa55word")));
}

} // namespace
