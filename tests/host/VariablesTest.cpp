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

TEST(Variables, NamesAreValidatedAndSecretsMaskedEverywhereInALine) {
    EXPECT_TRUE(TVariables::IsValidName("My.Var-1_x"));
    EXPECT_FALSE(TVariables::IsValidName(""));
    TVariables vars;
    vars.SetSecret("FTP_PASSWORD", "s3cr3t!");
    vars.Set("Plain", "visible");
    EXPECT_EQ(vars.MaskSecrets("PASS s3cr3t! and again s3cr3t!, visible"),
              "PASS ******** and again ********, visible");
    EXPECT_EQ(vars.Expand("%FTP_PASSWORD%"), "s3cr3t!");
}

} // namespace
