// "NNTP News Post" without a server: what Validate reports, and the port a project may hold.
#include "PackageTestSupport.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

std::string Errors(const std::string& properties) {
    EnsurePackageRegistered();
    TProject project = TProject::Parse(R"({"actions":[{"type":"action.nntp.post","properties":)" + properties + "}]}", "p");
    TValidationErrors errors;
    project.Actions.at(0)->Validate(errors);
    std::string text;
    for (const auto& e : errors)
        text += e.Property + ": " + e.Message + "\n";
    return text;
}

TEST(NNTPAction, ValidateNamesEachMissingSetting) {
    EXPECT_EQ(Errors(R"({"Login":true})"), "Email Address: The Sender Email Address has not been specified\n"
                                           "Sender: The Sender has not been set\n"
                                           "News Server: The NNTP Host has not been set\n"
                                           "News Groups: Newsgroups to post to has not been set\n"
                                           "Body: The Message Body has not been set\n"
                                           "Subject: The Message Subject has not been set\n"
                                           "UserName: The UserName has not been set\n"
                                           "Password: The Password has not been set\n");
    EXPECT_EQ(Errors(R"({"EmailAddress":"a@x","SenderName":"A","NewsServer":"h","Groups":"g","Body":["b"],
                         "Subject":"s","Login":true,"UserName":"u","Password":"p"})"),
              "");
}

TEST(NNTPAction, APortOutsideTheTCPRangeIsRefusedWhenLoading) {
    EXPECT_EQ(Errors(R"({"Port":119})").find("Port"), std::string::npos);
    EXPECT_THROW(Errors(R"({"Port":70000})"), std::exception);
}

} // namespace
