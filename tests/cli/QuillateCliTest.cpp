#include "support/FTPServerFixture.h"
#include "support/LinePeer.h"
#include "support/ServerProcess.h"

#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/socket.h>
#include <sstream>
#include <thread>

using namespace quillate::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// A name server that takes every question and answers none: runs made after it is started see it as
// their only name server, through a mount namespace of their own where it is /etc/resolv.conf.
class TSilentNameServer {
public:
    // On the first loopback address from 127.0.0.77 on whose port 53 is free: cases run side by side.
    explicit TSilentNameServer(const fs::path& folder) : FResolvConf(folder / "resolv.conf") {
        for (int last = 77; last < 127 && FAddress.empty(); ++last) {
            TSocket socket(::socket(AF_INET, SOCK_DGRAM, 0));
            std::string candidate = "127.0.0." + std::to_string(last);
            sockaddr_storage address{};
            socklen_t length = SocketAddress(candidate, 53, address);
            if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) == 0) {
                FSocket = std::move(socket);
                FAddress = candidate;
            }
        }
        if (FAddress.empty())
            throw std::runtime_error("no loopback address has port 53 free for the silent name server");
        WriteTextFile(FResolvConf, "nameserver " + FAddress + "\noptions timeout:30 attempts:1\n");
    }
    // The command line that runs argv with the silent server as its resolver.
    std::vector<std::string> Wrap(std::vector<std::string> argv) const {
        std::vector<std::string> wrapped = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                            "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                                            FResolvConf.string()};
        wrapped.insert(wrapped.end(), argv.begin(), argv.end());
        return wrapped;
    }

private:
    fs::path FResolvConf;
    std::string FAddress;
    TSocket FSocket;
};

const fs::path DataDir = fs::path(SOURCE_DIR) / "tests/data/cli";

// A case of tests/data/cli/cases.txt (the folder's header says the format): steps by line number.
struct TCliCase {
    std::string Name;
    std::vector<std::pair<int, std::string>> Steps;
    friend void PrintTo(const TCliCase& c, std::ostream* out) { *out << c.Name; }
};

std::vector<TCliCase> LoadCases() {
    std::vector<TCliCase> cases;
    std::istringstream in(ReadTextFile(DataDir / "cases.txt"));
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.starts_with("case "))
            cases.push_back({line.substr(5), {}});
        else if (!cases.empty() && !line.empty() && !line.starts_with('#'))
            cases.back().Steps.emplace_back(number, line);
    }
    return cases;
}

// The text before the first `separator` and the text after it.
std::pair<std::string, std::string> Split(const std::string& text, char separator = ' ') {
    auto at = text.find(separator);
    return {text.substr(0, at), at == std::string::npos ? std::string() : text.substr(at + 1)};
}

class QuillateCli : public ::testing::TestWithParam<TCliCase> {};

