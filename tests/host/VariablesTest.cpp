#include "host/Variables.h"

#include "CaseFiles.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

TEST(Variables, ReferencesExpandAsTheTableSays) {
    TVariables vars;
    vars.Set("Site", "ftp.example.org");
    vars.Set("Port", "21");
    vars.Set("Pct", "%Site%");
    vars.Set("Empty", "");
    for (const TCase& row : ReadTable("expansion.txt"))
        ExpectOutcome<EExpansionError>(row, 1, [&] { return vars.Expand(row.Fields.at(0)); });
}

TEST(Variables, AnExpansionPastItsBoundFailsNamingTheVariable) {
    TVariables vars;
    vars.Set("Big", std::string(10 << 20, 'x'));
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += "%Big%";
    try {
        vars.Expand(text);
        FAIL() << "expanded past the bound";
    } catch (const EExpansionError& e) {
        EXPECT_STREQ(e.what(), "the text would grow past 64 MiB where it uses variable \"Big\"");
    }
    EXPECT_EQ(vars.Expand("%Big%%Big%").size(), 20u << 20);
}

TEST(Variables, NamesAreValidated) {
    EXPECT_TRUE(TVariables::IsValidName("My.Var-1_x"));
    EXPECT_FALSE(TVariables::IsValidName(""));
}

// A literal is stored so that expansion gives back exactly what was typed.
TEST(Variables, LiteralsExpandToWhatWasTyped) {
    TVariables vars;
    for (const TCase& row : ReadTable("literals.txt")) {
        EXPECT_EQ(TVariables::Literal(row.Fields.at(0)), row.Fields.at(1)) << row.Where;
        EXPECT_NO_THROW(EXPECT_EQ(vars.Expand(row.Fields.at(1)), row.Fields.at(0)) << row.Where) << row.Where;
    }
}

} // namespace
