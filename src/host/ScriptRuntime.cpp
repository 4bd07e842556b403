// A script run: a fresh sandboxed Lua state, its limits, and its errors turned into EScriptError.
#include "host/ScriptRuntime.h"

#include <cstdlib>
#include <fmt/format.h>
#include <optional>

namespace quillate {

namespace {

// Instructions between two checks of the budget and the stop flag.
constexpr int CheckInterval = 1000;

std::string FormatBytes(std::size_t bytes) {
    constexpr std::size_t MiB = std::size_t{1} << 20;
    return bytes % MiB == 0 ? fmt::format("{} MiB", bytes / MiB) : fmt::format("{} bytes", bytes);
}

const char* TrippedMessage(TScriptErrorKind kind) {
    return kind == TScriptErrorKind::Stopped ? "stopped by the user"
                                             : "instruction limit exceeded (endless loop?)";
}

// Everything one run needs. The Lua state finds it through its extra space (or the allocator's argument).
class TRun {
public:
    TRun(std::shared_ptr<const TScriptRegistry> registry, std::string_view scriptName,
         const TScriptOptions& options)
        : FRegistry(std::move(registry)), FScriptName(scriptName), FChunkName("=" + FScriptName),
          FOptions(options) {}
    ~TRun() {
        if (FState)
            lua_close(FState);
    }
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

    static TRun& Of(lua_State* L) { return **static_cast<TRun**>(lua_getextraspace(L)); }

    void Execute(std::string_view source, TScriptParams& params);

    const TScriptRegistry& Registry() const { return *FRegistry; }
    const TScriptOptions& Options() const { return FOptions; }
    bool IsOwnChunk(const char* source) const { return source && FChunkName == source; }

    static void* Allocate(void* ud, void* block, std::size_t oldSize, std::size_t newSize) noexcept;
    static void Hook(lua_State* L, lua_Debug* ar);
    static int MessageHandler(lua_State* L);

private:
    void OpenLibraries(lua_State* L) const;
    EScriptError Failure(int status, bool compiling) const;
    std::string ErrorValueText() const;
    // Removes Lua's "name:line: " from a message; the line, or 0 without one.
    int TakePosition(std::string& message) const;

