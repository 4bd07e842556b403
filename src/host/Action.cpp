#include "host/Action.h"

#include "host/CryptoUtils.h"
#include "host/Scripting.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

namespace quillate {

TZRAction::TZRAction() = default;
TZRAction::~TZRAction() = default;

const TMetaClass& TZRAction::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TZRAction>("TZRAction", "", &TSerializableObject::ClassInfo());
    return meta;
}

bool TZRAction::Validate(TValidationErrors&) { return true; }

std::string TZRAction::GetActionName() const { return ClassName(); }

std::string TZRAction::GetFormattedDescription() const {
    return FDescription.empty() ? GetActionName() : FDescription;
}

void TZRAction::GetHiddenProperties(TStringList& list) const {
    for (const auto& info : Properties().Properties())
        if (info.Hidden)
            list.push_back(info.Name);
}
void TZRAction::GetReadOnlyProperties(TStringList&) const {}
void TZRAction::GetPropertyAlias(TStringList&) const {}
void TZRAction::GetPropertyHelp(TStringList&) const {}
void TZRAction::InitialiseScriptParams(const std::string&, TScriptParams&) {}
void TZRAction::StopSignalled() {}
void TZRAction::TerminateAction() {
    if (FHost)
        FHost->StopAction();
}
int TZRAction::GetHelpTopicID() const { return 0; }
std::string TZRAction::GetQuickHelpFilename() const { return {}; }
std::string TZRAction::GetCopyRight() const { return "Quillate Internet Actions"; }
bool TZRAction::GetTimedOut() const { return false; }
int TZRAction::GetActionType() const { return atNormal; }
void TZRAction::GetNextActionSource(int, int&) {}

void TZRAction::GetProvidedProjectObjects(std::vector<TProjectObjectName>&) const {}
void TZRAction::SearchForUnusedVariables(TStringList&) const {}
void TZRAction::DoInternalSearch(const TTextVisitor&) const {}
int TZRAction::DoInternalReplace(const std::string&, const TTextReplacer&) { return 0; }
int TZRAction::RenameVariableReference(const std::string&, const std::string&) { return 0; }

IActionHost& TZRAction::RequireHost() const {
    if (!FHost)
        throw std::logic_error(fmt::format("{} is not running: no host attached", ClassName()));
    return *FHost;
}

bool TZRAction::TryExpandExpression(const std::string& label, const std::string& text, std::string& result,
                                    bool required, bool ownLine) {
    try {
        result = ExpandExpression(text, required);
        return true;
    } catch (const EExpansionError& e) {
        if (ownLine)
            LogFailure(label, e);
        else
            SendMessage(fmt::format("{}: {}", label, e.what()), stError);
        return false;
    }
}

bool TZRAction::TryPort(const std::string& label, std::int64_t value, std::uint16_t& port) {
    if (value < 1 || value > 65535) {
        SendMessage(fmt::format("{}: {} is not a TCP port (1 to 65535)", label, value), stError);
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool TZRAction::TryExpandPassword(const std::string& label, const std::string& text, std::string& result) {
    IActionHost& host = RequireHost();
    try {
        result = host.Variables().Expand(text);
    } catch (const EExpansionError&) {
        SendMessage(fmt::format("{}: a variable it refers to is not defined", label), stError);
        return false;
    }
    host.AddSecret(result);
    return true;
}

std::string TZRAction::ExpandExpression(const std::string& text, bool required) {
    std::string result = RequireHost().Variables().Expand(text);
    if (required && result.empty())
        throw EExpansionError(text.empty() ? std::string("a value is required")
                                           : fmt::format("\"{}\" expands to an empty value", text));
    return result;
}

void TZRAction::LogFailure(const std::string& failureLine, const std::exception& e) {
    SendMessage(failureLine, stError);
    SendMessage(e.what(), stError);
}

void TZRAction::SendMessage(const std::string& text, TStatusTag tag) { RequireHost().Log(*this, text, tag); }

void TZRAction::SendLogMessage(const std::string& text, TStatusTag tag) { RequireHost().Log(*this, text, tag); }

void TZRAction::SendProgress(const std::string& text, int percent) {
    RequireHost().Progress(*this, text, percent);
}

void TZRAction::SetVariable(const std::string& name, const std::string& value) {
    // A setting that names no variable asks for nothing to be kept.
    if (name.empty())
        return;
    RequireHost().Variables().Set(name, value);
}

std::string TZRAction::GetVariableAsString(const std::string& name) {
    return RequireHost().Variables().Get(name).value_or(std::string());
}

bool TZRAction::IsVariableDefined(const std::string& name) { return RequireHost().Variables().IsDefined(name); }

bool TZRAction::Sleep(int ms) { return RequireHost().Sleep(ms); }

bool TZRAction::GetStopSignalled() const { return FHost && FHost->StopSignalled(); }

std::stop_token TZRAction::GetStopToken() const { return FHost ? FHost->ActionStopToken() : std::stop_token(); }

IZRActionContext& TZRAction::GetActionContext() { return RequireHost().ActionContext(); }

void TZRAction::SetScriptSource(const std::string& name, const std::string& source) {
    if (!FScripts.SetSource(name, source))
        throw std::invalid_argument(fmt::format("{} has no script event \"{}\"", GetActionName(), name));
}

namespace {
// Every script sees its action's project variables: Action:SetVariable(name, value) and
// Action:GetVariable(name).
void RegisterVariableMethods() {
    auto& scripting = CoreScriptingService();
    for (const auto& m : scripting.Methods())
        if (m.Class == &TZRAction::ClassInfo() && m.ScriptName == "SetVariable")
            return;
    scripting.RegisterScriptMethod(TZRAction::ClassInfo(), "SetVariable", "",
                                   [](TPersistent& self, const std::vector<TScriptValue>& args) -> TScriptValue {
                                       if (args.size() != 2)
                                           throw std::invalid_argument("SetVariable expects a name and a value");
                                       dynamic_cast<TZRAction&>(self).SetVariable(args[0].AsString(),
                                                                                   args[1].AsString());
                                       return {};
                                   });
    scripting.RegisterScriptMethod(TZRAction::ClassInfo(), "GetVariable", "",
                                   [](TPersistent& self, const std::vector<TScriptValue>& args) -> TScriptValue {
                                       if (args.size() != 1)
                                           throw std::invalid_argument("GetVariable expects a name");
                                       return dynamic_cast<TZRAction&>(self).GetVariableAsString(args[0].AsString());
                                   });
}
} // namespace

void TZRAction::ExecuteScript(const std::string& name, TScriptParams& params) {
    if (!FScripts.HasScript(name))
        return;
    RegisterVariableMethods();
    TScriptOptions options;
    options.Print = [this](std::string_view text) { SendMessage(std::string(text), stInformation); };
    options.Stop = FHost ? FHost->StopToken() : std::stop_token();
    CoreScriptingService().ExecuteScript(name, *FScripts.GetScriptByName(name), params, options);
}

std::string TZRAction::EncryptString(const std::string& text, const std::string& key) const {
    return quillate::EncryptString(text, key);
}

std::string TZRAction::DecryptString(const std::string& stored, const std::string& key) const {
    // Name the property that holds the value, so that a damaged one can be found and fixed.
    std::string what;
    for (const auto& info : Properties().Properties())
        if (info.EncryptionKey == key && info.Get(*this) == TPropertyValue(stored)) {
            what = fmt::format("{}.{}", GetClass().StoredType(), info.Name);
            break;
        }
    return quillate::DecryptString(stored, key, what);
}

} // namespace quillate
