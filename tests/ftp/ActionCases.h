// Case tables for action tests: a JSON file of cases, each run as a one-action project, its log
// checked against the case's "log", "noLog" and "logOrder" lists.
#pragma once

#include "PackageTestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

namespace quillate::testing {

using TCase = nlohmann::ordered_json;

// The cases of tests/data/<file>; comments are allowed.
TCase LoadCases(const std::string& file);
std::string CaseName(const ::testing::TestParamInfo<TCase>& info);
std::string OutcomeName(TRunOutcome outcome);

// Runs the action with the case's "variables", the user stopping the run at the first line holding
// "stopAt"; the log as one text, a line each. `run` may be given to read its variables afterwards.
std::string RunCase(const TCase& c, const TCase& action, TRunOutcome& outcome,
                    const TPackageRun::TDuring& during = {}, TPackageRun* run = nullptr);

// The case's log expectations, and none of the secrets anywhere in the log.
void ExpectCaseLog(const TCase& c, const std::string& log, std::initializer_list<const char*> secrets);

} // namespace quillate::testing
