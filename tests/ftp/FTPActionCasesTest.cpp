// Action cases kept as data in tests/data/ftp (README.txt there gives the format): each sets up a real
// server or a scripted peer and a local folder, runs a project and compares the log, the commands sent,
// the variables and the trees it leaves with what the case writes down.
#include "PackageTestSupport.h"
#include "ftp/script/ZRFTPScriptAction.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "support/SSHServerFixture.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <set>
#include <unistd.h>
#include <utime.h>

using namespace quillate;
using namespace quillate::testing;
using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

namespace {

struct TActionCase {
    std::string Name; // file_case_server (file_case_tls_server over TLS), the test's own name
    std::string Server; // an FTP server's kind, "peer", "none" or "SFTP" (sshd)
    std::string TLS; // "plain", "explicit" or "implicit"
    json Case;
};

// A case runs over SFTP as well when nothing in it is FTP's own: not TLS alone, a scripted or hostile
// FTP peer, a proxy, refusals of FTP commands, a raw command, checksums where the server offers them, or
// a stop waiting for a protocol line; "sftp": false leaves out a case that holds for FTP only for a reason
// it gives.
bool HasSFTPMeaning(const json& c) {
    auto tls = c.value("tls", std::vector<std::string>{"plain"});
    if (std::find(tls.begin(), tls.end(), "plain") == tls.end() || c.contains("peer") ||
        c.value("servers", json()) == "none" || c.contains("proxy") || c.contains("hostile") ||
        c.contains("denied") || c.value("sftp", true) == false)
        return false;
    for (const json& run : c.contains("runs") ? c["runs"] : json::array({c})) {
        for (const auto& action : run.at("project").at("actions"))
            if (action.is_object() &&
                (action.value("type", "") == "action.ftp.sendcmd" ||
                 (action.value("properties", json::object()).value("CheckFileCRC", false) &&
                  !c.value("withoutChecksums", false))))
                return false;
        for (const char* stop : {"stopAt", "terminateAt"})
            if (run.contains(stop) && (run[stop].get<std::string>().starts_with("Sent: ") ||
                                       run[stop].get<std::string>().starts_with("Recv: ")))
                return false;
    }
    return true;
}

std::vector<TActionCase> LoadCases() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(QUILLATE_FTP_CASES_DIR))
        if (entry.path().extension() == ".json")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<TActionCase> cases;
    for (const auto& file : files) {
        json doc = json::parse(std::ifstream(file), nullptr, true, /*ignore_comments=*/true);
        for (const auto& c : doc.at("cases")) {
            // "servers": one name, a list of names, or both of pyftpdlib and ProFTPD when absent.
            json servers =
                c.contains("peer") ? json("peer") : c.value("servers", json::array({"pyftpdlib", "ProFTPD"}));
            if (!servers.is_array())
                servers = json::array({servers});
            const std::string name = file.stem().string() + "_" + c.at("name").get<std::string>() + "_";
            for (std::string tls : c.value("tls", std::vector<std::string>{"plain"}))
                for (std::string kind : servers)
                    // pyftpdlib serves explicit TLS only.
                    if (tls != "implicit" || kind != "pyftpdlib")
                        cases.push_back({name + (tls == "plain" ? "" : tls + "_") + kind, kind, tls, c});
            if (HasSFTPMeaning(c))
                cases.push_back({name + "SFTP", "SFTP", "plain", c});
        }
    }
    return cases;
}

// "{*}" in an expected line stands for any text.
bool Matches(const std::string& expected, const std::string& actual) {
    std::size_t star = expected.find("{*}");
    if (star == std::string::npos)
        return expected == actual;
    if (actual.compare(0, star, expected, 0, star) != 0)
        return false;
    for (std::size_t from = star; from <= actual.size(); ++from)
        if (Matches(expected.substr(star + 3), actual.substr(from)))
            return true;
    return false;
}