TEST_P(QuillateCli, Case) {
    TTempDir dir("quillate-cli");
    const fs::path out = dir.Path() / ".out", err = dir.Path() / ".err";
    TServerOptions options{
        .Environment = {{"NO_COLOR", "1"}, {"QUILLATE_EXTRA_PACKAGES", TEST_ACTIONS_PACKAGE}},
        .LogFile = out,
        .ErrorFile = err};
    std::unique_ptr<TLinePeer> peer; // outlives the run, so that it checks what quillate sent
    std::unique_ptr<TSilentNameServer> nameServer;
    std::chrono::steady_clock::time_point interrupted;
    TServerProcess quillate;
    for (const auto& [number, text] : GetParam().Steps) {
        SCOPED_TRACE("tests/data/cli/cases.txt:" + std::to_string(number) + ": " + text);
        std::string lastOut = ReadTextFile(out);
        if (lastOut.ends_with('\n'))
            lastOut.pop_back();
        auto substitute = [&](std::string step) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"@DATA@", DataDir.string()},
                                             {"@SOURCE@", SOURCE_DIR},
                                             {"@TMP@", dir.Path().string()},
                                             {"@OUT@", lastOut},
                                             {"@PORT@", peer ? std::to_string(peer->Port()) : "0"}})
                step = ReplaceAll(step, key, value);
            return step;
        };
        auto [word, rest] = Split(substitute(text));
        if (word == "env") {
            options.Environment.push_back(Split(rest, '=')); // a later setting wins
        } else if (word == "stdin") {
            options.InputFile = dir.Path() / ".in";
            WriteTextFile(options.InputFile, rest + "\n");
        } else if (word == "write") {
            WriteTextFile(dir.Path() / Split(rest).first, Split(rest).second);
        } else if (word == "copy") {
            WriteTextFile(dir.Path() / Split(rest).first, substitute(ReadTextFile(Split(rest).second)));
        } else if (word == "peer") {
            std::vector<TLineScript> sessions;
            for (const auto& steps : nlohmann::json::parse(ReadTextFile(rest)))
                sessions.push_back(ScriptFromSteps(steps.get<std::vector<std::string>>()));
            peer = std::make_unique<TLinePeer>(sessions);
        } else if (word == "silent-name-server") {
            nameServer = std::make_unique<TSilentNameServer>(dir.Path());
        } else if (word == "run") {
            options.Argv = {QUILLATE_BINARY};
            std::istringstream args(rest);
            for (std::string arg; std::getline(args, arg, ' ');)
                options.Argv.push_back(arg);
            if (nameServer)
                options.Argv = nameServer->Wrap(options.Argv);
            fs::remove(out);
            fs::remove(err);
            quillate.Start(options);
        } else if (word == "interrupt") {
            for (int poll = 0; poll < 1500 && ReadTextFile(out).find(rest) == std::string::npos; ++poll)
                std::this_thread::sleep_for(20ms); // half a minute at most
            ASSERT_THAT(ReadTextFile(out), HasSubstr(rest));
            interrupted = std::chrono::steady_clock::now();
            quillate.Signal(SIGINT);
        } else if (word == "exit") {
            auto [status, bound] = Split(rest, ' ');
            EXPECT_EQ(quillate.Wait(30s), std::stoi(status)) << ReadTextFile(out) << ReadTextFile(err);
            if (bound.starts_with("within ")) {
                EXPECT_LE(std::chrono::steady_clock::now() - interrupted, std::stoi(bound.substr(7)) * 1ms)
                    << "from the interrupt to the end";
            }
        } else {
            auto [check, expected] = Split(rest);
            std::string seen = ReadTextFile(word == "out" ? out : word == "err" ? err : dir.Path() / word);
            if (check == "has")
                EXPECT_THAT(seen, HasSubstr(expected));
            else if (check == "lacks")
                EXPECT_THAT(seen, ::testing::Not(HasSubstr(expected)));
            else if (check == "like")
                EXPECT_TRUE(std::regex_search(seen, std::regex(expected))) << seen;
            else if (check == "is" && std::getenv("QUILLATE_UPDATE_GOLDEN"))
                WriteTextFile(DataDir.parent_path() / expected, seen);
            else if (check == "is")
                EXPECT_EQ(seen, ReadTextFile(DataDir.parent_path() / expected)) << "an intended change?";
            else
                FAIL() << "not a step";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuillateCli, ::testing::ValuesIn(LoadCases()),
                         [](const auto& info) { return info.param.Name; });

// The schema is valid JSON Schema 2020-12, the examples conform to it, and a project with a property
// of the wrong type does not.
TEST(QuillateSchema, ValidatesTheExamplesAndRejectsABrokenProject) {
    TTempDir dir("quillate-schema");
    const fs::path schema = dir.Path() / "schema.json", log = dir.Path() / "check.log";
    ASSERT_EQ(RunProcess({QUILLATE_BINARY, "schema"}, {}, schema), 0);
    const std::string script = "import json,sys,glob,jsonschema\n"
                               "s=json.load(open(sys.argv[1]))\n"
                               "jsonschema.Draft202012Validator.check_schema(s)\n"
                               "v=jsonschema.Draft202012Validator(s)\n"
                               "files=sorted(glob.glob(sys.argv[2]+'/examples/*.json'))\n"
                               "assert files\n"
                               "for f in files: v.validate(json.load(open(f)))\n"
                               "assert not v.is_valid(json.load(open(sys.argv[3])))\n";
    EXPECT_EQ(RunProcess({"/usr/bin/python3", "-c", script, schema, SOURCE_DIR, DataDir / "wrong-type.json"},
                         {}, log),
              0)
        << ReadTextFile(log);
}

} // namespace
