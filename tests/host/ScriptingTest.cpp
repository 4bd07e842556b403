#include "host/Scripting.h"

#include "host/ScriptEvents.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;

namespace {

enum TTestMode { tmFirst, tmSecond, tmThird };

const TEnumInfo& TestModeInfo() {
    static const TEnumInfo info{"TTestMode", {"tmFirst", "tmSecond", "tmThird"}};
    return info;
}

class TTestBase : public TPersistent {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass info =
            TMetaClass::Of<TTestBase>("TTestBase", "", nullptr, [](TPropertyTable& t) {
                TPropertyBuilder<TTestBase>(t)
                    .String("Title", &TTestBase::Title)
                    .Bool("Enabled", &TTestBase::Enabled);
            });
        return info;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string Title;
    bool Enabled = true;
};

class TTestItem : public TTestBase {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass info =
            TMetaClass::Of<TTestItem>("TTestItem", "", &TTestBase::ClassInfo(), [](TPropertyTable& t) {
                TPropertyBuilder<TTestItem>(t)
                    .Enum("Mode", TestModeInfo(), &TTestItem::Mode)
                    .StringList("Lines", &TTestItem::Lines)
                    .Int("Size", &TTestItem::Size)
                    .Double("Ratio", &TTestItem::Ratio);
                TPropertyInfo count;
                count.Name = "Count";
                count.Kind = TPropertyKind::Int32;
                count.Get = [](const TPersistent& o) -> TPropertyValue {
                    return static_cast<std::int64_t>(static_cast<const TTestItem&>(o).Lines.size());
                };
                t.Add(std::move(count));
            });
        return info;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    TTestMode Mode = tmFirst;
    TStringList Lines;
    std::int32_t Size = 0;
    double Ratio = 0;
};

// A list class without methods of its own besides those registered for it: Describe comes from the base.
class TTestList : public TTestBase {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass info = TMetaClass::Of<TTestList>("TTestList", "", &TTestBase::ClassInfo());
        return info;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    std::vector<std::shared_ptr<TTestItem>> Items;
};

void RegisterTestClasses(TCoreScriptingService& s) {
    s.RegisterScriptConstant("emIndividual", std::int64_t{1});
    s.RegisterScriptConstant("utUseExplicitTLS", std::int64_t{3});
    s.RegisterScriptConstant("Greeting", "hello");
    s.RegisterScriptEnum(TEnumInfo{"TFTPMirrorOperation", {"moLocalToRemote", "moRemoteToLocal"}});
    s.RegisterScriptMethod(TTestBase::ClassInfo(), "Describe", "", [](TPersistent& self, const auto&) {
        return TScriptValue("base " + static_cast<TTestBase&>(self).Title);
    });
    s.RegisterScriptMethod(TTestItem::ClassInfo(), "Describe", "", [](TPersistent& self, const auto&) {
        return TScriptValue("item " + static_cast<TTestItem&>(self).Title);
    });
    s.RegisterScriptMethodAs(TTestList::ClassInfo(), "AddFromScript", "Add",
                             [](TPersistent& self, const auto& args) {
                                 if (args.size() != 2 && args.size() != 3)
                                     return TScriptValue();
                                 auto item = std::make_shared<TTestItem>();
                                 item->Title = args[0].AsString();
                                 item->Lines = {args[1].AsString()};
                                 item->Enabled = args.size() == 3 ? args[2].AsBoolean() : true;
                                 static_cast<TTestList&>(self).Items.push_back(item);
                                 return TScriptValue::Object(std::static_pointer_cast<TPersistent>(item));
                             });
    s.RegisterScriptMethod(TTestList::ClassInfo(), "Item", "", [](TPersistent& self, const auto& args) {
        auto& items = static_cast<TTestList&>(self).Items;
        std::int64_t i = args.empty() ? -1 : args[0].AsInteger();
        if (i < 0 || i >= static_cast<std::int64_t>(items.size()))
            return TScriptValue();
        return TScriptValue::Object(
            std::static_pointer_cast<TPersistent>(items[static_cast<std::size_t>(i)]));
    });
    s.RegisterScriptMethod(TTestList::ClassInfo(), "Fail", "", [](TPersistent&, const auto&) -> TScriptValue {
        throw std::runtime_error("disk on fire");
    });
    s.RegisterScriptMethod(TTestList::ClassInfo(), "Echo", "",
                           [](TPersistent&, const auto& args) { return TScriptValue::Array(args); });
}

class ScriptingTest : public ::testing::Test {
protected:
    ScriptingTest() { RegisterTestClasses(Service); }

