#include "host/Log.h"
#include "host/PassRule.h"

#include "CaseFiles.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

TEST(TextLog, MasksTheRunsSecretsAndEscapesControls) {
    TSecretMask secrets;
    for (const TCase& row : ReadTable("log-lines.txt")) {
        if (row.Fields.at(0) == "secret") {
            secrets.Add(row.Fields.at(1));
            continue;
        }
        TLogEntry entry;
        entry.Text = secrets.Apply(row.Fields.at(0));
        std::string line = TTextLogSink::Format(entry, false);
        EXPECT_EQ(row.Fields.at(1) + " " + line.substr(17), "shows " + row.Fields.at(2) + "\n") << row.Where;
    }
}

} // namespace

namespace quillate {
namespace {

// The protocol logs' "pass" rule, both of its forms side by side: FTP looks in any letter case, the
// mail and news logs at lower case only.
TEST(PassRule, TheFTPLogsLookInAnyCaseTheMailLogsAtLowerCaseOnly) {
    const struct {
        const char* Text;
        bool AnyCase, LowerCaseOnly;
    } cases[] = {
        {"PASS secret", true, false},     {"pass secret", true, true},     {"AUTHINFO PASS x", true, false},
        {"PaSs x", true, false},          {"bypassed", true, true},        {"USER bob", false, false},
        {"PAS S", false, false},          {"", false, false},              {"the password", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MentionsPass(c.Text, TPassCase::AnyCase), c.AnyCase) << c.Text;
        EXPECT_EQ(MentionsPass(c.Text, TPassCase::LowerCaseOnly), c.LowerCaseOnly) << c.Text;
    }
}

} // namespace
} // namespace quillate
