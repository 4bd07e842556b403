#include "ActionCases.h"

#include <fstream>

namespace quillate::testing {

TCase LoadCases(const std::string& file) {
    std::ifstream in(std::string(QUILLATE_TEST_DATA_DIR) + "/" + file);
    return TCase::parse(in, nullptr, true, /*ignore_comments=*/true);
}

std::string CaseName(const ::testing::TestParamInfo<TCase>& info) {
    return info.param.at("name").get<std::string>();
}

std::string OutcomeName(TRunOutcome outcome) {
    return outcome == TRunOutcome::Succeeded ? "succeeded" : outcome == TRunOutcome::Stopped ? "stopped" : "failed";
}

std::string RunCase(const TCase& c, const TCase& action, TRunOutcome& outcome, const TPackageRun::TDuring& during,
                    TPackageRun* run) {
    TCase project = {{"variables", c.value("variables", TCase::object())}, {"actions", {action}}};
    TPackageRun own;
    TPackageRun& used = run ? *run : own;
    if (c.contains("stopAt"))
        used.OnLine = [stopAt = c["stopAt"].get<std::string>()](const TLogEntry& entry, TRunner& runner) {
            if (entry.Text.find(stopAt) != std::string::npos)
                runner.RequestStop();
        };
    std::string log;
    for (const auto& line : used.Run(project.dump(), during))
        log += line + "\n";
    outcome = used.Outcome;
    return log;
}

void ExpectCaseLog(const TCase& c, const std::string& log, std::initializer_list<const char*> secrets) {
    for (const char* secret : secrets)
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
    for (const auto& text : c.value("log", TCase::array()))
        EXPECT_NE(log.find(text.get<std::string>()), std::string::npos) << text << " not in\n" << log;
    for (const auto& text : c.value("noLog", TCase::array()))
        EXPECT_EQ(log.find(text.get<std::string>()), std::string::npos) << text << " in\n" << log;
    std::size_t at = 0;
    for (const auto& text : c.value("logOrder", TCase::array())) {
        at = log.find(text.get<std::string>(), at);
        ASSERT_NE(at, std::string::npos) << text << " not in order in\n" << log;
    }
}

} // namespace quillate::testing
