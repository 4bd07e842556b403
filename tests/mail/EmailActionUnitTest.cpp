// "Send Email" without a server: the properties that change others, and how the password is stored
// (what Validate reports is a command-line case).
#include "PackageTestSupport.h"
#include "mail/ZREmail.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

TEST(EmailAction, PropertiesThatChangeOthers) {
    zr::TEmailAction action;
    struct TStep {
        const char* Property;
        TPropertyValue Value;
        const char* Read;
        TPropertyValue Expected;
    };
    const TStep steps[] = {
        {"Mode", std::int64_t{5}, "Mode", std::int64_t{1}},
        {"Mode", std::int64_t{-3}, "Mode", std::int64_t{0}},
        {"Authenticate", true, "UseEhlo", true},
        {"UseEhlo", false, "Authenticate", false},
        {"TimeoutLength", std::int64_t{7}, "TimeoutLength", std::int64_t{1}},
        {"EnableTimeout", true, "TimeoutLength", std::int64_t{7}},
        {"UseBccFile", true, "BccSource", std::int64_t{zr::asFromFile}},
        {"UseBccFile", false, "BccSource", std::int64_t{zr::asFromFile}},
        {"Body", std::string("a\r\nb\n"), "BodyObject", TStringList{"a", "b"}},
    };
    for (const auto& step : steps) {
        action.SetPropertyValue(step.Property, step.Value);
        EXPECT_EQ(action.GetPropertyValue(step.Read), step.Expected) << step.Property << " -> " << step.Read;
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
