// Runs of projects and their logs, the main thread, the masking of what logs show; the meter behind
// every transfer action's progress line; waits and the time-out monitor. Registers the test actions
// once for every host test.
#include "host/Runner.h"

#include "CaseFiles.h"
#include "TestActions.h"
#include "host/Log.h"
#include "host/MainThread.h"
#include "host/PassRule.h"
#include "host/Project.h"
#include "host/TimeoutMonitor.h"
#include "host/TransferMeter.h"
#include "host/WaitAction.h"

#include <atomic>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

using namespace quillate;
using namespace quillate::testing;
using namespace std::chrono;

namespace {

class TTestActionsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { RegisterTestActions(); }
};
const auto* const Registered = ::testing::AddGlobalTestEnvironment(new TTestActionsEnvironment);

// The log as the text sink writes it, without the time at the start of each line.
std::string Transcript(const TMemoryLogSink& log) {
    std::string transcript;
    for (const auto& entry : log.Entries()) {
        std::string lines = TTextLogSink::Format(entry, false);
        for (std::size_t start = 0; start < lines.size(); start = lines.find('\n', start) + 1)
            transcript += lines.substr(start + 10, lines.find('\n', start) + 1 - start - 10);
    }
    return transcript;
}

// Stopping a run is shown through the command line's interrupt test.
TEST(Runner, ProjectsProduceTheirOutcomeAndLog) {
    const char* const outcomes[] = {"Succeeded", "Failed", "Stopped"};
    for (const TCase& c : ReadBlocks("runs.txt")) {
        SCOPED_TRACE(c.Where);
        TProject project = TProject::Parse(c.Sections.at("project"), "t.json");
        TVariables variables;
        for (const auto& [name, value] : project.Variables)
            variables.Set(name, value);
        TMemoryLogSink log;
        TRunner runner(project.Actions, variables, log);
        if (auto secret = c.Sections.find("secret"); secret != c.Sections.end()) {
            std::size_t eq = secret->second.find('=');
            variables.Set(secret->second.substr(0, eq), secret->second.substr(eq + 1));
            runner.Secrets().Add(secret->second.substr(eq + 1));
        }
        EXPECT_EQ(outcomes[static_cast<int>(runner.Run())], c.Sections.at("outcome"));
        EXPECT_EQ(Transcript(log), c.Sections.at("log") + "\n");
    }
}