    void Run(std::string_view source, const TScriptOptions& options = {}) {
        Service.ExecuteScript("T", source, Params, options);
    }
    // The error the script ends with; a script that succeeds fails the test.
    EScriptError Failure(std::string_view name, std::string_view source, TScriptOptions options = {}) {
        try {
            Service.ExecuteScript(name, source, Params, options);
        } catch (const EScriptError& e) {
            return e;
        }
        ADD_FAILURE() << "script succeeded: " << source;
        return EScriptError(std::string(name), 0, TScriptErrorKind::Runtime, "");
    }

    TCoreScriptingService Service;
    TScriptParams Params;
    TTestList List;
    TTestItem Item;
};

TEST(ScriptValueTest, ConversionsFollowScriptRules) {
    EXPECT_TRUE(TScriptValue("TRUE").AsBoolean());
    EXPECT_FALSE(TScriptValue(" false ").AsBoolean());
    EXPECT_FALSE(TScriptValue().AsBoolean());
    EXPECT_TRUE(TScriptValue(2).AsBoolean());
    EXPECT_THROW(TScriptValue("maybe").AsBoolean(), std::invalid_argument);
    EXPECT_EQ(TScriptValue("42").AsInteger(), 42);
    EXPECT_EQ(TScriptValue(3.0).AsInteger(), 3);
    EXPECT_THROW(TScriptValue(2.5).AsInteger(), std::invalid_argument);
    EXPECT_THROW(TScriptValue(9.3e18).AsInteger(), std::invalid_argument);
    EXPECT_EQ(TScriptValue(1.0).AsString(), "1.0");
    EXPECT_EQ(TScriptValue(0.1).AsString(), "0.1");
    EXPECT_EQ(TScriptValue(-7).AsString(), "-7");
    EXPECT_EQ(TScriptValue().AsString(), "");
    try {
        (void)TScriptValue::Array({}).AsString();
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "expected a string, got array");
    }
}

TEST(ScriptEventsTest, SourcesOnlyForDeclaredEvents) {
    TScriptEvents events;
    events.AddScript("OnConnect");
    events.AddScript("OnDisconnect");
    events.AddScript("OnConnect");
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"OnConnect", "OnDisconnect"}));
    EXPECT_FALSE(events.SetSource("OnSend", "x = 1"));
    EXPECT_EQ(events.GetScriptByName("OnSend"), nullptr);
    EXPECT_EQ(events.GetScriptByName("OnConnect"), nullptr);
    EXPECT_TRUE(events.SetSource("OnConnect", "x = 1"));
    ASSERT_NE(events.GetScriptByName("OnConnect"), nullptr);
    EXPECT_EQ(*events.GetScriptByName("OnConnect"), "x = 1");
    EXPECT_TRUE(events.SetSource("OnDisconnect", " \n\t"));
    EXPECT_FALSE(events.HasScript("OnDisconnect"));
    EXPECT_TRUE(events.HasScript("OnConnect"));
}

TEST_F(ScriptingTest, ParametersAreGlobalsAndAreReadBack) {
    List.Title = "recipients";
    Params.Declare("Action", TScriptValue::Object(List));
    Params.Declare("Address", "a@b.c");
    Params.Declare("Name", "Ann");
    Params.Declare("Subject", "");
    Params.Declare("Skip", false);
    Params.Declare("Address", "ignored: a second declaration keeps the first value");
    Run(R"(
        assert(Action.Title == "recipients")
        Address = Address:upper()
        Name = Name .. " " .. Action.Title
        Skip = true
        Subject = nil
    )");
    EXPECT_EQ(Params.Names(), (std::vector<std::string>{"Action", "Address", "Name", "Subject", "Skip"}));
    EXPECT_EQ(Params.Get("Address"), TScriptValue("A@B.C"));
    EXPECT_EQ(Params.Get("Name"), TScriptValue("Ann recipients"));
    EXPECT_EQ(Params.Get("Skip"), TScriptValue(true));
    EXPECT_TRUE(Params.Get("Subject").IsNil());
    EXPECT_EQ(Params.Get("Action").AsObject(), &List);
    EXPECT_THROW((void)Params.Get("Undeclared"), std::out_of_range);
}

TEST_F(ScriptingTest, ParameterThatCannotBeReadBackFailsAndKeepsValues) {
    Params.Declare("Name", "Ann");
    Params.Declare("Skip", false);
    EScriptError e = Failure("OnSend", "Skip = true\nName = print");
    EXPECT_STREQ(e.what(), "Script \"OnSend\": parameter \"Name\": a function value cannot be passed on");
    EXPECT_EQ(Params.Get("Skip"), TScriptValue(false));
}

