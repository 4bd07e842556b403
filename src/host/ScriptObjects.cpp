// Object proxies and the conversion of values between Lua and C++.
#include "host/ScriptRuntime.h"

#include <algorithm>
#include <fmt/format.h>
#include <limits>
#include <new>

namespace quillate {

namespace {

// Tables deeper than this when read into script values are taken for cycles.
constexpr int MaxTableDepth = 32;

// Its address keys the proxy metatable in the Lua registry.
const char ProxyMetatableKey = 0;

// What a userdata proxy holds: the object, shared or (with an empty owner) borrowed.
struct TProxy {
    std::shared_ptr<TPersistent> Object;
};

TProxy* ToProxy(lua_State* L, int index) noexcept {
    if (lua_type(L, index) != LUA_TUSERDATA || !lua_getmetatable(L, index))
        return nullptr;
    lua_rawgetp(L, LUA_REGISTRYINDEX, &ProxyMetatableKey);
    bool ours = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    return ours ? static_cast<TProxy*>(lua_touserdata(L, index)) : nullptr;
}

TScriptValue ReadAt(lua_State* L, int index, int depth) {
    index = lua_absindex(L, index);
    switch (lua_type(L, index)) {
    case LUA_TNONE:
    case LUA_TNIL:
        return {};
    case LUA_TBOOLEAN:
        return lua_toboolean(L, index) != 0;
    case LUA_TNUMBER:
        if (lua_isinteger(L, index))
            return static_cast<std::int64_t>(lua_tointeger(L, index));
        return static_cast<double>(lua_tonumber(L, index));
    case LUA_TSTRING: {
        std::size_t length = 0;
        const char* text = lua_tolstring(L, index, &length);
        return std::string(text, length);
    }
    case LUA_TUSERDATA:
        if (TProxy* proxy = ToProxy(L, index))
            return TScriptValue::Object(proxy->Object);
        break;
    case LUA_TTABLE: {
        if (depth >= MaxTableDepth)
            throw std::invalid_argument("tables nested too deeply (does a table contain itself?)");
        if (!lua_checkstack(L, 1))
            throw std::runtime_error("Lua stack exhausted");
        TScriptValue::TArray items;
        const lua_Unsigned count = lua_rawlen(L, index);
        for (lua_Unsigned i = 1; i <= count; ++i) {
            lua_rawgeti(L, index, static_cast<lua_Integer>(i));
            try {
                items.push_back(ReadAt(L, -1, depth + 1));
            } catch (...) {
                lua_pop(L, 1);
                throw;
            }
            lua_pop(L, 1);
        }
        return TScriptValue::Array(std::move(items));
    }
    default:
        break;
    }
    throw std::invalid_argument(fmt::format("a {} value cannot be passed on", luaL_typename(L, index)));
}

TScriptValue FromProperty(const TPropertyValue& value) {
    return std::visit(
        [](const auto& v) -> TScriptValue {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, TStringList>)
                return TScriptValue::Array(TScriptValue::TArray(v.begin(), v.end()));
            else
                return TScriptValue(v);
        },
        value);
}

std::int64_t InRange(std::int64_t value, std::int64_t low, std::int64_t high, std::string_view kind) {
    if (value < low || value > high)
        throw std::out_of_range(fmt::format("{} is out of range for {} ({} to {})", value, kind, low, high));
    return value;
}

TPropertyValue ToProperty(const TPropertyInfo& info, const TScriptValue& value) {
    switch (info.Kind) {
    case TPropertyKind::String:
    case TPropertyKind::VariableName:
        return value.AsString();
    case TPropertyKind::Boolean:
        return value.AsBoolean();
    case TPropertyKind::Int32:
        return InRange(value.AsInteger(), std::numeric_limits<std::int32_t>::min(),
                       std::numeric_limits<std::int32_t>::max(), "an integer");
    case TPropertyKind::UInt32:
        return InRange(value.AsInteger(), 0, std::numeric_limits<std::uint32_t>::max(),
                       "an unsigned integer");
    case TPropertyKind::Int64:
        return value.AsInteger();
    case TPropertyKind::Double:
        return value.AsNumber();
    case TPropertyKind::Enum: {
        if (!info.Enum)
            return value.AsInteger();
        const auto last = static_cast<std::int64_t>(info.Enum->Values.size()) - 1;
        if (value.Type() == TScriptValueType::String) {
            int ordinal = info.Enum->IndexOf(value.AsString());
            if (ordinal < 0)
                throw std::invalid_argument(
                    fmt::format("\"{}\" is not a value of {}", value.AsString(), info.Enum->Name));
            return std::int64_t{ordinal};
        }
        return InRange(value.AsInteger(), 0, last, info.Enum->Name);
    }
    case TPropertyKind::StringList: {
        TStringList list;
        if (value.Type() == TScriptValueType::Array) {
            for (const auto& item : value.AsArray())
                list.push_back(item.AsString());
        } else if (!value.IsNil()) {
            // A text is taken line by line, the way a string list's Text is.
            std::string text = value.AsString();
            for (std::size_t start = 0; start < text.size();) {
                std::size_t end = text.find('\n', start);
                if (end == std::string::npos)
                    end = text.size();
                std::string line = text.substr(start, end - start);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                list.push_back(std::move(line));
                start = end + 1;
            }
        }
        return list;
    }
    }
    throw std::logic_error("unknown property kind");
}

// The value in the property's own bounds too, where it has any.
TPropertyValue ToBoundedProperty(const TPropertyInfo& info, const TScriptValue& value) {
    TPropertyValue converted = ToProperty(info, value);
    if (const auto* number = std::get_if<std::int64_t>(&converted))
        if (std::string problem = info.RangeProblem(*number); !problem.empty())
            throw std::out_of_range(problem);
    return converted;
}

std::string_view MemberName(lua_State* L, const TPersistent& object) {
    if (lua_type(L, 2) != LUA_TSTRING)
        throw std::invalid_argument(
            fmt::format("{} has no member indexed by a {} value", object.ClassName(), luaL_typename(L, 2)));
    std::size_t length = 0;
    const char* name = lua_tolstring(L, 2, &length);
    return {name, length};
}

// Pushes one value where running out of memory cannot unwind C++ frames: 1 pushed, -1 error left.
int PushProtected(lua_State* L, const TScriptValue& value) {
    auto push = [&value](lua_State* S) {
        PushValue(S, value);
        return 1;
    };
    return Protected(L, push, 1) ? 1 : -1;
}

// Runs body(context) and turns any exception into an error value, prefixed by the context the body
// had set when it threw: the noexcept half of a trampoline.
template <class F> int Guarded(lua_State* L, F body) noexcept {
    std::string context;
    try {
        return body(context);
    } catch (const std::exception& e) {
        PushError(L, context, e.what());
    } catch (...) {
        PushError(L, context, "unknown C++ exception");
    }
    return -1;
}

int CallMethod(lua_State* L) noexcept {
    const auto* method = static_cast<const TScriptMethodInfo*>(lua_touserdata(L, lua_upvalueindex(1)));
    return Guarded(L, [L, method](std::string& context) {
        const std::string& className = method->Class->ClassName();
        context = fmt::format("{}:{}: ", className, method->ScriptName);
        TProxy* self = ToProxy(L, 1);
        if (!self || !self->Object->GetClass().InheritsFrom(*method->Class))
            throw std::invalid_argument(
                fmt::format("call it on a {} object, as obj:{}(...)", className, method->ScriptName));
        // Holds a shared receiver even if the method drops the last other reference to it.
        std::shared_ptr<TPersistent> receiver = self->Object;
        std::vector<TScriptValue> args;
        const int top = lua_gettop(L);
        for (int i = 2; i <= top; ++i) {
            try {
                args.push_back(ReadValue(L, i));
            } catch (const std::invalid_argument& e) {
                throw std::invalid_argument(fmt::format("argument {}: {}", i - 1, e.what()));
            }
        }
        return PushProtected(L, method->Function(*receiver, args));
    });
}

int MethodTrampoline(lua_State* L) {
    return CallMethod(L) < 0 ? lua_error(L) : 1;
}

// The object behind the proxy an index or assignment metamethod was called on.
TPersistent& ProxiedObject(lua_State* L) {
    TProxy* self = ToProxy(L, 1);
    if (!self)
        throw std::logic_error("not a script object");
    return *self->Object;
}

int IndexObject(lua_State* L) noexcept {
    return Guarded(L, [L](std::string& context) {
        TPersistent& object = ProxiedObject(L);
        std::string_view name = MemberName(L, object);
        if (const TScriptMethodInfo* method = RegistryOf(L).FindMethod(object.GetClass(), name)) {
            auto push = [method](lua_State* S) {
                lua_pushlightuserdata(S, const_cast<TScriptMethodInfo*>(method));
                lua_pushcclosure(S, &MethodTrampoline, 1);
                return 1;
            };
            return Protected(L, push, 1) ? 1 : -1;
        }
        // The live object, shared: what the script does to it is what the owner sees, and a proxy
        // the script keeps cannot outlive it.
        if (const TObjectPropertyInfo* child = object.Properties().FindObject(name)) {
            context = fmt::format("{}.{}: ", object.ClassName(), name);
            return PushProtected(L, TScriptValue::Object(child->Get(object)));
        }
        const TPropertyInfo* property = object.Properties().Find(name);
        if (!property)
            throw std::invalid_argument(
                fmt::format("{} has no method or property \"{}\"", object.ClassName(), name));
        context = fmt::format("{}.{}: ", object.ClassName(), name);
        if (!property->Get)
            throw std::invalid_argument("the property cannot be read");
        return PushProtected(L, FromProperty(property->Get(object)));
    });
}

int AssignObject(lua_State* L) noexcept {
    return Guarded(L, [L](std::string& context) {
        TPersistent& object = ProxiedObject(L);
        std::string_view name = MemberName(L, object);
        const TPropertyInfo* property = object.Properties().Find(name);
        const bool isObject = object.Properties().FindObject(name) != nullptr;
        if (!property && !isObject) {
            if (RegistryOf(L).FindMethod(object.GetClass(), name))
                throw std::invalid_argument(
                    fmt::format("{}:{} is a method and cannot be assigned", object.ClassName(), name));
            throw std::invalid_argument(fmt::format("{} has no property \"{}\"", object.ClassName(), name));
        }
        context = fmt::format("{}.{}: ", object.ClassName(), name);
        if (isObject)
            throw std::invalid_argument("the object cannot be replaced, only changed through its members");
        if (!property->Set)
            throw std::invalid_argument("the property is read-only");
        property->Set(object, ToBoundedProperty(*property, ReadValue(L, 3)));
        return 0;
    });
}

int ProxyIndex(lua_State* L) {
    return IndexObject(L) < 0 ? lua_error(L) : 1;
}
int ProxyNewIndex(lua_State* L) {
    return AssignObject(L) < 0 ? lua_error(L) : 0;
}

int ProxyToString(lua_State* L) {
    TProxy* self = ToProxy(L, 1);
    lua_pushstring(L, self ? self->Object->ClassName().c_str() : "object");
    return 1;
}

int ProxyEquals(lua_State* L) {
    TProxy* a = ToProxy(L, 1);
    TProxy* b = ToProxy(L, 2);
    lua_pushboolean(L, a && b && a->Object.get() == b->Object.get());
    return 1;
}

int ProxyCollect(lua_State* L) {
    if (TProxy* self = ToProxy(L, 1))
        self->~TProxy();
    return 0;
}

} // namespace

