#include "host/Scripting.h"

#include "host/ScriptRuntime.h"

#include <fmt/format.h>

namespace quillate {

namespace {

std::string ErrorText(const std::string& scriptName, int line, const std::string& message) {
    return line > 0 ? fmt::format("Script \"{}\", line {}: {}", scriptName, line, message)
                    : fmt::format("Script \"{}\": {}", scriptName, message);
}

void RequireName(std::string_view name, std::string_view what) {
    if (name.empty())
        throw std::invalid_argument(fmt::format("a script {} needs a name", what));
}

template <class T, class Named> void ReplaceOrAppend(std::vector<T>& items, T item, Named named) {
    for (auto& existing : items)
        if (named(existing) == named(item)) {
            existing = std::move(item);
            return;
        }
    items.push_back(std::move(item));
}

} // namespace

EScriptError::EScriptError(std::string scriptName, int line, TScriptErrorKind kind, std::string message)
    : std::runtime_error(ErrorText(scriptName, line, message)), FScriptName(std::move(scriptName)),
      FLine(line), FKind(kind), FMessage(std::move(message)) {}

TCoreScriptingService::TCoreScriptingService() : FRegistry(std::make_shared<TScriptRegistry>()) {}

TCoreScriptingService::~TCoreScriptingService() = default;

template <class F> void TCoreScriptingService::Update(F change) {
    std::lock_guard lock(FLock);
    auto next = std::make_shared<TScriptRegistry>(*FRegistry);
    change(*next);
    FRegistry = std::move(next);
}

void TCoreScriptingService::AddConstant(std::string_view name, TScriptConstantValue value) {
    RequireName(name, "constant");
    Update([&](TScriptRegistry& next) {
        ReplaceOrAppend(next.Constants, TScriptConstant{std::string(name), std::move(value)},
                        [](const TScriptConstant& c) -> const std::string& { return c.Name; });
    });
}

void TCoreScriptingService::RegisterScriptConstant(std::string_view name, std::int64_t value) {
    AddConstant(name, value);
}

void TCoreScriptingService::RegisterScriptConstant(std::string_view name, std::string value) {
    AddConstant(name, std::move(value));
}

void TCoreScriptingService::RegisterScriptEnum(const TEnumInfo& info) {
    RequireName(info.Name, "enumeration");
    Update([&](TScriptRegistry& next) {
        ReplaceOrAppend(next.Enums, info, [](const TEnumInfo& e) -> const std::string& { return e.Name; });
    });
}

void TCoreScriptingService::RegisterScriptMethod(const TMetaClass& cls, std::string_view methodName,
                                                 std::string_view scriptName, TScriptMethod fn) {
    AddMethod(cls, methodName, scriptName.empty() ? methodName : scriptName, TScriptMethodKind::Method,
              std::move(fn));
}

void TCoreScriptingService::RegisterScriptMethodAs(const TMetaClass& cls, std::string_view methodName,
                                                   std::string_view scriptName, TScriptMethod fn) {
    RequireName(scriptName, "method registered under another name");
    AddMethod(cls, methodName, scriptName, TScriptMethodKind::MethodAs, std::move(fn));
}

void TCoreScriptingService::AddMethod(const TMetaClass& cls, std::string_view methodName,
                                      std::string_view scriptName, TScriptMethodKind kind, TScriptMethod fn) {
    RequireName(methodName, "method");
    if (!fn)
        throw std::invalid_argument(
            fmt::format("script method {}.{} has no function", cls.ClassName(), methodName));
    auto info = std::make_shared<const TScriptMethodInfo>(
        TScriptMethodInfo{&cls, std::string(methodName), std::string(scriptName), kind, std::move(fn)});
    Update([&](TScriptRegistry& next) {
        for (auto& existing : next.Methods)
            if (existing->Class == &cls && existing->ScriptName == scriptName) {
                existing = std::move(info);
                return;
            }
        next.Methods.push_back(std::move(info));
    });
}

void TCoreScriptingService::Clear() {
    std::lock_guard lock(FLock);
    FRegistry = std::make_shared<TScriptRegistry>();
}

std::shared_ptr<const TScriptRegistry> TCoreScriptingService::Snapshot() const {
    std::lock_guard lock(FLock);
    return FRegistry;
}

std::vector<TScriptConstant> TCoreScriptingService::Constants() const {
    return Snapshot()->Constants;
}

std::vector<TEnumInfo> TCoreScriptingService::Enums() const {
    return Snapshot()->Enums;
}

std::vector<TScriptMethodInfo> TCoreScriptingService::Methods() const {
    auto registry = Snapshot();
    std::vector<TScriptMethodInfo> methods;
    methods.reserve(registry->Methods.size());
    for (const auto& method : registry->Methods)
        methods.push_back(*method);
    return methods;
}

void TCoreScriptingService::ExecuteScript(std::string_view scriptName, std::string_view source,
                                          TScriptParams& params, const TScriptOptions& options) const {
    RunScript(Snapshot(), scriptName, source, params, options);
}

TCoreScriptingService& CoreScriptingService() {
    static TCoreScriptingService service;
    return service;
}

} // namespace quillate
