// TBaseWaitAction: an action that polls a condition until it holds, its time runs out or the user stops.
#pragma once

#include <stdexcept>

#include "host/Action.h"

namespace quillate {

// Raised by a wait's steps to end the wait as failed with its message.
class EWaitException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TBaseWaitAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool GetTimedOut() const override { return FTimedOut; }

    void SetPollFreq(std::int32_t seconds) { FPollFreq = seconds; }

protected:
    // Called once before the first poll; an exception fails the wait with its message.
    virtual void InitialiseWaitFunction() {}
    // True ends the wait successfully; an exception fails it with its message.
    virtual bool PollWaitCondition() = 0;
    // Called at the end in every case.
    virtual void FinalizeWaitFunction() {}

private:
    bool RunWait();

    std::int32_t FPollFreq = 1;
    std::int32_t FWaitTimeout = 0;
    bool FFailIfTimedOut = true;
    bool FTimedOut = false;

    friend struct TBaseWaitActionProperties;
};

} // namespace quillate