TEST_F(ScriptingTest, RunsDoNotShareState) {
    Run("Leftover = 1");
    Params.Declare("Leftover");
    Run("assert(Leftover == nil)");
}

TEST_F(ScriptingTest, ConstantsAndEnumerationsAreVisible) {
    Run(R"(
        assert(emIndividual == 1 and utUseExplicitTLS == 3 and Greeting == "hello")
        assert(moLocalToRemote == 0 and moRemoteToLocal == 1)
        assert(TFTPMirrorOperation.moRemoteToLocal == 1 and TFTPMirrorOperation.moLocalToRemote == 0)
    )");
    // Registering a constant again replaces its value.
    Service.RegisterScriptConstant("emIndividual", std::int64_t{5});
    Run("assert(emIndividual == 5)");
}

TEST_F(ScriptingTest, NearestClassMethodWins) {
    List.Title = "L";
    Item.Title = "I";
    TTestBase base;
    base.Title = "B";
    Params.Declare("List", TScriptValue::Object(List));
    Params.Declare("Item", TScriptValue::Object(Item));
    Params.Declare("Base", TScriptValue::Object(base));
    Params.Declare("Result");
    Run("Result = { Base:Describe(), List:Describe(), Item:Describe() }");
    EXPECT_EQ(Params.Get("Result"), TScriptValue::Array({"base B", "base L", "item I"}));
}