// An expected line that starts with "{ftp}" comes over FTP only, one with "{sftp}" over SFTP only.
json ForProtocol(const json& expected, bool sftp) {
    json lines = json::array();
    for (std::string line : expected) {
        const std::string own = sftp ? "{sftp}" : "{ftp}", other = sftp ? "{ftp}" : "{sftp}";
        if (line.starts_with(own))
            lines.push_back(line.substr(own.size()));
        else if (!line.starts_with(other))
            lines.push_back(line);
    }
    return lines;
}

void ExpectLines(const char* what, const json& expected, const std::vector<std::string>& actual) {
    bool same = expected.size() == actual.size();
    for (std::size_t i = 0; same && i < actual.size(); ++i)
        same = Matches(expected[i].get<std::string>(), actual[i]);
    EXPECT_TRUE(same) << what << " expected:\n" << expected.dump(2) << "\nactual:\n" << json(actual).dump(2);
}

// Entries of a tree: "folder/", "file=content", "link -> target".
void Plant(const fs::path& root, const json& entries, TFTPTestServer* server, const TSSHTestServer* ssh) {
    for (std::string entry : entries) {
        std::size_t arrow = entry.find(" -> "), equals = entry.find('=');
        if (arrow != std::string::npos) {
            fs::create_symlink(entry.substr(arrow + 4), root / entry.substr(0, arrow));
        } else if (entry.ends_with('/')) {
            server ? server->MakeDir(entry) : (void)fs::create_directories(root / entry);
        } else if (server) {
            server->PutFile(entry.substr(0, equals), entry.substr(equals + 1));
        } else {
            WriteFileIn(root / entry.substr(0, equals), entry.substr(equals + 1));
        }
    }
    // The SSH account owns its home as a user owns what he made there, links too.
    if (ssh) {
        const passwd* account = ::getpwnam(ssh->User().c_str());
        ASSERT_NE(account, nullptr);
        for (const auto& e : fs::recursive_directory_iterator(root))
            ASSERT_EQ(::lchown(e.path().c_str(), account->pw_uid, account->pw_gid), 0) << e.path();
    }
}

