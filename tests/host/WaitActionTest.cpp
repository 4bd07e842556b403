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

struct TWaitRun {
    TMemoryLogSink Log;
    TVariables Variables;
    TRunOutcome Outcome{};
    milliseconds Elapsed{};

    void Run(const std::shared_ptr<TCountingWait>& wait, std::function<void(TRunner&)> during = {}) {
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

std::shared_ptr<TCountingWait> MakeWait(int pollFreq, int timeout, bool failIfTimedOut = true) {
    auto wait = std::make_shared<TCountingWait>();
    wait->SetPropertyValue("PollFreq", std::int64_t{pollFreq});
    wait->SetPropertyValue("WaitTimeout", std::int64_t{timeout});
    wait->SetPropertyValue("FailIfTimedOut", failIfTimedOut);
    return wait;
}

TEST(BaseWaitAction, ConditionOnTheThirdPollEndsAfterTwoIntervals) {
    auto wait = MakeWait(1, 0);
    wait->TrueOnPoll = 3;
    TWaitRun run;
    run.Run(wait);
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    EXPECT_EQ(wait->Polls, 3);
    EXPECT_EQ(wait->Finalized, 1);
    EXPECT_GE(run.Elapsed, milliseconds(1900));
    EXPECT_LT(run.Elapsed, milliseconds(5000));
}

TEST(BaseWaitAction, TimeOutFailsOrWarnsAndFinalizes) {
    for (bool fail : {true, false}) {
        auto wait = MakeWait(1, 2, fail);
        TWaitRun run;
        run.Run(wait);
        EXPECT_EQ(run.Outcome, fail ? TRunOutcome::Failed : TRunOutcome::Succeeded);
        EXPECT_TRUE(wait->GetTimedOut());
        EXPECT_EQ(wait->Finalized, 1);
        EXPECT_THAT(run.Log.Texts(fail ? stError : stWarning),
                    ::testing::Contains("Wait timed out after 2 seconds."));
        EXPECT_LT(run.Elapsed, milliseconds(4500));
    }
}

TEST(BaseWaitAction, StopEndsTheWaitAtOnce) {
    auto wait = MakeWait(30, 0);
    TWaitRun run;
    run.Run(wait, [](TRunner& runner) {
        std::this_thread::sleep_for(milliseconds(300));
        TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
    });
    EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
    EXPECT_EQ(wait->Finalized, 1);
    EXPECT_LT(run.Elapsed, milliseconds(5000));
}

TEST(BaseWaitAction, ExceptionFromInitialisationFailsWithItsMessage) {
    auto wait = MakeWait(1, 0);
    wait->ThrowInInit = true;
    TWaitRun run;
    run.Run(wait);
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_EQ(wait->Polls, 0);
    EXPECT_EQ(wait->Finalized, 1);
    EXPECT_TRUE(run.Log.Contains("Connection Site is not connected."));
}

} // namespace
