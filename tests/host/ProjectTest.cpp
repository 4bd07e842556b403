// Projects: loaded and saved, what they refuse, their file sets; variable references in their texts,
// expanded, found, renamed, searched and replaced; regular expressions and file masks; the scripts of
// their actions, with the parameters they read and write and the members of host objects they call.
#include "host/Project.h"

#include "CaseFiles.h"
#include "TestActions.h"
#include "host/CryptoUtils.h"
#include "host/FileSet.h"
#include "host/RegEx.h"
#include "host/Scripting.h"
#include "host/VariableUsage.h"
#include "host/Variables.h"
#include "support/ServerProcess.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
namespace fs = std::filesystem;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

// project.json holds a property of every kind, nested children, a script and the host's settings.
TEST(Project, LoadThenSaveGivesTheSameFileAndLoadedObjectsLiveWithTheirAction) {
    const std::string text = ReadFile("project.json");
    TProject project = TProject::Parse(text, "p.json");
    EXPECT_EQ(project.ToJson(), text);

    // What the round trip cannot show: values reach the fields and every child hears Loaded.
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions.at(0));
    EXPECT_EQ(std::tie(types.FUnsigned, types.FBig, types.FMode),
              std::tuple(4000000000u, 6000000000, tmThird));
    auto& outer = dynamic_cast<TTestChild&>(*types.FChildren.at(0));
    EXPECT_TRUE(outer.FLoaded && dynamic_cast<TTestChild&>(*outer.FChildren.at(0)).FLoaded);
    EXPECT_TRUE(GetProjectObjectService().ObjectExists("first", "TestObject"));
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("first", "testobject"));
    project.Actions.clear();
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("first", "TestObject"));
}

TEST(Project, BadProjectsAreRejectedNamingFilePlaceAndCulprit) {
    for (const TCase& c : ReadBlocks("project-errors.txt"))
        EXPECT_THAT([&] { TProject::Parse(c.Sections.at("project"), "p.json"); },
                    ThrowsMessage<EProjectError>(::testing::HasSubstr(c.Sections.at("error"))))
            << c.Where;
}

std::string Repeat(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += text;
    return out;
}

// Generated here, too large to keep as data: trees past the tree limit (256) and JSON past the
// parser's (1024), each named by file and path, a deep path shortened in its middle.
TEST(Project, DeepNestingIsRejectedNamingThePath) {
    auto actions = [](std::size_t levels) {
        return R"({"actions":[)" + Repeat(R"({"type":"test.condition","actions":[)", levels) +
               R"({"type":"test.log"})" + Repeat("]}", levels) + "]}";
    };
    // The project, and how the error begins and ends.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {actions(300), "p.json: actions[0].actions[0].actions[0]",
         ".actions[0]: nested deeper than 256 levels"},
        {R"({"actions":[{"type":"test.types","children":[)" +
             Repeat(R"({"type":"test.child","children":[)", 300) + Repeat("]}", 300) + "]}]}",
         "p.json: actions[0].children[0].children[0]", ".children[0]: nested deeper than 256 levels"},
        {actions(20000), "p.json: actions[0].actions[0].actions[0]",
         "...actions[0].actions[0].actions[0]: nested deeper than 1024 levels"},
        {R"({"actions":[{"type":"test.types","properties":{"Lines":)" + Repeat("[", 20000) +
             Repeat("]", 20000) + "}}]}",
         "p.json: actions[0].properties.Lines[0]",
         "...(1012 levels)...[0][0][0][0][0][0]: nested deeper than 1024 levels"},
    };
    for (const auto& [text, begins, ends] : cases)
        EXPECT_THAT([&] { TProject::Parse(text, "p.json"); },
                    ThrowsMessage<EProjectError>(::testing::AllOf(::testing::StartsWith(begins),
                                                                  ::testing::EndsWith(ends),
                                                                  ::testing::SizeIs(::testing::Lt(300)))));
}

// What the file reader refuses is tested with it; here: the project's limit is 64 MiB.
TEST(Project, FileLargerThanTheLimitIsNotRead) {
    TTempDir dir("quillate-project");
    const std::string path = (dir.Path() / "huge.json").string();
    std::ofstream(path).put(' ');
    fs::resize_file(path, 64 * 1024 * 1024 + 1); // sparse: nothing to read if checked first
    EXPECT_THAT([&] { TProject::LoadFromFile(path); },
                ThrowsMessage<EProjectError>(StrEq(path + ": larger than the limit of 67108864 bytes")));
}

