#include "host/Runner.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "host/CryptoUtils.h"
#include "host/MainThread.h"

namespace quillate {

namespace {

// An action's description as its log lines name it: one line, whatever a setting in it holds (a subject
// with a line break must not forge a line of its own).
std::string Label(const TZRAction& action) {
    return EscapeControls(action.GetFormattedDescription());
}

} // namespace

// The host as one running action sees it: its log lines, groups, variables and the stop flag.
class TRunner::TRunContext : public IActionHost, public IZRActionContext {
public:
    TRunContext(TRunner& runner, const TZRAction& action, int depth)
        : FRunner(runner), FName(Label(action)), FGroup(depth + 1) {}

    void Log(const TZRAction&, const std::string& text, TStatusTag tag) override { WriteLine(text, tag); }
    void Progress(const TZRAction&, const std::string& text, int percent) override {
        if (FRunner.FProgress)
            FRunner.FProgress->Progress(FRunner.FSecrets.Apply(FName), FRunner.FSecrets.Apply(text), percent);
    }
    TVariables& Variables() override { return FRunner.FVariables; }
    void AddSecret(const std::string& text) override { FRunner.FSecrets.Add(text); }
    bool StopSignalled() const override { return FRunner.FStop.stop_requested(); }
    std::stop_token StopToken() const override { return FRunner.FStop.get_token(); }
    std::stop_token ActionStopToken() const override { return FActionStop.get_token(); }
    void StopAction() override { FActionStop.request_stop(); }
    bool Sleep(int ms) override { return FRunner.SleepFor(ms); }
    IZRActionContext& ActionContext() override { return *this; }

    void WriteLine(const std::string& text, TStatusTag tag) override {
        FRunner.Write(FName, text, tag, FGroup);
    }
    void OpenGroup(const std::string& title) override {
        WriteLine(title, stInformation);
        ++FGroup;
    }
    void CloseGroup() override {
        if (FGroup > FBaseGroup)
            --FGroup;
    }

private:
    TRunner& FRunner;
    std::stop_source FActionStop;
    std::string FName;
    int FGroup;
    const int FBaseGroup = FGroup;
};

TRunner::TRunner(std::vector<std::shared_ptr<TZRAction>> actions, TVariables& variables, ILogSink& log,
                 IProgressSink* progress)
    : FActions(std::move(actions)), FVariables(variables), FLog(log), FProgress(progress) {
    for (const auto& action : FActions)
        AddStoredPasswords(*action);
}

// Every password the project holds is masked from the first line on, as stored and as it expands now,
// even where an action or a script shows it before it is used.
void TRunner::AddStoredPasswords(const TSerializableObject& object) {
    for (const auto& info : object.Properties().Properties()) {
        if (info.EncryptionKey.empty())
            continue;
        TPropertyValue value = info.Get(object);
        const auto* stored = std::get_if<std::string>(&value);
        if (!stored || stored->empty())
            continue;
        try {
            std::string clear = DecryptString(*stored, info.EncryptionKey);
            FSecrets.Add(clear);
            FSecrets.Add(FVariables.Expand(clear));
        } catch (const ECryptoError&) {
            // Loading refuses such a value; an action that set one itself reports it when it uses it.
        } catch (const EExpansionError&) {
            // What it expands to is added when the action expands it.
        }
    }
    TSerializableList children;
    object.GetChildren(children);
    for (const auto& child : children)
        AddStoredPasswords(*child);
    if (const auto* action = dynamic_cast<const TZRAction*>(&object))
        for (const auto& child : action->ChildActions())
            AddStoredPasswords(*child);
}

void TRunner::Write(const std::string& action, const std::string& text, TStatusTag tag, int group) {
    TLogEntry entry;
    entry.Time = std::chrono::system_clock::now();
    entry.Action = FSecrets.Apply(action);
    entry.Tag = tag;
    entry.Text = FSecrets.Apply(text);
    entry.Group = group;
    FLog.Write(entry);
}

bool TRunner::SleepFor(int ms) {
    std::mutex lock;
    std::condition_variable_any wake;
    std::unique_lock held(lock);
    std::stop_token stop = FStop.get_token();
    return !wake.wait_for(held, stop, std::chrono::milliseconds(std::max(ms, 0)), [&stop] { return stop.stop_requested(); });
}

TRunOutcome TRunner::Run() {
    std::atomic<bool> finished{false};
    bool succeeded = true;
    std::thread worker([&] {
        succeeded = RunList(FActions, 0);
        finished = true;
        TMainThread::Instance().Wake();
    });
    TMainThread::Instance().RunUntil([&] { return finished.load(); });
    worker.join();
    if (FProgress)
        FProgress->Clear();

    TRunOutcome outcome = FStop.stop_requested() ? TRunOutcome::Stopped : succeeded ? TRunOutcome::Succeeded : TRunOutcome::Failed;
    std::string summary = fmt::format("{} action{} run, {} failed", FActionsRun, FActionsRun == 1 ? "" : "s",
                                      FActionsFailed);
    switch (outcome) {
    case TRunOutcome::Succeeded: Write("", "Run finished: " + summary, stSuccess, 0); break;
    case TRunOutcome::Failed: Write("", "Run failed: " + summary, stError, 0); break;
    case TRunOutcome::Stopped: Write("", "Run stopped by the user: " + summary, stWarning, 0); break;
    }
    return outcome;
}

bool TRunner::RunList(const std::vector<std::shared_ptr<TZRAction>>& actions, int depth) {
    for (const auto& action : actions) {
        if (FStop.stop_requested())
            return false;
        if (!action->Enabled()) {
            Write(Label(*action), "Skipped (disabled): " + Label(*action), stInformation, depth);
            continue;
        }
        bool ok = RunOne(*action, depth);
        if (FStop.stop_requested())
            return false;
        if (!ok) {
            if (action->IgnoreFailure()) {
                Write(Label(*action), "Failure ignored, the run goes on", stWarning, depth + 1);
                continue;
            }
            return false;
        }
        int next = nasChildActions;
        action->GetNextActionSource(0, next);
        if (next != nasSkipChildActions && !action->ChildActions().empty() &&
            !RunList(action->ChildActions(), depth + 1))
            return false;
    }
    return true;
}

bool TRunner::RunOne(TZRAction& action, int depth) {
    TRunContext context(*this, action, depth);
    Write(Label(action), Label(action), stInformation, depth);
    action.AttachHost(&context);
    ++FActionsRun;
    bool ok = false;
    {
        // Runs on the thread that requests the stop; its end waits for a call still running, so that
        // the hooks never see the action without its host.
        std::stop_callback stopHooks(FStop.get_token(), [&action] {
            action.StopSignalled();
            if (action.GetCanTerminate())
                action.TerminateAction();
        });
        try {
            ok = action.Execute();
        } catch (const std::exception& e) {
            context.WriteLine(e.what(), stError);
        } catch (...) {
            context.WriteLine("Unknown error", stError);
        }
    }
    action.AttachHost(nullptr);
    if (FProgress)
        FProgress->Clear();
    if (!ok)
        ++FActionsFailed;
    return ok;
}

void TRunner::RequestStop() {
    if (FStop.stop_requested())
        return;
    Write("", "Stop requested by the user", stWarning, 0);
    FStop.request_stop();
}

} // namespace quillate