TEST(MainThread, SynchronizeRunsOnTheMainThreadAndRethrows) {
    auto& main = TMainThread::Instance();
    ASSERT_TRUE(main.IsMainThread());
    std::atomic<bool> done{false};
    bool ranOnMain = false;
    std::string error;
    int ticks = 0;
    auto timer = main.SetTimer(10ms, [&ticks] { ++ticks; });
    std::thread worker([&] {
        main.Synchronize([&] { ranOnMain = main.IsMainThread(); });
        try {
            main.Synchronize([] { throw std::runtime_error("from main"); });
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::this_thread::sleep_for(100ms);
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

// The protocol logs' "pass" rule, both of its forms side by side: FTP looks in any letter case, the
// mail and news logs at lower case only.
TEST(PassRule, TheFTPLogsLookInAnyCaseTheMailLogsAtLowerCaseOnly) {
    for (const TCase& row : ReadTable("pass-rule.txt")) {
        EXPECT_EQ(MentionsPass(row.Fields.at(0), TPassCase::AnyCase), row.Fields.at(1) == "yes") << row.Where;
        EXPECT_EQ(MentionsPass(row.Fields.at(0), TPassCase::LowerCaseOnly), row.Fields.at(2) == "yes")
            << row.Where;
    }
    EXPECT_FALSE(MentionsPass("", TPassCase::AnyCase) || MentionsPass("", TPassCase::LowerCaseOnly));
}

TEST(TransferMeter, ShareRoundsHalvesToEvenOrDownAndStaysWithin0To100) {
    for (const TCase& row : ReadTable("meter-shares.txt")) {
        TTransferMeter meter;
        meter.Begin(std::stoll(row.Fields.at(1)));
        meter.Update(std::stoll(row.Fields.at(0)));
        EXPECT_EQ(std::pair(meter.Percent(), meter.WholePercent()),
                  std::pair(std::stoi(row.Fields.at(2)), std::stoi(row.Fields.at(3))))
            << row.Where;
    }
}

TEST(TransferMeter, AnUnannouncedSizeKeepsTheKnownOneUntilTheEnd) {
    TTransferMeter meter;
    meter.SetExpected(4096);
    meter.Begin(-1);
    meter.Update(2048);
    EXPECT_THAT(meter.TransferredText(TTransferDirection::Download),
                ::testing::ContainsRegex("^Download speed .* : 2/4 KBytes Transferred"));
    meter.End();
    EXPECT_EQ(meter.Expected(), 0);
    EXPECT_EQ(meter.SpeedText(TTransferDirection::Upload), "Upload speed : 0.00 KB/s");
    EXPECT_EQ(meter.Bytes(), 2048); // the count outlives the end, for the line that follows it
}

TEST(TransferMeter, LinesComeAtTheirPaceOrAtOnceWhenAsked) {
    TTransferMeter meter;
    meter.Begin();
    EXPECT_FALSE(meter.Due(10s));
    meter.LineDueNow();
    EXPECT_TRUE(meter.Due(10s));
    EXPECT_FALSE(meter.Due(10s));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(meter.Due(10ms));
    meter.Update(10 * 1024);
    EXPECT_GT(meter.KBPerSecond(), 0.0);
}

// Counts its steps; the condition turns true on poll number TrueOnPoll (0 = never).
class TCountingWait : public TBaseWaitAction {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass meta =
            TMetaClass::Of<TCountingWait>("TCountingWait", "test.wait", &TBaseWaitAction::ClassInfo());
        return meta;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    int TrueOnPoll = 0;
    bool ThrowInInit = false;
    int Polls = 0;
    int Finalized = 0;

protected:
    void InitialiseWaitFunction() override {
        if (ThrowInInit)
            throw EWaitException("Connection Site is not connected.");
    }
    bool PollWaitCondition() override { return ++Polls == TrueOnPoll; }
    void FinalizeWaitFunction() override { ++Finalized; }
};

// Runs one wait (polling every pollFreq seconds for at most timeout) with `during` on a second thread.
struct TWaitRun {
    TMemoryLogSink Log;
    TVariables Variables;
    TRunOutcome Outcome{};
    milliseconds Elapsed{};

    TWaitRun(const std::shared_ptr<TCountingWait>& wait, int pollFreq, int timeout,
             bool failIfTimedOut = true, std::function<void(TRunner&)> during = {}) {
        wait->SetPropertyValue("PollFreq", std::int64_t{pollFreq});
        wait->SetPropertyValue("WaitTimeout", std::int64_t{timeout});
        wait->SetPropertyValue("FailIfTimedOut", failIfTimedOut);
        TRunner runner({wait}, Variables, Log);
        std::jthread helper; // joined before the runner goes
        if (during)
            helper = std::jthread([&] { during(runner); });
        auto start = steady_clock::now();
        Outcome = runner.Run();
        Elapsed = duration_cast<milliseconds>(steady_clock::now() - start);
    }
};

TEST(BaseWaitAction, ConditionOnTheThirdPollEndsAfterTwoIntervals) {
    auto wait = std::make_shared<TCountingWait>();
    wait->TrueOnPoll = 3;
    TWaitRun run(wait, 1, 0);
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    EXPECT_EQ(std::tie(wait->Polls, wait->Finalized), std::tuple(3, 1));
    EXPECT_GE(run.Elapsed, milliseconds(1900));
    EXPECT_LT(run.Elapsed, milliseconds(5000));

    // A failed start ends the wait with its message, and it is still finalized.
    wait = std::make_shared<TCountingWait>();
    wait->ThrowInInit = true;
    TWaitRun failed(wait, 1, 0);
    EXPECT_EQ(failed.Outcome, TRunOutcome::Failed);
    EXPECT_EQ(std::tie(wait->Polls, wait->Finalized), std::tuple(0, 1));
    EXPECT_THAT(failed.Log.Texts(stError), ::testing::Contains("Connection Site is not connected."));
}

TEST(BaseWaitAction, TimeOutFailsOrWarnsAndFinalizes) {
    for (bool fail : {true, false}) {
        auto wait = std::make_shared<TCountingWait>();
        TWaitRun run(wait, 1, 2, fail);
        EXPECT_EQ(std::tuple(run.Outcome, wait->GetTimedOut(), wait->Finalized),
                  std::tuple(fail ? TRunOutcome::Failed : TRunOutcome::Succeeded, true, 1));
        EXPECT_THAT(run.Log.Texts(fail ? stError : stWarning),
                    ::testing::Contains("Wait timed out after 2 seconds."));
        EXPECT_GE(run.Elapsed, milliseconds(1900));
        EXPECT_LT(run.Elapsed, milliseconds(4500));
    }
}

TEST(BaseWaitAction, StopEndsTheWaitAtOnce) {
    auto wait = std::make_shared<TCountingWait>();
    TWaitRun run(wait, 30, 0, true, [](TRunner& runner) {
        std::this_thread::sleep_for(milliseconds(300));
        TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
    });
    EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
    EXPECT_EQ(wait->Finalized, 1);
    EXPECT_LT(run.Elapsed, milliseconds(5000));
}

struct TCountingTarget : IZRTimeoutTarget {
    void DoTimeout() override {
        ++Calls;
        std::this_thread::sleep_for(300ms);
        Left = true;
    }
    std::atomic<int> Calls{0};
    std::atomic<bool> Left{false};
};

template <class Predicate> bool WaitFor(Predicate done, std::chrono::milliseconds limit = 10s) {
    auto deadline = steady_clock::now() + limit;
    while (!done() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return done();
}

TEST(TimeoutMonitor, CallsTheTargetOnceWhenTheTimeRunsOutAndStopWaitsForTheCall) {
    TCountingTarget target;
    auto start = steady_clock::now();
    TTimeoutMonitorThread monitor(target, 1000);
    EXPECT_FALSE(monitor.Finished());
    ASSERT_TRUE(WaitFor([&] { return target.Calls > 0; }));
    EXPECT_GE(steady_clock::now() - start, 1000ms);
    monitor.Stop();
    EXPECT_TRUE(target.Left) << "Stop returned while DoTimeout was running";
    EXPECT_EQ(std::tuple(target.Calls.load(), monitor.Finished(), monitor.TimedOut()),
              std::tuple(1, true, true));
}

TEST(TimeoutMonitor, StoppedMonitorNeverCallsTheTarget) {
    // Stopped from four threads at once (and once more by the destructor), or by the destructor alone.
    for (int stoppers : {4, 0}) {
        TCountingTarget target;
        {
            TTimeoutMonitorThread monitor(target, 500ms);
            std::vector<std::jthread> threads;
            for (int i = 0; i < stoppers; ++i)
                threads.emplace_back([&monitor] { monitor.Stop(); });
        }
        std::this_thread::sleep_for(700ms);
        EXPECT_EQ(target.Calls, 0) << stoppers;
    }
}

TEST(TimeoutMonitor, TargetMayStopOrDestroyItsMonitorFromDoTimeout) {
    struct TSelfStopping : IZRTimeoutTarget {
        bool Destroy = false;
        std::unique_ptr<TTimeoutMonitorThread> Monitor;
        std::atomic<bool> Ready{false}, Done{false};
        void DoTimeout() override {
            while (!Ready)
                std::this_thread::yield();
            if (Destroy)
                Monitor.reset();
            else
                Monitor->Stop();
            Done = true;
        }
    };
    for (bool destroy : {false, true}) {
        TSelfStopping target;
        target.Destroy = destroy;
        target.Monitor = std::make_unique<TTimeoutMonitorThread>(target, 10);
        target.Ready = true;
        EXPECT_TRUE(WaitFor([&] { return target.Done.load(); })) << destroy;
        target.Monitor.reset();
    }
}

} // namespace
