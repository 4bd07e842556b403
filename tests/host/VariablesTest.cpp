#include <gtest/gtest.h>

#include "host/Variables.h"

using namespace quillate;

namespace {

struct TExpansionCase {
    const char* Text;
    const char* Expected;
};

class VariablesExpansion : public ::testing::TestWithParam<TExpansionCase> {};

TEST_P(VariablesExpansion, ExpandsReferences) {
    TVariables vars;
    vars.Set("Site", "ftp.example.org");
    vars.Set("Port", "21");
    vars.Set("Pct", "%Site%");
    vars.Set("Empty", "");
    EXPECT_EQ(vars.Expand(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, VariablesExpansion,
    ::testing::Values(TExpansionCase{"%Site%", "ftp.example.org"}, TExpansionCase{"$(Site):$(Port)", "ftp.example.org:21"},
                      TExpansionCase{"ftp://%Site%:%Port%/", "ftp://ftp.example.org:21/"},
                      TExpansionCase{"100%% done", "100% done"}, TExpansionCase{"50% of 70% left", "50% of 70% left"},
                      TExpansionCase{"%%Site%%", "%Site%"}, TExpansionCase{"$(no close", "$(no close"},
                      TExpansionCase{"$Site", "$Site"}, TExpansionCase{"%Pct%", "%Site%"},
                      TExpansionCase{"[%Empty%]", "[]"}, TExpansionCase{"trailing %", "trailing %"},
                      TExpansionCase{"", ""}));

TEST(Variables, UndefinedReferenceNamesTheVariable) {
    TVariables vars;
    for (const char* text : {"%Missing%", "x $(Missing) y"}) {
        try {
            vars.Expand(text);
            FAIL() << text;
        } catch (const EExpansionError& e) {
            EXPECT_STREQ(e.what(), "variable \"Missing\" is not defined");
        }
    }
}

TEST(Variables, NamesAreCaseSensitiveAndValidated) {
    TVariables vars;
    vars.Set("Site", "a");
    EXPECT_TRUE(vars.IsDefined("Site"));
    EXPECT_FALSE(vars.IsDefined("site"));
    EXPECT_TRUE(TVariables::IsValidName("My.Var-1_x"));
    EXPECT_FALSE(TVariables::IsValidName("has space"));
    EXPECT_FALSE(TVariables::IsValidName(""));
}

TEST(Variables, SecretsAreMaskedEverywhereInALine) {
    TVariables vars;
    vars.SetSecret("FTP_PASSWORD", "s3cr3t!");
    vars.Set("Plain", "visible");
    EXPECT_EQ(vars.MaskSecrets("PASS s3cr3t! and again s3cr3t!"), "PASS ******** and again ********");
    EXPECT_EQ(vars.MaskSecrets("visible"), "visible");
    EXPECT_EQ(vars.Expand("%FTP_PASSWORD%"), "s3cr3t!");
}

} // namespace
