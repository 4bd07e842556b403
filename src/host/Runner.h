// Runs a project's actions one after another on a worker thread while the calling (main) thread
// dispatches, and turns a user's stop request into the running action's stop operations.
#pragma once

#include <memory>
#include <stop_token>
#include <vector>

#include "host/Action.h"

namespace quillate {

enum class TRunOutcome { Succeeded, Failed, Stopped };

class TRunner {
public:
    TRunner(std::vector<std::shared_ptr<TZRAction>> actions, TVariables& variables, ILogSink& log,
            IProgressSink* progress = nullptr);

    // Runs every action; the calling thread serves the main-thread dispatcher meanwhile.
    TRunOutcome Run();
    // Asks the run to stop: meant for the main thread. The running action is told through StopSignalled
    // and, when it allows it, TerminateAction, both called here with no lock held; no further action
    // starts.
    void RequestStop();
    // What the run masks in its log lines; the stored passwords of the actions are in it from the start.
    TSecretMask& Secrets() { return FSecrets; }

private:
    class TRunContext;
    friend class TRunContext;

    bool RunList(const std::vector<std::shared_ptr<TZRAction>>& actions, int depth);
    bool RunOne(TZRAction& action, int depth);
    void AddStoredPasswords(const TSerializableObject& object);
    void Write(const std::string& action, const std::string& text, TStatusTag tag, int group);
    bool SleepFor(int ms);

    std::vector<std::shared_ptr<TZRAction>> FActions;
    TVariables& FVariables;
    ILogSink& FLog;
    IProgressSink* FProgress;
    TSecretMask FSecrets;
    std::stop_source FStop;
    int FActionsRun = 0;
    int FActionsFailed = 0;
};

} // namespace quillate
