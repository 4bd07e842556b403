// The scripting service: the constants, enumerations and object methods scripts may use, and the
// sandboxed Lua run of one script event.
#pragma once

#include <stop_token>

#include "host/Persistent.h"
#include "host/ScriptValue.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillate {

enum class TScriptErrorKind { Compile, Runtime, InstructionLimit, MemoryLimit, Stopped };

// Any failure of a script run. what() reads `Script "OnSend", line 3: <message>`, or without the
// line where Lua does not know it.
class EScriptError : public std::runtime_error {
public:
    EScriptError(std::string scriptName, int line, TScriptErrorKind kind, std::string message);

    const std::string& ScriptName() const { return FScriptName; }
    // 0 when unknown.
    int Line() const { return FLine; }
    TScriptErrorKind Kind() const { return FKind; }
    // The message without the script name and line.
    const std::string& Message() const { return FMessage; }

private:
    std::string FScriptName;
    int FLine;
    TScriptErrorKind FKind;
    std::string FMessage;
};

using TScriptMethod = std::function<TScriptValue(TPersistent& self, const std::vector<TScriptValue>& args)>;

using TScriptConstantValue = std::variant<std::int64_t, std::string>;

struct TScriptConstant {
    std::string Name;
    TScriptConstantValue Value;
};

enum class TScriptMethodKind { Method, MethodAs };

struct TScriptMethodInfo {
    const TMetaClass* Class = nullptr;
    std::string MethodName;
    std::string ScriptName;
    TScriptMethodKind Kind = TScriptMethodKind::Method;
    TScriptMethod Function;
};

using TScriptPrintSink = std::function<void(std::string_view line)>;

struct TScriptOptions {
    static constexpr std::uint64_t DefaultInstructionLimit = 10'000'000;
    static constexpr std::size_t DefaultMemoryLimit = std::size_t{64} << 20;

    // Receives what the script prints, one call per print; without it prints are dropped.
    TScriptPrintSink Print;
    // Lua VM instructions the run may execute; 0 means no limit.
    std::uint64_t InstructionLimit = DefaultInstructionLimit;
    // Bytes the Lua state may hold, the state itself included; 0 means no limit.
    std::size_t MemoryLimit = DefaultMemoryLimit;
    // Once a stop is requested the script ends at its next instruction check (within ~1000 instructions).
    std::stop_token Stop;
};

struct TScriptRegistry;

class TCoreScriptingService {
public:
    TCoreScriptingService();
    ~TCoreScriptingService();
    TCoreScriptingService(const TCoreScriptingService&) = delete;
    TCoreScriptingService& operator=(const TCoreScriptingService&) = delete;

    // Registering a name again replaces the earlier registration in its place.
    void RegisterScriptConstant(std::string_view name, std::int64_t value);
    void RegisterScriptConstant(std::string_view name, std::string value);
    void RegisterScriptConstant(std::string_view name, const char* value) {
        RegisterScriptConstant(name, std::string(value));
    }
    // Each value name becomes a global constant with its ordinal, and the type name a table of them.
    void RegisterScriptEnum(const TEnumInfo& info);
    // Makes obj:ScriptName(...) call fn for objects of the class and its descendants.
    void RegisterScriptMethod(const TMetaClass& cls, std::string_view methodName, std::string_view scriptName,
                              TScriptMethod fn);
    // The same under a script name that differs from the method's (which must then be given).
    void RegisterScriptMethodAs(const TMetaClass& cls, std::string_view methodName,
                                std::string_view scriptName, TScriptMethod fn);
    // Drops every registration. Call it before unloading the package: the registered functions live there.
    void Clear();

    // Registrations in registration order.
    std::vector<TScriptConstant> Constants() const;
    std::vector<TEnumInfo> Enums() const;
    std::vector<TScriptMethodInfo> Methods() const;

    // Runs source in a fresh sandboxed Lua state with params as globals, then reads the globals back
    // into params. Throws EScriptError on any failure (params then keep their earlier values).
    void ExecuteScript(std::string_view scriptName, std::string_view source, TScriptParams& params,
                       const TScriptOptions& options = {}) const;

private:
    void AddConstant(std::string_view name, TScriptConstantValue value);
    void AddMethod(const TMetaClass& cls, std::string_view methodName, std::string_view scriptName,
                   TScriptMethodKind kind, TScriptMethod fn);
    std::shared_ptr<const TScriptRegistry> Snapshot() const;
    // Lets change edit a copy of the registry under the lock, then publishes the copy.
    template <class F> void Update(F change);

    mutable std::mutex FLock;
    // Copied on write, so that a run keeps the registrations it started with.
    std::shared_ptr<const TScriptRegistry> FRegistry;
};

// The process-wide service the package registers with and actions run their scripts through.
TCoreScriptingService& CoreScriptingService();

} // namespace quillate
