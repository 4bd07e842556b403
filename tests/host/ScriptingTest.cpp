#include "host/Scripting.h"

#include "CaseFiles.h"
#include "TestActions.h"
#include "host/Project.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;

namespace {

void RegisterTestMembers(TCoreScriptingService& s) {
    s.RegisterScriptConstant("emIndividual", std::int64_t{1});
    s.RegisterScriptConstant("Greeting", "hello");
    s.RegisterScriptEnum(TEnumInfo{"TFTPMirrorOperation", {"moLocalToRemote", "moRemoteToLocal"}});
    s.RegisterScriptMethod(
        TSerializableObject::ClassInfo(), "Describe", "",
        [](TPersistent& self, const auto&) { return TScriptValue("base " + self.ClassName()); });
    s.RegisterScriptMethod(TTestTypesAction::ClassInfo(), "Describe", "", [](TPersistent& self, const auto&) {
        return TScriptValue("types " + static_cast<TTestTypesAction&>(self).FName);
    });
    s.RegisterScriptMethodAs(TTestTypesAction::ClassInfo(), "AddFromScript", "Add",
                             [](TPersistent& self, const auto& args) {
                                 if (args.size() != 2)
                                     return TScriptValue();
                                 auto child = std::make_shared<TTestChild>();
                                 child->FName = args[0].AsString();
                                 child->FCount = static_cast<std::int32_t>(args[1].AsInteger());
                                 static_cast<TTestTypesAction&>(self).FChildren.push_back(child);
                                 return TScriptValue::Object(std::static_pointer_cast<TPersistent>(child));
                             });
    s.RegisterScriptMethod(
        TTestTypesAction::ClassInfo(), "Fail", "",
        [](TPersistent&, const auto&) -> TScriptValue { throw std::runtime_error("disk on fire"); });
    s.RegisterScriptMethod(TTestTypesAction::ClassInfo(), "Echo", "",
                           [](TPersistent&, const auto& args) { return TScriptValue::Array(args); });
}

class ScriptingTest : public ::testing::Test {
protected:
    ScriptingTest() {
        RegisterTestMembers(Service);
        Params.Declare("Action", TScriptValue::Object(Action));
    }

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
    TTestTypesAction Action;
};

TEST_F(ScriptingTest, FailuresNameScriptLineAndCulprit) {
    TTestChild child;
    Params.Declare("Child", TScriptValue::Object(child));
    TScriptOptions limits;
    limits.InstructionLimit = 200'000;
    limits.MemoryLimit = 8 << 20;
    const char* const kinds[] = {"compile", "runtime", "instructions", "memory", "stopped"};
    for (const TCase& row : ReadTable("script-errors.txt")) {
        EScriptError e = Failure("OnSend", row.Fields.at(0), limits);
        EXPECT_EQ(kinds[static_cast<int>(e.Kind())], row.Fields.at(1)) << row.Where;
        EXPECT_EQ(e.what(), row.Fields.at(2)) << row.Where;
        EXPECT_EQ(e.ScriptName(), "OnSend");
    }
}

TEST_F(ScriptingTest, ParametersAreGlobalsAndAreReadBack) {
    Action.FName = "recipients";
    Params.Declare("Name", "ann");
    Params.Declare("Subject", "");
    Params.Declare("Skip", false);
    Params.Declare("Name", "ignored: a second declaration keeps the first value");
    Run(R"(
        Name = Name:upper() .. " " .. Action.Name
        Skip = true
        Subject = nil
    )");
    EXPECT_EQ(Params.Names(), (std::vector<std::string>{"Action", "Name", "Subject", "Skip"}));
    EXPECT_EQ(Params.Get("Name"), TScriptValue("ANN recipients"));
    EXPECT_EQ(Params.Get("Skip"), TScriptValue(true));
    EXPECT_TRUE(Params.Get("Subject").IsNil());
    EXPECT_EQ(Params.Get("Action").AsObject(), &Action);
    EXPECT_THROW((void)Params.Get("Undeclared"), std::out_of_range);

    // A value that cannot be read back fails the run, and no parameter changes.
    EScriptError e = Failure("OnSend", "Skip = false\nName = print");
    EXPECT_STREQ(e.what(), "Script \"OnSend\": parameter \"Name\": a function value cannot be passed on");
    EXPECT_EQ(Params.Get("Skip"), TScriptValue(true));

    // Globals of one run are gone in the next.
    Run("Fresh = 1");
    Run("assert(Fresh == nil)");
}

TEST_F(ScriptingTest, ScriptsOfTheTableRunToTheirEnd) {
    TTestChild child;
    Params.Declare("Child", TScriptValue::Object(child));
    for (const TCase& row : ReadTable("script-runs.txt")) {
        try {
            Run(row.Fields.at(0));
        } catch (const EScriptError& e) {
            ADD_FAILURE() << row.Where << ": " << e.what();
        }
    }
    // Registering a constant again replaces its value.
    Service.RegisterScriptConstant("emIndividual", std::int64_t{5});
    Run("assert(emIndividual == 5)");
}

TEST_F(ScriptingTest, AssignmentsConvertAsTheTableSays) {
    for (const TCase& row : ReadTable("script-assignments.txt")) {
        Run(row.Fields.at(0));
        const std::string& name = row.Fields.at(1);
        TPropertyValue value = Action.GetPropertyValue(name);
        EXPECT_EQ(PropertyValueToJson(*Action.Properties().Find(name), value).dump(), row.Fields.at(2))
            << row.Where;
    }
}

TEST_F(ScriptingTest, ValuesAndObjectsPassThroughMethods) {
    Params.Declare("Kept");
    Params.Declare("Result");
    Run(R"(
        local a = Action:Add("first", 1)
        assert(a.Name == "first" and a.Count == 1 and Action:Add("too few") == nil)
        local b = Action:Add("second", 2)
        assert(Action:Echo(a)[1] == a and a ~= b and b.Count == 2)
        assert(a:Describe() == "base TTestChild" and tostring(a) == "TTestChild")
        b.Count = 7
        local ok, message = pcall(Action.Fail, Action)
        assert(not ok and message == "TTestTypesAction:Fail: disk on fire")
        Kept = a
        Result = Action:Echo(1, 1.0, "a\0b", true, nil, { 2, { "x" } }, Action)
    )");
    EXPECT_EQ(Params.Get("Result"), TScriptValue::Array({1, 1.0, std::string("a\0b", 3), true, TScriptValue(),
                                                         TScriptValue::Array({2, TScriptValue::Array({"x"})}),
                                                         TScriptValue::Object(Action)}));
    ASSERT_EQ(Action.FChildren.size(), 2u);
    EXPECT_EQ(dynamic_cast<TTestChild&>(*Action.FChildren[1]).FCount, 7);
    EXPECT_EQ(Params.Get("Kept").AsObject(), Action.FChildren[0].get());
    // The read-back value shares ownership, so it outlives the action's reference.
    std::weak_ptr<TSerializableObject> first = Action.FChildren[0];
    Action.FChildren.clear();
    EXPECT_FALSE(first.expired());
}

TEST_F(ScriptingTest, PrintGoesToTheSink) {
    std::vector<std::string> lines;
    TScriptOptions options;
    options.Print = [&lines](std::string_view line) { lines.emplace_back(line); };
    Run("print(1, 'a', nil, true, 2.5, Action)\nprint()", options);
    EXPECT_EQ(lines, (std::vector<std::string>{"1\ta\tnil\ttrue\t2.5\tTTestTypesAction", ""}));
    Run("print('dropped')"); // no sink: nothing happens
}

TEST_F(ScriptingTest, AStopEndsARunningScriptPromptly) {
    std::stop_source stop;
    TScriptOptions options;
    options.Stop = stop.get_token();
    options.InstructionLimit = 0;
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stoppedAt = std::chrono::steady_clock::now();
        stop.request_stop();
    });
    EScriptError e = Failure("OnConnect", "while true do end", options);
    auto endedAt = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_STREQ(e.what(), "Script \"OnConnect\", line 1: stopped by the user");
    EXPECT_EQ(e.Kind(), TScriptErrorKind::Stopped);
    EXPECT_LT(endedAt - stoppedAt, std::chrono::milliseconds(200));
    // Already stopped: the script does not start.
    EXPECT_EQ(Failure("OnConnect", "x = 1", options).Kind(), TScriptErrorKind::Stopped);
}

} // namespace
