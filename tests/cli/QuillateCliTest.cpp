#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"

using namespace quillate::testing;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

class QuillateCli : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() /
               ("quillate-cli-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(FDir);
        fs::create_directories(FDir);
    }
    void TearDown() override { fs::remove_all(FDir); }

    std::string Write(const std::string& name, const std::string& text) {
        auto path = FDir / name;
        std::ofstream(path) << text;
        return path.string();
    }

    TProcessResult Quillate(std::vector<std::string> args, TProcessOptions options = {}) {
        args.insert(args.begin(), QUILLATE_BINARY);
        options.Env.emplace("QUILLATE_EXTRA_PACKAGES", TEST_ACTIONS_PACKAGE);
        options.Env.emplace("NO_COLOR", "1");
        TChildProcess process;
        return process.Run(args, options);
    }

    fs::path FDir;
};

TEST_F(QuillateCli, HelpOnEverySubcommandAndBadUsageExitsTwo) {
    for (const char* cmd : {"run", "validate", "actions", "describe", "schema", "options", "encrypt"}) {
        auto r = Quillate({cmd, "--help"});
        EXPECT_EQ(r.ExitCode, 0) << cmd;
        EXPECT_THAT(r.Out, HasSubstr("Usage:")) << cmd;
    }
    auto version = Quillate({"--version"});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_THAT(version.Out, HasSubstr("quillate 0."));
    EXPECT_THAT(version.Out, HasSubstr("libZRInternetActions.so: Quillate 5 Internet Package 0."));
    EXPECT_EQ(Quillate({}).ExitCode, 2);
    EXPECT_EQ(Quillate({"fly"}).ExitCode, 2);
    EXPECT_EQ(Quillate({"run"}).ExitCode, 2);
    EXPECT_EQ(Quillate({"run", "p.json", "--log-format", "xml"}).ExitCode, 2);
}

