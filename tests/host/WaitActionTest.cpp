#include "host/WaitAction.h"

#include "host/MainThread.h"
#include "host/Runner.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace std::chrono;

namespace {

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
        std::thread helper;
        if (during)
            helper = std::thread([&] { during(runner); });
        auto start = steady_clock::now();
        Outcome = runner.Run();
        Elapsed = duration_cast<milliseconds>(steady_clock::now() - start);
        if (helper.joinable())
            helper.join();
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
        EXPECT_EQ(run.Outcome, fail ? TRunOutcome::Failed : TRunOutcome::Succeeded);
        EXPECT_TRUE(wait->GetTimedOut());
        EXPECT_EQ(wait->Finalized, 1);
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

} // namespace
