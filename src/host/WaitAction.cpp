#include "host/WaitAction.h"

#include <chrono>

#include <fmt/format.h>

namespace quillate {

struct TBaseWaitActionProperties {
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<TBaseWaitAction>(table)
            .Int("PollFreq", &TBaseWaitAction::FPollFreq)
            .Help("Seconds between two checks of the condition")
            .Int("WaitTimeout", &TBaseWaitAction::FWaitTimeout)
            .Help("Seconds to wait at most; 0 waits without limit")
            .Bool("FailIfTimedOut", &TBaseWaitAction::FFailIfTimedOut)
            .Help("Fail the action when the time runs out before the condition holds");
    }
};

const TMetaClass& TBaseWaitAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TBaseWaitAction>("TBaseWaitAction", "", &TZRAction::ClassInfo(),
                                                                   &TBaseWaitActionProperties::Define);
    return meta;
}

bool TBaseWaitAction::Execute() {
    FTimedOut = false;
    bool result = false;
    try {
        result = RunWait();
    } catch (const std::exception& e) {
        SendMessage(e.what(), stError);
        result = false;
    }
    try {
        FinalizeWaitFunction();
    } catch (const std::exception& e) {
        SendMessage(e.what(), stError);
        result = false;
    }
    return result;
}

bool TBaseWaitAction::RunWait() {
    using clock = std::chrono::steady_clock;
    InitialiseWaitFunction();
    auto started = clock::now();
    auto interval = std::chrono::seconds(std::max(FPollFreq, 0));
    auto nextPoll = started;
    while (true) {
        if (GetStopSignalled()) {
            SendMessage("Wait stopped by the user.", stWarning);
            return false;
        }
        if (PollWaitCondition())
            return true;
        nextPoll += interval;
        auto now = clock::now();
        if (FWaitTimeout > 0) {
            auto deadline = started + std::chrono::seconds(FWaitTimeout);
            if (now >= deadline || nextPoll > deadline) {
                // Sleep up to the deadline, then give the condition one last chance.
                if (now < deadline && !Sleep(static_cast<int>(
                                          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count())))
                    continue;
                if (now < deadline && PollWaitCondition())
                    return true;
                FTimedOut = true;
                std::string text = fmt::format("Wait timed out after {} seconds.", FWaitTimeout);
                SendMessage(text, FFailIfTimedOut ? stError : stWarning);
                return !FFailIfTimedOut;
            }
        }
        if (nextPoll > now)
            Sleep(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - now).count()));
    }
}

} // namespace quillate
