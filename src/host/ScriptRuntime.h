// Inside the scripting service: the registrations a run works with, the run itself and the bridge
// that shows C++ objects and values to Lua.
//
// The Lua library is C: its errors are longjmps, which skip C++ destructors. Two rules keep them
// from crossing C++ frames that own anything:
// - C++ code with live objects calls only the Lua API functions that never raise (type tests,
//   reads of numbers and strings, raw table reads, stack moves) and does every push that may run
//   out of memory through Protected, a lua_pcall around a lambda that owns nothing;
// - the C functions Lua calls are thin trampolines: a noexcept C++ part that catches every
//   exception and leaves either its results or an error value on the stack, and then, with no
//   C++ frame left, lua_error when it failed.
#pragma once

#include "host/Scripting.h"

#include <lua.hpp>
#include <memory>
#include <string_view>
#include <vector>

namespace quillate {

struct TScriptRegistry {
    std::vector<TScriptConstant> Constants;
    std::vector<TEnumInfo> Enums;
    // Shared between registry copies; a run holds its registry, so the pointers stay valid while it runs.
    std::vector<std::shared_ptr<const TScriptMethodInfo>> Methods;

    // The method registered under scriptName for cls or its nearest ancestor, or nullptr.
    const TScriptMethodInfo* FindMethod(const TMetaClass& cls, std::string_view scriptName) const;
};

void RunScript(std::shared_ptr<const TScriptRegistry> registry, std::string_view scriptName,
               std::string_view source, TScriptParams& params, const TScriptOptions& options);

// The registry of the run that owns L.
const TScriptRegistry& RegistryOf(lua_State* L);

template <class F> int ProtectedThunk(lua_State* L) {
    F& f = *static_cast<F*>(lua_touserdata(L, 1));
    lua_remove(L, 1);
    return f(L);
}

// Runs f(L) under lua_pcall: a Lua error it raises comes back as false, with the error value on the
// stack in place of the results, instead of jumping across the caller's frames. f must not throw.
template <class F> bool Protected(lua_State* L, F& f, int results) noexcept {
    lua_pushcfunction(L, &ProtectedThunk<F>);
    lua_pushlightuserdata(L, &f);
    return lua_pcall(L, 1, results, 0) == LUA_OK;
}

// Leaves one error value on the stack: the message, or Lua's own memory error when even that fails.
void PushError(lua_State* L, std::string_view context, const char* what) noexcept;
// Pushes may raise: call only inside Protected or from a frame that owns nothing.
void PushValue(lua_State* L, const TScriptValue& value);
// Reads without raising Lua errors; throws std::invalid_argument for values scripts cannot hand over.
TScriptValue ReadValue(lua_State* L, int index);
// Creates the metatable of object proxies. Raises: call it protected.
void OpenObjectBridge(lua_State* L);

} // namespace quillate