// Many keys in one object once made loading quadratic (minutes for this many).
TEST(Project, ManyVariablesLoadQuicklyInFileOrder) {
    std::string text = R"({"variables":{"V0":"0")";
    for (int i = 1; i < 200000; ++i)
        text += fmt::format(R"(,"V{}":"{}")", i, i);
    text += "}}";
    auto start = std::chrono::steady_clock::now();
    TProject project = TProject::Parse(text, "p.json");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    ASSERT_EQ(project.Variables.size(), 200000u);
    EXPECT_EQ(project.Variables[123456].first + "=" + project.Variables[123456].second, "V123456=123456");
}

TEST(FileSets, ListMasksRecursionAndExclusionsBelowABaseBesideTheProject) {
    TTempDir temp("quillate-filesets");
    const fs::path& dir = temp.Path();
    for (const char* f : {"site/index.html", "site/a.MD", "site/notes.md", "site/sub/b.md", "site/sub/c.txt",
                          "site/tmp/d.md", "site/sub/deeper/e.md"}) {
        fs::create_directories((dir / f).parent_path());
        std::ofstream(dir / f) << f;
    }
    // A link back up the tree: followed, recursion would never end.
    fs::create_directory_symlink(dir / "site", dir / "site/sub/loop");
    const std::pair<const char*, std::vector<const char*>> cases[] = {
        {R"("include":["*.md"])", {"site/a.MD", "site/notes.md"}},
        {R"("include":["*.md"],"exclude":["tmp", "sub/deeper/*"],"recursive":true)",
         {"site/a.MD", "site/notes.md", "site/sub/b.md"}},
    };
    for (const auto& [settings, files] : cases) {
        std::ofstream(dir / "p.json")
            << R"({"fileSets":[{"name":"Docs","baseDirectory":"site/",)" << settings << "}]}";
        TProject project = TProject::LoadFromFile((dir / "p.json").string());
        auto object = GetProjectObjectService().AcquireObject("Docs", FileSetCategory);
        auto set = std::dynamic_pointer_cast<IZRFileSet>(object);
        ASSERT_NE(set, nullptr);
        std::string expected;
        for (const char* file : files)
            expected += (expected.empty() ? "" : "\r\n") + (dir / file).string();
        EXPECT_EQ(set->GetFileList(), expected) << settings;
        EXPECT_EQ(set->GetBaseDirectory(), (dir / "site").string());
        EXPECT_EQ(GetProjectObjectService().AcquireObject("Docs", "AnotherCategory"), nullptr);
        GetProjectObjectService().ReleaseObject(object);
    }
    EXPECT_FALSE(GetProjectObjectService().ObjectExists("Docs", FileSetCategory))
        << "the set lives with its project";
}

TEST(Variables, ReferencesExpandAsTheTableSays) {
    TVariables vars;
    vars.Set("Site", "ftp.example.org");
    vars.Set("Port", "21");
    vars.Set("Pct", "%Site%");
    vars.Set("Empty", "");
    for (const TCase& row : ReadTable("expansion.txt"))
        ExpectOutcome<EExpansionError>(row, 1, [&] { return vars.Expand(row.Fields.at(0)); });
}

TEST(Variables, AnExpansionPastItsBoundFailsNamingTheVariable) {
    TVariables vars;
    vars.Set("Big", std::string(10 << 20, 'x'));
    EXPECT_THAT([&] { vars.Expand(Repeat("%Big%", 1000)); },
                ThrowsMessage<EExpansionError>(
                    StrEq("the text would grow past 64 MiB where it uses variable \"Big\"")));
    EXPECT_EQ(vars.Expand("%Big%%Big%").size(), 20u << 20);
}

// A literal is stored so that expansion gives back exactly what was typed.
TEST(Variables, LiteralsExpandToWhatWasTypedAndNamesAreValidated) {
    EXPECT_TRUE(TVariables::IsValidName("My.Var-1_x"));
    EXPECT_FALSE(TVariables::IsValidName(""));
    TVariables vars;
    for (const TCase& row : ReadTable("literals.txt")) {
        EXPECT_EQ(TVariables::Literal(row.Fields.at(0)), row.Fields.at(1)) << row.Where;
        EXPECT_NO_THROW(EXPECT_EQ(vars.Expand(row.Fields.at(1)), row.Fields.at(0)) << row.Where) << row.Where;
    }
}

const char* const CookieKey = "t3stk3y4cook1";

// References in every form and place: a property, a list's lines, a stored password, a stored child,
// a child action, a variable an action sets; with "%%", "$$(" and names that begin with another.
TProject Sample() {
    return TProject::Parse(
        fmt::format(R"json({{"variables": {{"Host": "h", "HostName": "n", "Pct": "p", "Idle": "i"}},
 "actions": [
  {{"type": "test.log", "properties": {{"Text": "to %Host% and $(HostName), 100%% and $$(Host) %Pct%",
    "Label": "%Missing%", "ResultVariable": "Out"}}}},
  {{"type": "test.condition", "description": "Host check", "actions": [
    {{"type": "test.types", "properties": {{"Name": "%Out%", "Lines": ["a $(Host)", "%Hostx%"], "Cookie": "{}"}},
     "children": [{{"type": "test.child", "properties": {{"Name": "$(Inner) Host"}}}}]}}]}}]}})json",
                    TCryptoUtils::EncryptString("%Host%", CookieKey)),
        "sample.json");
}

// "0:Text" for the first action's Text, "1.0:Lines" for the first child action of the second.
std::string Place(const TProject& project, const TTextLocation& where) {
    std::function<std::string(const std::vector<std::shared_ptr<TZRAction>>&, const std::string&)> find =
        [&](const auto& actions, const std::string& prefix) -> std::string {
        for (std::size_t i = 0; i < actions.size(); ++i) {
            std::string path = prefix + std::to_string(i);
            if (actions[i].get() == where.Action)
                return path + ":" + where.Property;
            if (auto inner = find(actions[i]->ChildActions(), path + "."); !inner.empty())
                return inner;
        }
        return {};
    };
    return find(project.Actions, "");
}

TEST(VariableUsage, UsesUnusedAndUndefinedAreFoundInEveryText) {
    TProject project = Sample();
    TVariableReport report = FindVariableUses(project);
    const std::map<std::string, std::vector<std::string>> uses{
        {"Host", {"0:Text", "1.0:Lines", "1.0:Cookie"}},
        {"HostName", {"0:Text"}},
        {"Pct", {"0:Text"}},
        {"Idle", {}},
        {"Missing", {"0:Label"}},
        {"Out", {"0:ResultVariable", "1.0:Name"}},
        {"Hostx", {"1.0:Lines"}},
        {"Inner", {"1.0:children[0].Name"}},
    };
    std::map<std::string, std::vector<std::string>> found;
    for (const auto& [name, where] : report.Uses) {
        auto& places = found[name]; // a variable no text uses is listed too
        for (const auto& w : where)
            places.push_back(Place(project, w));
    }
    EXPECT_EQ(found, uses);
    EXPECT_EQ(report.Unused, std::vector<std::string>{"Idle"});
    std::vector<std::string> undefined;
    for (const auto& [name, where] : report.Undefined)
        undefined.push_back(name + "@" + Place(project, where));
    EXPECT_EQ(undefined,
              (std::vector<std::string>{"Missing@0:Label", "Hostx@1.0:Lines", "Inner@1.0:children[0].Name"}));
}

TEST(VariableUsage, RenameRewritesEachReferenceInItsOwnFormOnly) {
    for (const TCase& row : ReadTable("renames.txt")) {
        std::string text = row.Fields.at(0);
        EXPECT_EQ(TVariables::RenameReferences(text, row.Fields.at(1), row.Fields.at(2)),
                  std::stoi(row.Fields.at(4)))
            << row.Where;
        EXPECT_EQ(text, row.Fields.at(3)) << row.Where;
    }

    TProject project = Sample();
    EXPECT_EQ(RenameVariable(project, "Host", "Server"), 3);
    EXPECT_EQ(project.Variables.at(0), (std::pair<std::string, std::string>("Server", "h")));
    EXPECT_EQ(std::get<std::string>(project.Actions[0]->GetPropertyValue("Text")),
              "to %Server% and $(HostName), 100%% and $$(Host) %Pct%");
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions[1]->ChildActions()[0]);
    EXPECT_EQ(types.FLines, (TStringList{"a $(Server)", "%Hostx%"}));
    EXPECT_EQ(TCryptoUtils::DecryptString(types.FCookie, CookieKey), "%Server%");

    // A variable an action sets is renamed where it is set and where it is used.
    EXPECT_EQ(RenameVariable(project, "Out", "Result"), 2);
    EXPECT_EQ(types.FName, "%Result%");
    EXPECT_EQ(std::get<std::string>(project.Actions[0]->GetPropertyValue("ResultVariable")), "Result");
}

TEST(VariableUsage, ARenameThatCannotBeDoneChangesNothing) {
    TProject project = Sample();
    const std::string before = project.ToJson();
    for (auto [from, to] :
         {std::pair{"Host", "HostName"}, {"Host", "no space"}, {"Host", ""}, {"%Host%", "X"}})
        EXPECT_THROW(RenameVariable(project, from, to), std::invalid_argument) << from << " -> " << to;
    EXPECT_EQ(project.ToJson(), before);
}

TEST(VariableUsage, SearchAndReplaceReachEveryTextButPasswords) {
    // The text looked for, whether in its letter case, the places found and the texts replaced.
    const std::tuple<std::string, bool, std::vector<std::string>, int> rows[] = {
        {"Host", true, {"0:Text", "1:description", "1.0:Lines", "1.0:children[0].Name"}, 7},
        {"host", true, {}, 0},
        {"HOST", false, {"0:Text", "1:description", "1.0:Lines", "1.0:children[0].Name"}, 7},
        {"%%", true, {"0:Text"}, 1},
        {"", false, {}, 0},
    };
    for (const auto& [needle, matchCase, places, replaced] : rows) {
        TProject project = Sample();
        std::vector<std::string> found;
        for (const auto& match : SearchTexts(project, needle, matchCase))
            found.push_back(Place(project, match.Where));
        EXPECT_EQ(found, places) << needle;
        EXPECT_EQ(ReplaceTexts(project, needle, "Peer", matchCase), replaced) << needle;
        EXPECT_TRUE(SearchTexts(project, needle, matchCase).empty()) << needle;
    }

    // Plain text, not references: "$$(Host)" holds "$(Host)" too.
    TProject project = Sample();
    ASSERT_EQ(ReplaceTexts(project, "$(Host)", "[$(Peer)]", true), 2);
    auto& types = dynamic_cast<TTestTypesAction&>(*project.Actions[1]->ChildActions()[0]);
    EXPECT_EQ(types.FLines, (TStringList{"a [$(Peer)]", "%Hostx%"}));
    EXPECT_EQ(TCryptoUtils::DecryptString(types.FCookie, CookieKey), "%Host%");
    const std::string before = project.ToJson();
    EXPECT_THROW(ReplaceTexts(project, "Host", "a\r\nQUIT", true), std::invalid_argument);
    EXPECT_EQ(project.ToJson(), before);
}

TEST(RegEx, PatternsAndMasksMatchAsTheTablesSay) {
    for (const auto& row : ReadTable("regex.txt"))
        ExpectOutcome<ERegExError>(row, 3, [&]() -> std::string {
            return RegEx::IsMatch(row.Fields.at(0), row.Fields.at(1), row.Fields.at(2) == "anycase") ? "yes"
                                                                                                     : "no";
        });
    for (const auto& row : ReadTable("masks.txt"))
        ExpectOutcome<ERegExError>(row, 2, [&]() -> std::string {
            return MatchesMask(row.Fields.at(0), row.Fields.at(1)) ? "yes" : "no";
        });
}

TEST(RegEx, BoundedCacheStaysCorrectUnderConcurrentEviction) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            // More patterns than the cache holds, so threads evict each other's entries while matching.
            for (int i = 0; i < 2000; ++i) {
                int n = (i * 7 + t) % 300;
                std::string pattern = fmt::format("^x{}y$", n);
                if (!RegEx::IsMatch(fmt::format("X{}Y", n), pattern, true) ||
                    RegEx::IsMatch(fmt::format("X{}Y", n), pattern, false))
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(RegEx::CachedPatterns(), RegEx::CacheCapacity);
}

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
        Params.Declare("Child", TScriptValue::Object(Child));
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
    TTestChild Child;
};

TEST_F(ScriptingTest, FailuresNameScriptLineAndCulprit) {
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
    EXPECT_EQ(Params.Names(), (std::vector<std::string>{"Action", "Child", "Name", "Subject", "Skip"}));
    EXPECT_EQ(std::tuple(Params.Get("Name"), Params.Get("Skip"), Params.Get("Subject")),
              std::tuple(TScriptValue("ANN recipients"), TScriptValue(true), TScriptValue()));
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
    for (const TCase& row : ReadTable("script-runs.txt"))
        EXPECT_NO_THROW(Run(row.Fields.at(0))) << row.Where;
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
