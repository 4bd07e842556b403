#include "host/Log.h"

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