std::vector<std::string> Tree(const fs::path& root) {
    std::vector<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string path = e.path().lexically_relative(root).generic_string();
        if (e.is_symlink())
            entries.push_back(path + " -> " + fs::read_symlink(e.path()).string());
        else
            entries.push_back(path + (e.is_directory() ? "/" : "=" + ReadTextFile(e.path())));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Texts the case writes as "${name}": the local folder, the server's port, a port where nothing listens.
using TPlaceholders = std::vector<std::pair<std::string, std::string>>;

// Cases write remote paths as an FTP server shows them, its home being "/"; over SFTP the server shows
// the account's real home, which stands where a case writes "/".
struct TRemoteRoot {
    std::string Home; // empty over FTP
    std::string Shown(std::string text) const {
        return Home.empty() ? text : ReplaceAll(ReplaceAll(text, Home + "/", "/"), Home, "/");
    }
};

// The run's log without protocol lines, one line an entry: two blanks a group level, then the tag
// (". " information, "+ " success, "! " warning, "x " error) and the text with the placeholders put back.
std::vector<std::string> Transcript(const TPackageRun& run, const TPlaceholders& placeholders,
                                    const TRemoteRoot& root) {
    std::vector<std::string> lines;
    for (const auto& e : run.Log.Entries()) {
        if (e.Text.starts_with("Sent: ") || e.Text.starts_with("Recv: ") || e.Text.starts_with("Status: "))
            continue;
        std::string text = root.Shown(e.Text);
        for (const auto& [name, value] : placeholders)
            text = ReplaceAll(text, value, name);
        lines.push_back(std::string(static_cast<std::size_t>(e.Group) * 2, ' ') + ".+!x"[e.Tag] + " " + text);
    }
    return lines;
}

// The passphrase of the key an FTP script action logs in with over SFTP.
constexpr const char* ScriptKeyPassphrase = "script-key-phrase";

// How "connect" reaches the server beyond host and port: TLS, or SFTP with the sshd's account.
struct TTarget {
    std::string TLS = "plain";
    const TSSHTestServer* SSH = nullptr;
    TRemoteRoot Root;
    std::string ScriptKey; // over SFTP, authorised and locked by ScriptKeyPassphrase
};

// "connect" in a list of actions opens "Site" on the server; {"connect": {...}} adds properties to it.
// Over TLS the connect and every FTP script action ask for it unless the case says otherwise; over SFTP
// both log in to the sshd's account trusting its host key, the connect by password, the script action by
// a key alone.
json Actions(const json& actions, std::uint16_t port, const std::string& address, const TTarget& target) {
    json security = json::object(), sftp = json::object();
    if (target.TLS != "plain")
        security["Security"] = target.TLS == "explicit" ? "fsExplicit" : "fsImplicit";
    if (target.SSH)
        sftp = {{"Protocol", "cpSFTP"}, {"HostKeyFingerprint", target.SSH->HostKeyFingerprint()}};
    json result = json::array();
    for (const auto& action : actions) {
        json step = action;
        if (action == "connect" || action.contains("connect")) {
            step = json::parse(
                SiteConnectJson(port, {}, target.SSH ? target.SSH->User() : TFTPTestServer::User));
            step["properties"]["FTPHost"] = address;
            step["properties"].update(security);
            step["properties"].update(sftp);
            if (action.is_object())
                step["properties"].update(action["connect"]);
        } else if (action.value("type", "") == "action.ftp.script") {
            step["properties"] = security;
            step["properties"].update(action.at("properties"));
            step["properties"].update(sftp);
            if (target.SSH) {
                step["properties"]["UserID"] = target.SSH->User();
                step["properties"].erase("EncryptedPassword");
                step["properties"]["PrivateKeyFile"] = target.ScriptKey;
                step["properties"]["PrivateKeyCookie"] =
                    EncryptString(ScriptKeyPassphrase, zr::TFTPAction::PasswordKey);
            }
        } else if (step.contains("properties") && !target.Root.Home.empty()) {
            // A value that starts with "/" is a remote path from the server's home (local paths are written
            // from ${local}).
            for (auto& [name, value] : step["properties"].items())
                if (value.is_string() && value.get<std::string>().starts_with("/"))
                    value = target.Root.Home + value.get<std::string>();
        }
        result.push_back(step);
    }
    return result;
}

// The run's project as text: the placeholders filled in, a port where it is a whole value as a number.
std::string ProjectText(const json& run, std::uint16_t port, const std::string& address, const TTarget& target,
                        const TPlaceholders& placeholders) {
    json project = run.at("project");
    project["actions"] = Actions(project["actions"], port, address, target);
    std::string text = project.dump();
    for (const auto& [name, value] : placeholders) {
        if (value.find_first_not_of("0123456789") == std::string::npos)
            text = ReplaceAll(text, "\"" + name + "\"", value);
        text = ReplaceAll(text, name, value);
    }
    return ReplaceAll(text, "${scriptPassword}",
                   EncryptString(TFTPTestServer::Password, zr::TFTPAction::PasswordKey));
}

// Compares what the run did with what the run of the case expects.
void ExpectRun(const json& run, const TPackageRun& result, const TPlaceholders& placeholders,
               const TTarget& target, const fs::path& remoteHome, const fs::path& local) {
    const char* outcomes[] = {"Succeeded", "Failed", "Stopped"};
    const bool sftp = target.SSH != nullptr;
    EXPECT_EQ(outcomes[static_cast<int>(result.Outcome)], run.value("outcome", "Succeeded"));
    if (run.contains("log"))
        ExpectLines("log", ForProtocol(run["log"], sftp), Transcript(result, placeholders, target.Root));
    // The commands are FTP's: over SFTP the rest of the run shows what they did.
    if (run.contains("sent") && !sftp) {
        // Only the commands whose verbs the case names, in the order sent; none when it names none.
        std::set<std::string> verbs;
        for (std::string command : run["sent"])
            verbs.insert(command.substr(0, command.find(' ')));
        auto sent = result.SentCommands();
        std::erase_if(sent, [&](const std::string& s) {
            return !verbs.empty() && !verbs.contains(s.substr(0, s.find(' ')));
        });
        json expected = run["sent"];
        // Commands spread over the listing connections come in any order.
        if (run.value("sentInAnyOrder", false)) {
            std::ranges::sort(sent);
            std::sort(expected.begin(), expected.end());
        }
        ExpectLines("sent", expected, sent);
    }
    if (run.contains("progress")) {
        // Each expected line comes, in this order, among the progress the run reported.
        std::vector<std::string> shown;
        for (const auto& line : result.ProgressLines())
            shown.push_back(line.Text + " @" + std::to_string(line.Percent));
        auto at = shown.begin();
        for (std::string expected : run["progress"]) {
            at = std::find_if(at, shown.end(), [&](const std::string& s) { return Matches(expected, s); });
            ASSERT_NE(at, shown.end()) << expected << " is not among\n" << json(shown).dump(2);
            ++at;
        }
    }
    // null: the variable is not defined.
    const json variables = run.value("variables", json::object());
    for (const auto& [name, value] : variables.items()) {
        auto actual = result.Variables.Get(name);
        if (actual)
            actual = target.Root.Shown(*actual);
        EXPECT_TRUE(value.is_null() ? !actual : actual && Matches(value, *actual))
            << name << " is " << actual.value_or("not defined");
    }
    if (run.contains("serverTree") && !remoteHome.empty())
        ExpectLines("server tree", run["serverTree"], Tree(remoteHome));
    if (run.contains("localTree"))
        ExpectLines("local tree", run["localTree"], Tree(local));
    EXPECT_FALSE(result.AnyLineContains(TFTPTestServer::Password)) << "the password reached the log";
    EXPECT_FALSE(result.AnyLineContains(ScriptKeyPassphrase)) << "the key's passphrase reached the log";
    EXPECT_EQ(result.Outstanding, 0);
}

void PrintTo(const TActionCase& c, std::ostream* out) {
    *out << c.Name;
}

class FTPActionCase : public ::testing::TestWithParam<TActionCase> {};

TEST_P(FTPActionCase, RunsAsWritten) {
    const json& c = GetParam().Case;
    const std::string address = c.value("address", "127.0.0.1");
    auto ca = TrustTestCA(!c.value("untrustedCA", false));
    // Host options (switches, true unless set) the case sets hold for its runs only.
    struct THostOptions {
        json Saved = json::object();
        void Write(const json& options) {
            auto section = OptionsService().Store().Section("Host");
            for (const auto& [key, value] : options.items()) {
                Saved.emplace(key, section.ReadBool(key, true));
                section.WriteBool(key, value.get<bool>());
            }
        }
        ~THostOptions() { Write(json(Saved)); }
    } hostOptions;
    std::unique_ptr<TFTPTestServer> server;
    std::unique_ptr<TLinePeer> peer;
    std::unique_ptr<TSSHTestServer> ssh;
    TTarget target;
    target.TLS = GetParam().TLS;
    fs::path remoteHome;
    std::uint16_t port = 0;
    if (GetParam().Server == "SFTP") {
        ssh = std::make_unique<TSSHTestServer>();
        ssh->Start();
        port = ssh->Port();
        remoteHome = ssh->Home();
        target.SSH = ssh.get();
        target.Root.Home = ssh->Home().string();
        target.ScriptKey = (ssh->Scratch() / "script-key").string();
        ssh->MakeKey(target.ScriptKey, ScriptKeyPassphrase, true);
    } else if (GetParam().Server == "peer") {
        std::vector<TLineScript> sessions;
        for (const auto& session : c["peer"])
            sessions.push_back(ScriptFromSteps(session.get<std::vector<std::string>>()));
        peer = std::make_unique<TLinePeer>(sessions);
        port = peer->Port();
    } else if (GetParam().Server != "none") {
        server = std::make_unique<TFTPTestServer>(GetParam().Server == "ProFTPD"     ? TFTPServerKind::skProFTPD
                                                  : GetParam().Server == "PureFTPd"  ? TFTPServerKind::skPureFTPd
                                                                                     : TFTPServerKind::skPyftpdlib);
        if (c.value("withoutChecksums", false))
            server->SetWithoutChecksums();
        if (c.contains("hostile"))
            server->SetHostile(c["hostile"].get<std::vector<std::string>>());
        if (c.contains("denied")) {
            server->SetDeniedCommands(c["denied"].value("commands", ""));
            server->SetDeniedNames(c["denied"].value("names", ""));
        }
        server->SetAddress(address);
        if (GetParam().TLS != "plain")
            server->SetTLS(GetParam().TLS == "explicit" ? TFTPServerTLS::stExplicit
                                                        : TFTPServerTLS::stImplicit);
        server->Start();
        port = server->Port();
        remoteHome = server->Home();
    }
    TTempDir local("quillate-case");
    // Relative local names are taken from the working folder, which is the local tree during the case.
    struct TWorkingFolder {
        fs::path Saved = fs::current_path();
        ~TWorkingFolder() { fs::current_path(Saved); }
    } restore;
    fs::current_path(local.Path());
    TPlaceholders placeholders = {{"${local}", local.Path().string()},
                                  {"${freePort}", std::to_string(FindFreePort())}};
    if (port != 0)
        placeholders.emplace_back("${port}", std::to_string(port));
    std::optional<TFTPMagicUserProxy> proxy;
    if (c.value("proxy", false))
        placeholders.emplace_back("${proxyPort}", std::to_string(proxy.emplace().Port()));
    int index = 0;
    for (const json& run : c.contains("runs") ? c["runs"] : json::array({c})) {
        SCOPED_TRACE("run " + std::to_string(++index));
        Plant(local.Path(), run.value("local", json::array()), nullptr, nullptr);
        if (!remoteHome.empty()) {
            Plant(remoteHome, run.value("server", json::array()), server.get(), ssh.get());
            const json dates = run.value("serverDates", json::object());
            for (const auto& [path, time] : dates.items()) {
                const utimbuf times{time.get<time_t>(), time.get<time_t>()};
                ASSERT_EQ(::utime((remoteHome / path).c_str(), &times), 0) << path;
            }
        }
        // Folders of the server's home the account may not write to, or not even enter.
        for (std::string folder : run.value("readOnly", json::array()))
            fs::permissions(remoteHome / folder, fs::perms::owner_write, fs::perm_options::remove);
        for (std::string folder : run.value("noAccess", json::array()))
            fs::permissions(remoteHome / folder, fs::perms::none);
        EnsurePackageRegistered();
        hostOptions.Write(c.value("hostOptions", json::object()));
        TProject project = TProject::Parse(ProjectText(run, port, address, target, placeholders),
                                           GetParam().Name + ".json");
        TPackageRun result;
        if (run.contains("stopAt") || run.contains("terminateAt")) {
            // Stopped as the user stops a run; with "stopAt" no action is terminated, so each ends at
            // its own next check.
            bool terminate = run.contains("terminateAt");
            if (!terminate)
                for (auto& action : project.Actions)
                    action->SetCanTerminate(false);
            result.OnLine = [stopAt = run[terminate ? "terminateAt" : "stopAt"].get<std::string>(),
                             root = target.Root,
                             stopped = false](const TLogEntry& entry, TRunner& runner) mutable {
                if (!stopped && Matches(stopAt, root.Shown(entry.Text))) {
                    stopped = true;
                    runner.RequestStop();
                }
            };
        }
        result.Run(project);
        ExpectRun(run, result, placeholders, target, remoteHome, local.Path());
    }
}

INSTANTIATE_TEST_SUITE_P(Data, FTPActionCase, ::testing::ValuesIn(LoadCases()),
                         [](const auto& info) { return info.param.Name; });

} // namespace
