// TZRAction: the base of every action, with the operations actions override and the host operations
// they call while they run.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

#include "host/Log.h"
#include "host/ScriptEvents.h"
#include "host/Serialization.h"
#include "host/Variables.h"

namespace quillate {

class TZRAction;
class TScriptParams;

struct TValidationError {
    std::string Property;
    std::string Message;
};
using TValidationErrors = std::vector<TValidationError>;

// Kinds of action the runner treats differently.
enum TActionType : int { atNormal = 0, atCondition = 6 };
// Values of GetNextActionSource: run the child actions, or skip them.
enum TNextActionSource : int { nasChildActions = 0, nasSkipChildActions = 4 };

// Lines written through the running action's context, with log groups.
class IZRActionContext {
public:
    virtual ~IZRActionContext() = default;
    virtual void WriteLine(const std::string& text, TStatusTag tag) = 0;
    virtual void OpenGroup(const std::string& title) = 0;
    virtual void CloseGroup() = 0;
};

// What the runner offers the action it is running.
class IActionHost {
public:
    virtual ~IActionHost() = default;
    virtual void Log(const TZRAction& action, const std::string& text, TStatusTag tag) = 0;
    virtual void Progress(const TZRAction& action, const std::string& text, int percent) = 0;
    virtual TVariables& Variables() = 0;
    // A clear text the run's log lines must mask from now on (a password about to be used).
    virtual void AddSecret(const std::string& text) = 0;
    // The user's stop of the whole run.
    virtual bool StopSignalled() const = 0;
    virtual std::stop_token StopToken() const = 0;
    // The end of this action's run: its connections and waits watch this token; TerminateAction
    // requests it (the user's stop where the action allows it, or the action's own time limit).
    virtual std::stop_token ActionStopToken() const = 0;
    virtual void StopAction() = 0;
    // Waits up to ms; false when woken early by a stop.
    virtual bool Sleep(int ms) = 0;
    virtual IZRActionContext& ActionContext() = 0;
};

// A project object an action registers when it runs (a connection it opens, ...).
struct TProjectObjectName {
    std::string Name;
    std::string Category;
};

class TZRAction : public TSerializableObject {
public:
    TZRAction();
    ~TZRAction() override;

    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    // --- Overridden by actions ---
    virtual bool Execute() = 0;
    virtual bool Validate(TValidationErrors& errors);
    virtual std::string GetActionName() const;
    virtual std::string GetFormattedDescription() const;
    // The properties the property table marks hidden (stored passwords, the ones only pages set).
    virtual void GetHiddenProperties(TStringList& list) const;
    virtual void GetReadOnlyProperties(TStringList& list) const;
    // Lines "Property=Alias".
    virtual void GetPropertyAlias(TStringList& list) const;
    // Lines "Property=Help text".
    virtual void GetPropertyHelp(TStringList& list) const;
    virtual void InitialiseScriptParams(const std::string& scriptName, TScriptParams& params);
    // The user asked to stop: called on the main thread while Execute runs on the worker thread.
    virtual void StopSignalled();
    // Ends the run's I/O at once: requests the token of GetStopToken. Overrides call it.
    virtual void TerminateAction();
    virtual int GetHelpTopicID() const;
    virtual std::string GetQuickHelpFilename() const;
    virtual std::string GetCopyRight() const;
    virtual bool GetTimedOut() const;
    virtual int GetActionType() const;
    // After a condition action succeeded: next stays nasChildActions to run its child actions.
    virtual void GetNextActionSource(int state, int& next);
    // The project objects a run of this action would register, so that the designer can offer their
    // names before anything runs. None by default.
    virtual void GetProvidedProjectObjects(std::vector<TProjectObjectName>& objects) const;

    // Variable maintenance (host/VariableUsage.h) reaches the stored properties of the action and of
    // its stored children by their property tables; these hooks cover the texts deeper down (entries
    // of a list the action keeps as a child). All do nothing by default.
    // One text and the label it is found under ("Recipients.Address").
    using TTextVisitor = std::function<void(const std::string& label, const std::string& text)>;
    // Changes one text in place; returns how many occurrences it changed.
    using TTextReplacer = std::function<int(std::string& text)>;
    // Removes from names each variable those texts refer to.
    virtual void SearchForUnusedVariables(TStringList& names) const;
    // Offers each of those texts to visit.
    virtual void DoInternalSearch(const TTextVisitor& visit) const;
    // Applies replace to the texts found under label; returns the occurrences changed.
    virtual int DoInternalReplace(const std::string& label, const TTextReplacer& replace);
    // Rewrites the references to oldName in those texts; returns how many.
    virtual int RenameVariableReference(const std::string& oldName, const std::string& newName);

