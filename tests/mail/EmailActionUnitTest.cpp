// "Send Email" without a server: what Validate reports, the properties that change others, and how
// the password is stored.
#include "PackageTestSupport.h"
#include "host/Options.h"
#include "mail/ZREmail.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

std::string Errors(const std::string& properties, const std::string& globalHost = {}) {
    EnsurePackageRegistered();
    TTempDir dir("quillate-mail-options");
    OptionsService().Reset(dir.Path() / "options.json");
    zr::RegisterEmailOptions();
    zr::EmailOptions()->SetSMTPHost(globalHost);
    TProject project = TProject::Parse(R"({"actions":[{"type":"action.smtp.send","properties":)" + properties + "}]}", "p");
    TValidationErrors errors;
    project.Actions.at(0)->Validate(errors);
    OptionsService().Reset();
    std::string text;
    for (const auto& e : errors)
        text += e.Property + ": " + e.Message + "\n";
    return text;
}

TEST(EmailAction, ValidateNamesEachMissingSetting) {
    EXPECT_EQ(Errors("{}"), "Host: Host has not been set\nRecipients: No recipients have been specified\n"
                            "Subject: Message subject has not been set\n");
    EXPECT_EQ(Errors(R"({"Host":"h","Subject":"s","RecipientsSource":"asFromFile"})"),
              "Recipients: No file to load recipients from has been defined\n");
    EXPECT_EQ(Errors(R"({"Host":"h","Subject":"s","UseRecipientFile":true,"PathOfRecipientFile":"/r"})"), "");
    EXPECT_EQ(Errors(R"({"Host":"h","Subject":"s","RecipientsSource":"asFromVariable"})"),
              "Recipients: No variable to load recipients from has been defined\n");
    // With the global options in force, their host counts, not the action's own.
    EXPECT_EQ(Errors(R"({"Host":"h","Subject":"s","UseGlobalOptions":true,"RecipientVariable":"V",
                         "RecipientsSource":"asFromVariable"})"),
              "Host: Host has not been set\n");
    EXPECT_EQ(Errors(R"({"Subject":"s","UseGlobalOptions":true,"RecipientVariable":"V",
                         "RecipientsSource":"asFromVariable"})",
                     "smtp.example.org"),
              "");
}

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