TEST_F(QuillateCli, RunPrintsTaggedLinesAndExitsByOutcome) {
    auto good = Write("good.json", R"J({"variables":{"Who":"world"},"actions":[
        {"type":"test.log","properties":{"Text":"hello %Who% from $(Where)","Tag":1}}]})J");
    auto r = Quillate({"run", good, "--var", "Where=cli"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_TRUE(std::regex_search(r.Out, std::regex(R"(\d\d:\d\d:\d\d  ok       hello world from cli\n)"))) << r.Out;
    EXPECT_THAT(r.Out, HasSubstr("info   Test Log\n"));

    auto bad = Write("bad.json", R"({"actions":[{"type":"test.throw","properties":{"Message":"it broke"}}]})");
    r = Quillate({"run", bad});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_THAT(r.Out, HasSubstr("error    it broke"));
}

// The loader's messages are tested with the host; here: exit 2 on stderr and nothing runs.
TEST_F(QuillateCli, BrokenProjectsAreRejectedBeforeAnythingRuns) {
    auto path = Write("p.json", R"({"actions":[{"type":"test.log","properties":{"Text":"ran"}},{"type":"action.bogus"}]})");
    auto r = Quillate({"run", path});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_THAT(r.Err, HasSubstr("p.json: actions[1]: unknown action type \"action.bogus\""));
    EXPECT_THAT(r.Out, Not(HasSubstr("ran")));
    r = Quillate({"run", (FDir / "missing.json").string()});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_THAT(r.Err, HasSubstr("missing.json: cannot open the project file"));
}

TEST_F(QuillateCli, EnvironmentSecretsStayOutOfTheLogAndMissingOnesAreUsageErrors) {
    auto path = Write("p.json", R"({"actions":[{"type":"test.log","properties":{"Text":"pw=%FTP_PASSWORD%"}}]})");
    TProcessOptions options;
    options.Env["FTP_PASSWORD"] = "Tr0ub4dor";
    auto logFile = (FDir / "run.log").string();
    auto r = Quillate({"run", path, "--env", "FTP_PASSWORD", "--log-file", logFile}, options);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_THAT(r.Out, HasSubstr("pw=********"));
    std::ifstream in(logFile);
    std::string logged((std::istreambuf_iterator<char>(in)), {});
    EXPECT_THAT(logged, HasSubstr("pw=********"));
    EXPECT_THAT(r.Out + r.Err + logged, Not(HasSubstr("Tr0ub4dor")));

    r = Quillate({"run", path, "--env", "QUILLATE_SURELY_UNSET"});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_THAT(r.Err, HasSubstr("QUILLATE_SURELY_UNSET"));
}

TEST_F(QuillateCli, JsonLinesCarryActionTagTextAndGroup) {
    auto path = Write("p.json", R"({"actions":[{"type":"test.log","description":"say it","properties":{"Text":"hi","Tag":2}}]})");
    auto r = Quillate({"run", path, "--log-format", "jsonl"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    bool found = false;
    std::istringstream lines(r.Out);
    for (std::string line; std::getline(lines, line);) {
        auto j = nlohmann::json::parse(line);
        ASSERT_TRUE(j.contains("time") && j.contains("action") && j.contains("tag") && j.contains("text") &&
                    j.contains("group"));
        if (j["text"] == "hi") {
            found = true;
            EXPECT_EQ(j["tag"], "warn");
            EXPECT_EQ(j["action"], "say it");
            EXPECT_EQ(j["group"], 1);
        }
    }
    EXPECT_TRUE(found) << r.Out;
}

TEST_F(QuillateCli, InterruptStopsTheRunningActionAndExits130) {
    auto path = Write("p.json", R"({"actions":[{"type":"test.sleep","properties":{"Milliseconds":60000}},
        {"type":"test.log","properties":{"Text":"never"}}]})");
    TProcessOptions options;
    bool sent = false;
    options.OnOutput = [&sent](const std::string& out, TChildProcess& p) {
        if (!sent && out.find("Sleeping") != std::string::npos) {
            sent = true;
            p.Signal(SIGINT);
        }
    };
    auto started = std::chrono::steady_clock::now();
    auto r = Quillate({"run", path}, options);
    EXPECT_EQ(r.ExitCode, 130) << r.Out << r.Err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_THAT(r.Out, HasSubstr("Woken early"));
    EXPECT_THAT(r.Out, HasSubstr("StopSignalled reached the action"));
    EXPECT_THAT(r.Out, HasSubstr("TerminateAction reached the action"));
    EXPECT_THAT(r.Out, Not(HasSubstr("never")));
}

TEST_F(QuillateCli, SecondInterruptEndsTheProcessAtOnce) {
    auto path = Write("p.json", R"({"actions":[{"type":"test.sleep","properties":{"Milliseconds":60000,"IgnoreStop":true}}]})");
    TProcessOptions options;
    int sent = 0;
    options.OnOutput = [&sent](const std::string& out, TChildProcess& p) {
        if (sent == 0 && out.find("Sleeping") != std::string::npos) {
            p.Signal(SIGINT);
            sent = 1;
        } else if (sent == 1 && out.find("Stop requested by the user") != std::string::npos) {
            p.Signal(SIGINT);
            sent = 2;
        }
    };
    auto started = std::chrono::steady_clock::now();
    auto r = Quillate({"run", path}, options);
    EXPECT_EQ(r.ExitCode, 130);
    EXPECT_EQ(sent, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_THAT(r.Err, HasSubstr("stopped at once"));
}

TEST_F(QuillateCli, ValidateActionsAndDescribe) {
    auto path = Write("p.json", R"({"actions":[{"type":"test.types"},{"type":"test.types","properties":{"Name":"ok"}}]})");
    auto r = Quillate({"validate", path});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_THAT(r.Out, HasSubstr("actions[0] (TTestTypesAction): Name: Name has not been set"));
    EXPECT_THAT(r.Out, Not(HasSubstr("actions[1]")));

    r = Quillate({"actions"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_THAT(r.Out, HasSubstr("Test\n"));
    EXPECT_THAT(r.Out, HasSubstr("test.log"));

    r = Quillate({"describe", "test.types"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_THAT(r.Out, HasSubstr("Mode"));
    EXPECT_THAT(r.Out, HasSubstr("TTestMode (tmFirst, tmSecond, tmThird)"));
    EXPECT_THAT(r.Out, HasSubstr("[encrypted password]"));
    EXPECT_EQ(Quillate({"describe", "test.none"}).ExitCode, 2);
}

// Every class's properties (names, kinds, initial values, help, hidden and password marks) and the
// project schema against the snapshots in tests/data/golden; QUILLATE_UPDATE_GOLDEN=1 rewrites them
// after an intended change.
TEST_F(QuillateCli, DescribeAndSchemaMatchTheirSnapshots) {
    TProcessOptions packageOnly;
    packageOnly.Env["QUILLATE_EXTRA_PACKAGES"] = "";
    const std::pair<std::vector<std::string>, const char*> snapshots[] = {{{"describe", "--all"}, "describe-all.txt"},
                                                                         {{"schema"}, "schema.json"}};
    for (const auto& [args, file] : snapshots) {
        auto r = Quillate(args, packageOnly);
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        fs::path golden = fs::path(SOURCE_DIR) / "tests/data/golden" / file;
        if (std::getenv("QUILLATE_UPDATE_GOLDEN")) {
            std::ofstream(golden) << r.Out;
            continue;
        }
        std::ifstream in(golden);
        std::string expected((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(r.Out, expected) << file << " differs; QUILLATE_UPDATE_GOLDEN=1 accepts an intended change";
    }
}

TEST_F(QuillateCli, SchemaValidatesTheExamplesAndRejectsABrokenProject) {
    auto r = Quillate({"schema"});
    ASSERT_EQ(r.ExitCode, 0);
    auto schema = Write("schema.json", r.Out);
    auto broken = Write("broken.json", R"({"actions":[{"type":"test.log","properties":{"Tag":"x"}}]})");
    std::string script = "import json,sys,glob,jsonschema\n"
                         "s=json.load(open(sys.argv[1]))\n"
                         "jsonschema.Draft202012Validator.check_schema(s)\n"
                         "v=jsonschema.Draft202012Validator(s)\n"
                         "files=sorted(glob.glob(sys.argv[2]+'/examples/*.json'))\n"
                         "assert files\n"
                         "for f in files: v.validate(json.load(open(f)))\n"
                         "assert not v.is_valid(json.load(open(sys.argv[3])))\n"
                         "print('checked', len(files))\n";
    TChildProcess python;
    auto check = python.Run({"/usr/bin/python3", "-c", script, schema, SOURCE_DIR, broken}, {});
    EXPECT_EQ(check.ExitCode, 0) << check.Err;
    EXPECT_THAT(check.Out, HasSubstr("checked"));
}

TEST_F(QuillateCli, EncryptedPasswordsRoundTripAndDamagedOnesAreNamed) {
    TProcessOptions input;
    input.Stdin = "s3cret-pw\n";
    auto r = Quillate({"encrypt", "--for", "test.types.Cookie"}, input);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_THAT(r.Out, Not(HasSubstr("s3cret-pw")));
    EXPECT_THAT(r.Err, Not(HasSubstr("s3cret-pw")));
    std::string stored = r.Out.substr(0, r.Out.find('\n'));
    ASSERT_EQ(stored.rfind("enc1:", 0), 0u) << stored;

    auto good = Write("good.json", R"({"actions":[{"type":"test.types","properties":{"Cookie":")" + stored + R"("}}]})");
    EXPECT_EQ(Quillate({"run", good}).ExitCode, 0);

    std::string damaged = stored;
    damaged[10] = damaged[10] == 'A' ? 'B' : 'A'; // inside the ciphertext, not in padding bits
    auto bad = Write("bad.json", R"({"actions":[{"type":"test.types","properties":{"Cookie":")" + damaged + R"("}}]})");
    r = Quillate({"run", bad});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_THAT(r.Err, HasSubstr("bad.json: actions[0] (test.types): property \"Cookie\""));
    EXPECT_THAT(r.Err, HasSubstr("test.types.Cookie"));

    EXPECT_EQ(Quillate({"encrypt", "--for", "test.types.Name"}, input).ExitCode, 2);
    EXPECT_EQ(Quillate({"encrypt", "--for", "nothing.Cookie"}, input).ExitCode, 2);
}

TEST_F(QuillateCli, OptionsSetEncryptsPasswordKeysAndShowHidesThem) {
    auto store = (FDir / "options.json").string();
    EXPECT_EQ(Quillate({"options", "--options", store, "set", "TestSection.TestPassword=pa55word"}).ExitCode, 0);
    EXPECT_EQ(Quillate({"options", "--options", store, "set", "TestSection.TestUser=alice"}).ExitCode, 0);
    std::ifstream in(store);
    std::string file((std::istreambuf_iterator<char>(in)), {});
    EXPECT_THAT(file, Not(HasSubstr("pa55word")));
    EXPECT_THAT(file, HasSubstr("enc1:"));
    auto r = Quillate({"options", "--options", store, "show"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_THAT(r.Out, HasSubstr("TestSection.TestUser=alice"));
    EXPECT_THAT(r.Out, HasSubstr("TestSection.TestPassword=********"));
    EXPECT_THAT(r.Out, Not(HasSubstr("pa55word")));
    EXPECT_EQ(Quillate({"options", "--options", store, "set", "NoDot=1"}).ExitCode, 2);
}

TEST_F(QuillateCli, InternetOptionsOfThePackageKeepTheirPasswordsEncrypted) {
    auto store = (FDir / "options.json").string();
    for (const char* assignment : {"Internet.FTPServer=ftp.example.org", "Internet.FTPPassword=ftp-secret",
                                   "Internet.SMTPPass=smtp-secret", "Internet.FTPPort=2121"})
        EXPECT_EQ(Quillate({"options", "--options", store, "set", assignment}).ExitCode, 0) << assignment;
    std::ifstream in(store);
    std::string file((std::istreambuf_iterator<char>(in)), {});
    EXPECT_THAT(file, Not(HasSubstr("ftp-secret")));
    EXPECT_THAT(file, Not(HasSubstr("smtp-secret")));
    auto r = Quillate({"options", "--options", store, "show"});
    EXPECT_THAT(r.Out, HasSubstr("Internet.FTPServer=ftp.example.org"));
    EXPECT_THAT(r.Out, HasSubstr("Internet.FTPPort=2121"));
    EXPECT_THAT(r.Out, HasSubstr("Internet.FTPPassword=********"));
    EXPECT_THAT(r.Out, HasSubstr("Internet.SMTPPass=********"));
}

} // namespace