void PushError(lua_State* L, std::string_view context, const char* what) noexcept {
    std::string message;
    try {
        message = fmt::format("{}{}", context, what);
    } catch (...) {
    }
    const char* text = message.empty() ? what : message.c_str();
    auto push = [text](lua_State* S) {
        lua_pushstring(S, text);
        return 1;
    };
    Protected(L, push, 1);
}

void PushValue(lua_State* L, const TScriptValue& value) {
    const auto& v = value.Variant();
    if (const auto* b = std::get_if<bool>(&v))
        lua_pushboolean(L, *b);
    else if (const auto* i = std::get_if<std::int64_t>(&v))
        lua_pushinteger(L, static_cast<lua_Integer>(*i));
    else if (const auto* d = std::get_if<double>(&v))
        lua_pushnumber(L, *d);
    else if (const auto* s = std::get_if<std::string>(&v))
        lua_pushlstring(L, s->data(), s->size());
    else if (const auto* o = std::get_if<std::shared_ptr<TPersistent>>(&v); o && *o) {
        void* memory = lua_newuserdatauv(L, sizeof(TProxy), 0);
        new (memory) TProxy{*o};
        lua_rawgetp(L, LUA_REGISTRYINDEX, &ProxyMetatableKey);
        lua_setmetatable(L, -2);
    } else if (const auto* a = std::get_if<TScriptValue::TArray>(&v)) {
        luaL_checkstack(L, 2, "array nested too deeply");
        lua_createtable(
            L, static_cast<int>(std::min<std::size_t>(a->size(), std::numeric_limits<int>::max())), 0);
        lua_Integer n = 0;
        for (const auto& item : *a) {
            PushValue(L, item);
            lua_rawseti(L, -2, ++n);
        }
    } else
        lua_pushnil(L);
}

TScriptValue ReadValue(lua_State* L, int index) {
    return ReadAt(L, index, 0);
}

void OpenObjectBridge(lua_State* L) {
    const luaL_Reg proxyMethods[] = {{"__index", ProxyIndex},       {"__newindex", ProxyNewIndex},
                                     {"__tostring", ProxyToString}, {"__eq", ProxyEquals},
                                     {"__gc", ProxyCollect},        {nullptr, nullptr}};
    luaL_newlib(L, proxyMethods);
    // Scripts cannot reach or replace it.
    lua_pushliteral(L, "locked");
    lua_setfield(L, -2, "__metatable");
    lua_rawsetp(L, LUA_REGISTRYINDEX, &ProxyMetatableKey);
}

} // namespace quillate