    // --- Host operations ---
    // The one way actions expand a setting. A failure is logged as "label: reason", or, with
    // ownLine, as label on a failure line of its own followed by the reason (the two lines of Step).
    bool TryExpandExpression(const std::string& label, const std::string& text, std::string& result,
                             bool required, bool ownLine = false);
    // A TCP port, 1 to 65535; any other value logs "label: N is not a TCP port (1 to 65535)" and gives false.
    bool TryPort(const std::string& label, std::int64_t value, std::uint16_t& port);
    // A password expands as any setting, but a failure names neither its text nor the variables in
    // it, and the result is masked in every log line of the run.
    bool TryExpandPassword(const std::string& label, const std::string& text, std::string& result);
    // One step of a run and its one error path: a step returning bool gives its own outcome, any other
    // step true. An exception is logged as the failure line, then its own text, both as error lines, and
    // gives false.
    template <class F> bool Step(const std::string& failureLine, F&& step) {
        return RunStep(step, [&](const std::exception& e) { LogFailure(failureLine, e); });
    }
    // The same for a step whose failure is one line: prefix, then the exception's text
    // ("Password: " + text); with an empty prefix the text alone.
    template <class F> bool StepInline(const std::string& prefix, F&& step) {
        return RunStep(step, [&](const std::exception& e) { SendMessage(prefix + e.what(), stError); });
    }
    // The two error lines of a failed step, for a failure that is caught where Step cannot wrap it.
    void LogFailure(const std::string& failureLine, const std::exception& e);
    void SendMessage(const std::string& text, TStatusTag tag);
    void SendLogMessage(const std::string& text, TStatusTag tag);
    void SendProgress(const std::string& text, int percent);
    void SetVariable(const std::string& name, const std::string& value);
    std::string GetVariableAsString(const std::string& name);
    bool IsVariableDefined(const std::string& name);
    bool Sleep(int ms);
    bool GetStopSignalled() const;
    // Handed to every connection and wait of the run, so that TerminateAction ends them wherever they
    // block; outside a run a token that is never requested.
    std::stop_token GetStopToken() const;
    // The user's stop of the run, or the end of this action's run (GetStopToken requested): the check
    // between two steps of a long action.
    bool GetRunStopped() const { return GetStopSignalled() || GetStopToken().stop_requested(); }
    void SetCanTerminate(bool value) { FCanTerminate = value; }
    bool GetCanTerminate() const { return FCanTerminate; }
    void SetActionStatus(int status) { FActionStatus = status; }
    int GetActionStatus() const { return FActionStatus; }
    IZRActionContext& GetActionContext();

    // Script events: declared by the action, given their text by the project.
    void AddScript(const std::string& name) { FScripts.AddScript(name); }
    const TStringList& ScriptNames() const { return FScripts.Names(); }
    void SetScriptSource(const std::string& name, const std::string& source);
    // The text of a declared event's script, or nullptr when the project gives none.
    const std::string* GetScriptByName(const std::string& name) const { return FScripts.GetScriptByName(name); }
    // Runs the event's script with the parameters, which the script may change; nothing happens when
    // the event has no script. Throws EScriptError naming the script and line.
    void ExecuteScript(const std::string& name, TScriptParams& params);

    // Passwords in their stored form: see EncryptString / DecryptString of the host.
    std::string EncryptString(const std::string& text, const std::string& key) const;
    std::string DecryptString(const std::string& stored, const std::string& key) const;

    // --- Host-side settings kept with each action in the project ---
    const std::string& Description() const { return FDescription; }
    void SetDescription(const std::string& value) { FDescription = value; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value) { FEnabled = value; }
    bool IgnoreFailure() const { return FIgnoreFailure; }
    void SetIgnoreFailure(bool value) { FIgnoreFailure = value; }
    std::vector<std::shared_ptr<TZRAction>>& ChildActions() { return FChildActions; }
    const std::vector<std::shared_ptr<TZRAction>>& ChildActions() const { return FChildActions; }

    // The runner attaches its host for the time of a run; nullptr outside one.
    void AttachHost(IActionHost* host) { FHost = host; }
    IActionHost* Host() const { return FHost; }

protected:
    // Throws EExpansionError; only inside a Step, whose failure lines then report it.
    std::string ExpandExpression(const std::string& text, bool required);

private:
    template <class F, class L> bool RunStep(F& step, L&& logFailure) {
        try {
            if constexpr (std::is_same_v<std::invoke_result_t<F&>, bool>)
                return step();
            else {
                step();
                return true;
            }
        } catch (const std::exception& e) {
            logFailure(e);
            return false;
        }
    }
    IActionHost& RequireHost() const;

    IActionHost* FHost = nullptr;
    std::atomic<bool> FCanTerminate{false};
    int FActionStatus = 0;
    std::string FDescription;
    bool FEnabled = true;
    bool FIgnoreFailure = false;
    TScriptEvents FScripts;
    std::vector<std::shared_ptr<TZRAction>> FChildActions;
};

} // namespace quillate
