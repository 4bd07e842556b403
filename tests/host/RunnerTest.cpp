#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestActions.h"
#include "host/MainThread.h"
#include "host/Project.h"
#include "host/Runner.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::ElementsAre;

namespace {

struct TRun {
    TMemoryLogSink Log;
    TVariables Variables;
    TRunOutcome Outcome = TRunOutcome::Failed;

    // Runs a project given as JSON and returns the texts the actions logged (headers and summary left out).
    std::vector<std::string> Run(const std::string& json) {
        TProject project = TProject::Parse(json, "t.json");
        for (const auto& [n, v] : project.Variables)
            Variables.Set(n, v);
        TRunner runner(project.Actions, Variables, Log);
        Outcome = runner.Run();
        return ActionLines();
    }
    std::vector<std::string> ActionLines() const {
        std::vector<std::string> lines;
        for (const auto& e : Log.Entries())
            if (e.Group > 0 && e.Text != e.Action) // not a header line
                lines.push_back(e.Text);
        return lines;
    }
    int Count(TStatusTag tag) const { return static_cast<int>(Log.Texts(tag).size()); }
};

TEST(Runner, RunsActionsInOrderAndSharesVariables) {
    TRun run;
    auto lines = run.Run(R"({"variables":{"Who":"world"},"actions":[
        {"type":"test.log","properties":{"Text":"hello %Who%","ResultVariable":"Greeting"}},
        {"type":"test.log","properties":{"Text":"$(Greeting)!","Tag":1}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    EXPECT_THAT(lines, ElementsAre("hello world", "hello world!"));
    EXPECT_TRUE(run.Log.Contains("Run finished: 2 actions run, 0 failed"));
}

// An undefined variable, or an empty value where one is required: one host line and the run fails.
TEST(Runner, FailedExpansionGivesOneHostLineAndFailsTheAction) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"actions":[{"type":"test.log","properties":{"Label":"Hostname","Text":"%Site%"}},
            {"type":"test.log","properties":{"Text":"never"}}]})",
         "Hostname: variable \"Site\" is not defined"},
        {R"({"variables":{"Site":""},"actions":[
            {"type":"test.log","properties":{"Label":"Hostname","Text":"%Site%","Required":true}}]})",
         "Hostname: \"%Site%\" expands to an empty value"},
    };
    for (const auto& [json, line] : cases) {
        TRun run;
        EXPECT_THAT(run.Run(json), ElementsAre(line));
        EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    }
}

TEST(Runner, ExceptionIsLoggedByTheHostAndIgnoreFailureGoesOn) {
    TRun run;
    auto lines = run.Run(R"({"actions":[
        {"type":"test.throw","ignoreFailure":true,"properties":{"Message":"disk on fire"}},
        {"type":"test.log","properties":{"Text":"after"}},
        {"type":"test.throw"},
        {"type":"test.log","properties":{"Text":"never"}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(lines, ElementsAre("disk on fire", "Failure ignored, the run goes on", "after", "boom"));
    EXPECT_TRUE(run.Log.Contains("Run failed: 3 actions run, 2 failed"));
}

TEST(Runner, ConditionRunsOrSkipsItsChildActionsAndDisabledActionsAreSkipped) {
    TRun run;
    auto lines = run.Run(R"({"actions":[
        {"type":"test.condition","actions":[{"type":"test.log","properties":{"Text":"child ran"}}]},
        {"type":"test.condition","properties":{"SkipChildren":true},
         "actions":[{"type":"test.log","properties":{"Text":"skipped child"}}]},
        {"type":"test.log","enabled":false,"properties":{"Text":"disabled"}},
        {"type":"test.condition","properties":{"Result":false},
         "actions":[{"type":"test.log","properties":{"Text":"after failed condition"}}]}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(lines, ElementsAre("Condition: run children", "child ran", "Condition: skip children",
                                   "Condition: run children"));
    EXPECT_TRUE(run.Log.Contains("Skipped (disabled): Test Log"));
    // The child's lines are one group deeper than its parent's.
    for (const auto& e : run.Log.Entries()) {
        if (e.Text == "child ran") {
            EXPECT_EQ(e.Group, 2);
        }
    }
}

TEST(Runner, StopReachesTheActionWakesSleepAndEndsTheRun) {
    TProject project = TProject::Parse(R"({"actions":[
        {"type":"test.sleep","properties":{"Milliseconds":30000}},
        {"type":"test.log","properties":{"Text":"never"}}]})",
                                       "t.json");
    TMemoryLogSink log;
    TVariables vars;
    TRunner runner(project.Actions, vars, log);
    std::thread stopper([&runner] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
    });
    auto started = std::chrono::steady_clock::now();
    TRunOutcome outcome = runner.Run();
    stopper.join();
    EXPECT_EQ(outcome, TRunOutcome::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_TRUE(log.Contains("Woken early"));
    EXPECT_TRUE(log.Contains("StopSignalled reached the action"));
    EXPECT_TRUE(log.Contains("TerminateAction reached the action"));
    EXPECT_FALSE(log.Contains("never"));
}

TEST(Runner, SecretsNeverReachTheLog) {
    TRun run;
    run.Variables.SetSecret("Token", "hunter2");
    auto lines = run.Run(R"({"actions":[{"type":"test.log","properties":{"Text":"token=%Token%"}}]})");
    EXPECT_THAT(lines, ElementsAre("token=********"));
}

TEST(Runner, ScriptEventsChangeParametersAndTheirErrorsFailTheAction) {
    TRun run;
    auto lines = run.Run(R"({"actions":[
        {"type":"test.types","properties":{"ResultVariable":"X"},"scripts":{"OnRun":"print(Action.Mode)\nCount = Count * 2"}},
        {"type":"test.types","scripts":{"OnRun":"local n = 0\nwhile true do n = n + 1 end"}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0");
    EXPECT_EQ(lines[1], "Count is 42");
    EXPECT_THAT(lines[2], ::testing::StartsWith("Script \"OnRun\""));
    EXPECT_THAT(lines[2], ::testing::HasSubstr("instruction limit"));
}

TEST(Runner, ScriptsReadAndWriteProjectVariables) {
    TRun run;
    auto lines = run.Run(R"J({"variables":{"Greeting":"hi"},"actions":[
        {"type":"test.types","scripts":{"OnRun":"Action:SetVariable('Seen', Action:GetVariable('Greeting') .. ' there')"}},
        {"type":"test.log","properties":{"Text":"%Seen%"}}]})J");
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    EXPECT_THAT(lines, ::testing::Contains("hi there"));
}

TEST(MainThread, SynchronizeRunsOnTheMainThreadAndRethrows) {
    auto& main = TMainThread::Instance();
    ASSERT_TRUE(main.IsMainThread());
    std::atomic<bool> done{false};
    bool ranOnMain = false;
    std::string error;
    int ticks = 0;
    auto timer = main.SetTimer(std::chrono::milliseconds(10), [&ticks] { ++ticks; });
    std::thread worker([&] {
        main.Synchronize([&] { ranOnMain = main.IsMainThread(); });
        try {
            main.Synchronize([] { throw std::runtime_error("from main"); });
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done = true;
        main.Wake();
    });
    main.RunUntil([&] { return done.load(); });
    worker.join();
    main.KillTimer(timer);
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(error, "from main");
    EXPECT_GE(ticks, 2);
}

} // namespace