    std::shared_ptr<const TScriptRegistry> FRegistry;
    std::string FScriptName;
    std::string FChunkName;
    const TScriptOptions& FOptions;
    lua_State* FState = nullptr;
    std::size_t FMemoryUsed = 0;
    bool FMemoryLimitHit = false;
    std::uint64_t FInstructions = 0;
    // Set by the hook when the budget runs out or the user stops; from then on every instruction raises.
    std::optional<TScriptErrorKind> FTripped;
    int FErrorLine = 0;
};

bool SendToSink(lua_State* L, const char* text, std::size_t length) noexcept {
    const TScriptPrintSink& sink = TRun::Of(L).Options().Print;
    if (!sink)
        return true;
    try {
        sink(std::string_view(text, length));
        return true;
    } catch (const std::exception& e) {
        PushError(L, "print: ", e.what());
    } catch (...) {
        PushError(L, "print: ", "unknown C++ exception");
    }
    return false;
}

int Print(lua_State* L) {
    const int count = lua_gettop(L);
    luaL_Buffer buffer;
    luaL_buffinit(L, &buffer);
    for (int i = 1; i <= count; ++i) {
        if (i > 1)
            luaL_addchar(&buffer, '\t');
        luaL_tolstring(L, i, nullptr);
        luaL_addvalue(&buffer);
    }
    luaL_pushresult(&buffer);
    std::size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    return SendToSink(L, text, length) ? 0 : lua_error(L);
}

// Calls the wrapped library function (upvalue 1) with the arguments as they now stand.
int CallWrapped(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// Binary chunks skip the compiler's checks and can crash the VM, so load takes text only.
int LoadText(lua_State* L) {
    if (lua_gettop(L) < 3)
        lua_settop(L, 3);
    lua_pushliteral(L, "t");
    lua_replace(L, 3);
    return CallWrapped(L);
}

// Scripts may collect and measure; stopping or retuning the collector is not theirs to do.
int LimitedCollectGarbage(lua_State* L) {
    static const char* const allowed[] = {"collect", "count", "step", "isrunning", nullptr};
    luaL_checkoption(L, 1, "collect", allowed);
    return CallWrapped(L);
}

// Lua runs finalizers with hooks off, so a script's __gc could loop past the instruction limit.
int SetMetatableWithoutGc(lua_State* L) {
    if (lua_type(L, 2) == LUA_TTABLE) {
        lua_pushliteral(L, "__gc");
        if (lua_rawget(L, 2) != LUA_TNIL)
            return luaL_error(L, "__gc metamethods are not allowed in scripts");
        lua_pop(L, 1);
    }
    return CallWrapped(L);
}

void Wrap(lua_State* L, const char* table, const char* name, lua_CFunction wrapper) {
    lua_getglobal(L, table);
    lua_getfield(L, -1, name);
    lua_pushcclosure(L, wrapper, 1);
    lua_setfield(L, -2, name);
    lua_pop(L, 1);
}

void Remove(lua_State* L, const char* table, const char* name) {
    lua_getglobal(L, table);
    lua_pushnil(L);
    lua_setfield(L, -2, name);
    lua_pop(L, 1);
}

void TRun::OpenLibraries(lua_State* L) const {
    const luaL_Reg libraries[] = {{LUA_GNAME, luaopen_base},
                                  {LUA_STRLIBNAME, luaopen_string},
                                  {LUA_TABLIBNAME, luaopen_table},
                                  {LUA_MATHLIBNAME, luaopen_math},
                                  {LUA_UTF8LIBNAME, luaopen_utf8}};
    for (const luaL_Reg& library : libraries) {
        luaL_requiref(L, library.name, library.func, 1);
        lua_pop(L, 1);
    }
    // Of os only the clock and the calendar: nothing that touches files, processes or the environment.
    luaL_requiref(L, LUA_OSLIBNAME, luaopen_os, 0);
    lua_createtable(L, 0, 4);
    for (const char* name : {"time", "clock", "date", "difftime"}) {
        lua_getfield(L, -2, name);
        lua_setfield(L, -2, name);
    }
    lua_setglobal(L, LUA_OSLIBNAME);
    lua_pop(L, 1);

    for (const char* name : {"dofile", "loadfile", "warn"})
        Remove(L, LUA_GNAME, name);
    Remove(L, LUA_STRLIBNAME, "dump");
    Wrap(L, LUA_GNAME, "load", &LoadText);
    Wrap(L, LUA_GNAME, "collectgarbage", &LimitedCollectGarbage);
    Wrap(L, LUA_GNAME, "setmetatable", &SetMetatableWithoutGc);
    lua_register(L, "print", &Print);

    OpenObjectBridge(L);

    for (const TScriptConstant& constant : FRegistry->Constants) {
        if (const auto* i = std::get_if<std::int64_t>(&constant.Value))
            lua_pushinteger(L, static_cast<lua_Integer>(*i));
        else if (const auto* s = std::get_if<std::string>(&constant.Value))
            lua_pushlstring(L, s->data(), s->size());
        else
            lua_pushnil(L);
        lua_setglobal(L, constant.Name.c_str());
    }
    for (const TEnumInfo& info : FRegistry->Enums) {
        lua_createtable(L, 0, static_cast<int>(info.Values.size()));
        lua_Integer ordinal = 0;
        for (const std::string& value : info.Values) {
            lua_pushinteger(L, ordinal);
            lua_setfield(L, -2, value.c_str());
            lua_pushinteger(L, ordinal++);
            lua_setglobal(L, value.c_str());
        }
        lua_setglobal(L, info.Name.c_str());
    }
}

void* TRun::Allocate(void* ud, void* block, std::size_t oldSize, std::size_t newSize) noexcept {
    auto& run = *static_cast<TRun*>(ud);
    if (!block)
        oldSize = 0; // Lua then passes the kind of object, not a size
    if (newSize == 0) {
        std::free(block);
        run.FMemoryUsed -= oldSize;
        return nullptr;
    }
    const std::size_t limit = run.FOptions.MemoryLimit;
    // Only growth may fail: Lua counts on shrinking to succeed.
    if (limit != 0 && newSize > oldSize && newSize - oldSize > limit - run.FMemoryUsed) {
        run.FMemoryLimitHit = true;
        return nullptr;
    }
    void* grown = std::realloc(block, newSize);
    if (grown)
        run.FMemoryUsed = run.FMemoryUsed - oldSize + newSize;
    return grown;
}

void TRun::Hook(lua_State* L, lua_Debug*) {
    TRun& run = Of(L);
    if (!run.FTripped) {
        run.FInstructions += CheckInterval;
        const std::uint64_t limit = run.FOptions.InstructionLimit;
        if (run.FOptions.Stop.stop_requested())
            run.FTripped = TScriptErrorKind::Stopped;
        else if (limit != 0 && run.FInstructions >= limit)
            run.FTripped = TScriptErrorKind::InstructionLimit;
        else
            return;
        // From now on every instruction raises, so that a pcall in the script cannot swallow the end.
        lua_sethook(L, &Hook, LUA_MASKCOUNT, 1);
    }
    lua_pushstring(L, TrippedMessage(*run.FTripped));
    lua_error(L);
}

// Notes the line of the innermost frame of the script's own chunk where the error was raised.
int TRun::MessageHandler(lua_State* L) {
    TRun& run = Of(L);
    lua_Debug ar;
    for (int level = 1; lua_getstack(L, level, &ar); ++level)
        if (lua_getinfo(L, "Sl", &ar) && ar.currentline > 0 && run.IsOwnChunk(ar.source)) {
            run.FErrorLine = ar.currentline;
            break;
        }
    return 1;
}

std::string TRun::ErrorValueText() const {
    switch (lua_type(FState, -1)) {
    case LUA_TSTRING: {
        std::size_t length = 0;
        const char* text = lua_tolstring(FState, -1, &length);
        return std::string(text, length);
    }
    case LUA_TNUMBER:
        return ReadValue(FState, -1).AsString();
    default:
        return fmt::format("(error object is a {} value)", luaL_typename(FState, -1));
    }
}

int TRun::TakePosition(std::string& message) const {
    // Lua names the chunk by the script name, cut to LUA_IDSIZE - 1 characters.
    const std::string prefix = FScriptName.substr(0, LUA_IDSIZE - 1) + ":";
    if (message.compare(0, prefix.size(), prefix) != 0)
        return 0;
    std::size_t digits = prefix.size();
    int line = 0;
    while (digits < message.size() && message[digits] >= '0' && message[digits] <= '9' && line < 100'000'000)
        line = line * 10 + (message[digits++] - '0');
    if (digits == prefix.size() || message.compare(digits, 2, ": ") != 0)
        return 0;
    message.erase(0, digits + 2);
    return line;
}

EScriptError TRun::Failure(int status, bool compiling) const {
    if (FTripped)
        return EScriptError(FScriptName, FErrorLine, *FTripped, TrippedMessage(*FTripped));
    std::string message = ErrorValueText();
    // A memory error the script caught and raised again arrives as a runtime error with Lua's text.
    if (FMemoryLimitHit && (status == LUA_ERRMEM || message == "not enough memory"))
        return EScriptError(FScriptName, compiling ? 0 : FErrorLine, TScriptErrorKind::MemoryLimit,
                            fmt::format("memory limit of {} exceeded", FormatBytes(FOptions.MemoryLimit)));
    int line = TakePosition(message);
    if (line == 0 && !compiling)
        line = FErrorLine;
    return EScriptError(FScriptName, line, compiling ? TScriptErrorKind::Compile : TScriptErrorKind::Runtime,
                        std::move(message));
}

void TRun::Execute(std::string_view source, TScriptParams& params) {
    if (FOptions.Stop.stop_requested())
        throw EScriptError(FScriptName, 0, TScriptErrorKind::Stopped,
                           TrippedMessage(TScriptErrorKind::Stopped));
    FState = lua_newstate(&Allocate, this);
    if (!FState)
        throw EScriptError(FScriptName, 0, TScriptErrorKind::MemoryLimit,
                           fmt::format("memory limit of {} exceeded", FormatBytes(FOptions.MemoryLimit)));
    lua_State* L = FState;
    *static_cast<TRun**>(lua_getextraspace(L)) = this;
    lua_sethook(L, &Hook, LUA_MASKCOUNT, CheckInterval);

    auto setup = [this, &params](lua_State* S) {
        OpenLibraries(S);
        lua_pushglobaltable(S);
        for (const TScriptParam& param : params.Items()) {
            lua_pushlstring(S, param.Name.data(), param.Name.size());
            PushValue(S, param.Value);
            lua_rawset(S, -3);
        }
        return 0;
    };
    if (!Protected(L, setup, 0))
        throw Failure(LUA_ERRRUN, false);

    lua_pushcfunction(L, &MessageHandler);
    const int handler = lua_gettop(L);
    int status = luaL_loadbufferx(L, source.data(), source.size(), FChunkName.c_str(), "t");
    if (status != LUA_OK)
        throw Failure(status, true);
    status = lua_pcall(L, 0, 0, handler);
    if (status != LUA_OK || FTripped)
        throw Failure(status, false);

    const int count = static_cast<int>(params.Count());
    auto fetch = [&params, count](lua_State* S) {
        luaL_checkstack(S, count + 1, "too many script parameters");
        lua_pushglobaltable(S);
        const int globals = lua_gettop(S);
        for (const TScriptParam& param : params.Items()) {
            lua_pushlstring(S, param.Name.data(), param.Name.size());
            lua_rawget(S, globals);
        }
        lua_remove(S, globals);
        return count;
    };
    if (!Protected(L, fetch, count))
        throw Failure(LUA_ERRRUN, false);
    std::vector<TScriptValue> values;
    values.reserve(params.Count());
    for (int i = 0; i < count; ++i) {
        try {
            values.push_back(ReadValue(L, -count + i));
        } catch (const std::exception& e) {
            throw EScriptError(FScriptName, 0, TScriptErrorKind::Runtime,
                               fmt::format("parameter \"{}\": {}", params.Items()[i].Name, e.what()));
        }
    }
    for (int i = 0; i < count; ++i)
        params.Items()[i].Value = std::move(values[i]);
}

} // namespace

const TScriptRegistry& RegistryOf(lua_State* L) {
    return TRun::Of(L).Registry();
}

const TScriptMethodInfo* TScriptRegistry::FindMethod(const TMetaClass& cls,
                                                     std::string_view scriptName) const {
    for (const TMetaClass* c = &cls; c; c = c->Parent())
        for (const auto& method : Methods)
            if (method->Class == c && method->ScriptName == scriptName)
                return method.get();
    return nullptr;
}

void RunScript(std::shared_ptr<const TScriptRegistry> registry, std::string_view scriptName,
               std::string_view source, TScriptParams& params, const TScriptOptions& options) {
    TRun run(std::move(registry), scriptName, options);
    run.Execute(source, params);
}

} // namespace quillate