TEST_F(ScriptingTest, PropertiesReadAndWriteThroughTheTable) {
    Item.Mode = tmSecond;
    Item.Lines = {"a", "b"};
    Item.Ratio = 0.5;
    Params.Declare("Item", TScriptValue::Object(Item));
    Run(R"(
        assert(Item.Mode == 1)
        assert(#Item.Lines == 2 and Item.Lines[2] == "b" and Item.Count == 2)
        assert(Item.Enabled == true and Item.Ratio == 0.5)
        Item.Mode = 2
        Item.Lines = { "x", "y", 3 }
        Item.Size = "42"
        Item.Enabled = false
        Item.Title = 1.5
    )");
    EXPECT_EQ(Item.Mode, tmThird);
    EXPECT_EQ(Item.Lines, (TStringList{"x", "y", "3"}));
    EXPECT_EQ(Item.Size, 42);
    EXPECT_FALSE(Item.Enabled);
    EXPECT_EQ(Item.Title, "1.5");
    Run(R"(Item.Mode = "tmFirst"; Item.Lines = "one\r\ntwo")");
    EXPECT_EQ(Item.Mode, tmFirst);
    EXPECT_EQ(Item.Lines, (TStringList{"one", "two"}));
}

TEST_F(ScriptingTest, BadMemberUseNamesClassAndMember) {
    Params.Declare("Item", TScriptValue::Object(Item));
    Params.Declare("List", TScriptValue::Object(List));
    const std::pair<const char*, const char*> cases[] = {
        {"local x = Item.Nope", "TTestItem has no method or property \"Nope\""},
        {"Item:Nope()", "TTestItem has no method or property \"Nope\""},
        {"Item.Nope = 1", "TTestItem has no property \"Nope\""},
        {"local x = Item[1]", "TTestItem has no member indexed by a number value"},
        {"Item.Count = 3", "TTestItem.Count: the property is read-only"},
        {"Item.Describe = 1", "TTestItem:Describe is a method and cannot be assigned"},
        {"Item.Size = 1 << 40",
         "TTestItem.Size: 1099511627776 is out of range for an integer (-2147483648 to 2147483647)"},
        {"Item.Mode = 7", "TTestItem.Mode: 7 is out of range for TTestMode (0 to 2)"},
        {"Item.Mode = 'tmFourth'", "TTestItem.Mode: \"tmFourth\" is not a value of TTestMode"},
        {"Item.Enabled = {}", "TTestItem.Enabled: expected a Boolean, got array"},
        {"Item.Describe()", "TTestItem:Describe: call it on a TTestItem object, as obj:Describe(...)"},
        {"List.Item(Item, 0)", "TTestList:Item: call it on a TTestList object, as obj:Item(...)"},
        {"List:Add('a', print)", "TTestList:Add: argument 2: a function value cannot be passed on"},
        {"List:Item('x')", "TTestList:Item: \"x\" is not a whole number"},
    };
    for (const auto& [source, message] : cases) {
        EScriptError e = Failure("OnSend", std::string("-- member\n") + source);
        EXPECT_EQ(e.what(), std::string("Script \"OnSend\", line 2: ") + message) << source;
        EXPECT_EQ(e.Kind(), TScriptErrorKind::Runtime);
    }
}

TEST_F(ScriptingTest, ObjectsReturnedByMethodsAreProxies) {
    Params.Declare("List", TScriptValue::Object(List));
    Params.Declare("Kept");
    Run(R"(
        local a = List:Add("first", "a@b.c")
        assert(a.Title == "first" and a.Enabled and a.Lines[1] == "a@b.c")
        assert(List:Add("second", "c@d.e", false).Enabled == false)
        assert(List:Add("too few") == nil)
        assert(List:Item(1).Title == "second" and List:Item(2) == nil and List:Item(-1) == nil)
        assert(List:Item(0) == a and List:Item(0) ~= List:Item(1))
        assert(a:Describe() == "item first" and tostring(a) == "TTestItem")
        List:Item(1).Size = 7
        Kept = a
    )");
    ASSERT_EQ(List.Items.size(), 2u);
    EXPECT_EQ(List.Items[1]->Size, 7);
    EXPECT_EQ(Params.Get("Kept").AsObject(), List.Items[0].get());
    // The read-back value shares ownership, so it outlives the list's reference.
    std::weak_ptr<TTestItem> first = List.Items[0];
    List.Items.clear();
    EXPECT_FALSE(first.expired());
}

TEST_F(ScriptingTest, ValuesRoundTripThroughMethods) {
    Params.Declare("List", TScriptValue::Object(List));
    Params.Declare("Result");
    Run(R"(Result = List:Echo(1, 1.0, "a\0b", true, nil, { 2, { "x" } }, List))");
    EXPECT_EQ(Params.Get("Result"), TScriptValue::Array({1, 1.0, std::string("a\0b", 3), true, TScriptValue(),
                                                         TScriptValue::Array({2, TScriptValue::Array({"x"})}),
                                                         TScriptValue::Object(List)}));
    EScriptError e = Failure("T", "local t = {} t[1] = t\nList:Echo(t)");
    EXPECT_EQ(e.Message(),
              "TTestList:Echo: argument 1: tables nested too deeply (does a table contain itself?)");
}

TEST_F(ScriptingTest, ErrorsNameScriptAndLine) {
    struct TCase {
        const char* Source;
        TScriptErrorKind Kind;
        const char* Message;
    };
    const TCase cases[] = {
        {"local a = 1\n\nfoo()", TScriptErrorKind::Runtime,
         "Script \"OnSend\", line 3: attempt to call a nil value (global 'foo')"},
        {"x = 1\nx = = 2", TScriptErrorKind::Compile,
         "Script \"OnSend\", line 2: unexpected symbol near '='"},
        {"if true then\n", TScriptErrorKind::Compile,
         "Script \"OnSend\", line 2: 'end' expected (to close 'if' at line 1) near <eof>"},
        {"\n\nerror('boom')", TScriptErrorKind::Runtime, "Script \"OnSend\", line 3: boom"},
        {"\nerror('no position', 0)", TScriptErrorKind::Runtime, "Script \"OnSend\", line 2: no position"},
        {"local function f()\n  error({})\nend\nf()", TScriptErrorKind::Runtime,
         "Script \"OnSend\", line 2: (error object is a table value)"},
        {"error(42, 0)", TScriptErrorKind::Runtime, "Script \"OnSend\", line 1: 42"},
        {"\x1bLua", TScriptErrorKind::Compile,
         "Script \"OnSend\": attempt to load a binary chunk (mode is 't')"},
    };
    for (const auto& c : cases) {
        EScriptError e = Failure("OnSend", c.Source);
        EXPECT_STREQ(e.what(), c.Message) << c.Source;
        EXPECT_EQ(e.Kind(), c.Kind) << c.Source;
        EXPECT_EQ(e.ScriptName(), "OnSend");
    }
}

TEST_F(ScriptingTest, CppExceptionInMethodBecomesScriptError) {
    Params.Declare("List", TScriptValue::Object(List));
    Params.Declare("Caught");
    EScriptError e = Failure("OnSend", "local n = 1\nList:Fail()");
    EXPECT_STREQ(e.what(), "Script \"OnSend\", line 2: TTestList:Fail: disk on fire");
    Run("local ok, message = pcall(List.Fail, List)\nCaught = message");
    EXPECT_EQ(Params.Get("Caught"), TScriptValue("TTestList:Fail: disk on fire"));
}

TEST_F(ScriptingTest, SandboxOffersOnlyHarmlessLibraries) {
    for (const char* name :
         {"io", "package", "debug", "require", "dofile", "loadfile", "coroutine", "warn", "os.execute",
          "os.getenv", "os.exit", "os.remove", "os.rename", "os.tmpname", "string.dump"})
        EXPECT_NO_THROW(Run(std::string("assert(") + name + " == nil)")) << name;
    Run(R"(
        assert(type(os.time()) == "number" and os.clock() >= 0 and os.date("%Y") and os.difftime(2, 1) == 1)
        assert(string.format("%03d", 7) == "007" and table.concat({1, 2}, ",") == "1,2")
        assert(math.floor(2.5) == 2 and utf8.char(228) == "\u{E4}")
        assert(load("return 1 + 1")() == 2)
        assert(load("\27Lua") == nil)
        assert(collectgarbage("count") > 0)
    )");
    EXPECT_NE(std::string(Failure("T", "collectgarbage('stop')").what()).find("invalid option 'stop'"),
              std::string::npos);
    EXPECT_EQ(Failure("T", "setmetatable({}, { __gc = function() end })").Message(),
              "__gc metamethods are not allowed in scripts");
}

TEST_F(ScriptingTest, PrintGoesToTheSink) {
    std::vector<std::string> lines;
    TScriptOptions options;
    options.Print = [&lines](std::string_view line) { lines.emplace_back(line); };
    Params.Declare("List", TScriptValue::Object(List));
    Run("print(1, 'a', nil, true, 2.5, List)\nprint()", options);
    EXPECT_EQ(lines, (std::vector<std::string>{"1\ta\tnil\ttrue\t2.5\tTTestList", ""}));
    Run("print('dropped')"); // no sink: nothing happens
}

TEST_F(ScriptingTest, InstructionLimitEndsEndlessLoops) {
    TScriptOptions options;
    options.InstructionLimit = 200'000;
    EScriptError e = Failure("Loop", "local i = 0\nwhile true do i = i + 1 end", options);
    EXPECT_STREQ(e.what(), "Script \"Loop\", line 2: instruction limit exceeded (endless loop?)");
    EXPECT_EQ(e.Kind(), TScriptErrorKind::InstructionLimit);
    // A pcall in the script must not swallow the limit.
    e = Failure("Loop", "while true do pcall(function() while true do end end) end", options);
    EXPECT_EQ(e.Kind(), TScriptErrorKind::InstructionLimit);
    // Nor may it once the default budget runs out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Failure("Loop", "while true do end").Kind(), TScriptErrorKind::InstructionLimit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ScriptingTest, MemoryLimitEndsMemoryBombs) {
    TScriptOptions options;
    options.MemoryLimit = 8 << 20;
    options.InstructionLimit = 0;
    Params.Declare("List", TScriptValue::Object(List));
    // The last one runs out while a method's result is pushed, inside the C++ side of the call.
    for (const char* source :
         {"local t = {}\nwhile true do t[#t + 1] = string.rep('x', 4096) .. #t end",
          "local s = string.rep('x', 1 << 30)", "local s = string.rep('x', 3 << 20)\nList:Echo(s, s)"}) {
        EScriptError e = Failure("Bomb", source, options);
        EXPECT_EQ(e.Kind(), TScriptErrorKind::MemoryLimit) << e.what();
        EXPECT_EQ(e.Message(), "memory limit of 8 MiB exceeded");
    }
    // A script that catches the failed allocation goes on with what it has.
    Params.Declare("Caught");
    Run("Caught = pcall(string.rep, 'x', 1 << 30)", options);
    EXPECT_EQ(Params.Get("Caught"), TScriptValue(false));
}

TEST_F(ScriptingTest, StopFlagEndsARunningScriptPromptly) {
    std::atomic<bool> stop{false};
    TScriptOptions options;
    options.StopFlag = &stop;
    options.InstructionLimit = 0;
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stoppedAt = std::chrono::steady_clock::now();
        stop = true;
    });
    EScriptError e = Failure("OnConnect", "while true do end", options);
    auto endedAt = std::chrono::steady_clock::now();
    stopper.join();
    auto latency = endedAt - stoppedAt;
    EXPECT_STREQ(e.what(), "Script \"OnConnect\", line 1: stopped by the user");
    EXPECT_EQ(e.Kind(), TScriptErrorKind::Stopped);
    EXPECT_LT(latency, std::chrono::milliseconds(200));
    // Already stopped: the script does not start.
    EXPECT_EQ(Failure("OnConnect", "x = 1", options).Kind(), TScriptErrorKind::Stopped);
}

} // namespace
