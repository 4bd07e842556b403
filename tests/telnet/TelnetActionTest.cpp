// "Telnet Client" against busybox telnetd and the scripted peer, case by case from
// tests/data/telnet/actions.json (its README gives the format). No case's log may hold the password.
#include "ActionCases.h"
#include "support/TelnetServerFixture.h"

#include <thread>

using namespace quillate;
using namespace quillate::testing;
using json = TCase;
using Clock = std::chrono::steady_clock;

namespace {

json Item(const json& row) {
    json properties = {{"SendText", row.at(0)}, {"WaitFor", row.size() > 1 ? row[1] : json("")},
                       {"WaitTimeout", row.size() > 2 ? row[2] : json(5000)}};
    for (std::size_t i = 3; i < row.size(); ++i) {
        if (row[i] == "fail")
            properties["FailIfTimedOut"] = true;
        else if (row[i] == "disabled")
            properties["Enabled"] = false;
    }
    return {{"type", "telnet.scriptitem"}, {"properties", properties}};
}

class TelnetAction : public ::testing::TestWithParam<json> {};

TEST_P(TelnetAction, RunsAsTheCaseExpects) {
    const std::string server = GetParam()["server"];
    const std::string password = GetParam().value("serverPassword", TTelnetTestServer::Password);
    TTelnetTestServer telnetd;
    TScriptedTelnetPeer peer;
    std::uint16_t port = 0;
    if (server.starts_with("busybox")) {
        telnetd.Start(server == "busybox-echo", password);
        port = telnetd.Port();
    } else if (server.starts_with("peer:")) {
        peer.Start(server.substr(5));
        port = peer.Port();
    } else {
        port = FindFreePort();
    }
    const json c = json::parse(ReplaceAll(GetParam().dump(), "${port}", std::to_string(port)));

    json properties = {{"Host", "127.0.0.1"}, {"Port", port}, {"UserName", TTelnetTestServer::User},
                       {"Password", TTelnetTestServer::Password}};
    properties.update(c.value("properties", json::object()));
    json items = json::array();
    for (const auto& row : c["items"])
        items.push_back(Item(row));

    TPackageRun run;
    std::atomic<bool> paused{false}, waiting{false};
    std::atomic<Clock::rep> stoppedAt{0}, terminatedAt{0};
    run.OnLine = [&](const TLogEntry& entry, TRunner&) {
        if (c.contains("pauseAt") && !paused && entry.Text.find(c["pauseAt"].get<std::string>()) != std::string::npos) {
            paused = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        if (entry.Text.starts_with("STATUS: Waiting ["))
            waiting = true;
        if (entry.Text == "Action Terminated by User")
            terminatedAt = Clock::now().time_since_epoch().count();
    };
    TPackageRun::TDuring during;
    if (c.value("stopInWait", false))
        during = [&](TRunner& runner, TProject&) {
            for (auto until = Clock::now() + std::chrono::seconds(30); !waiting && Clock::now() < until;)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stoppedAt = Clock::now().time_since_epoch().count();
            runner.RequestStop();
        };
    TRunOutcome outcome;
    const std::string log =
        RunCase(c, {{"type", "telnet.client"}, {"properties", properties}, {"children", items}}, outcome,
                during, &run);
    EXPECT_EQ(OutcomeName(outcome), c["outcome"]) << log;
    ExpectCaseLog(c, log, {password.c_str()});
    if (c.value("stopInWait", false)) {
        ASSERT_NE(terminatedAt.load(), 0) << log;
        EXPECT_LT(Clock::duration(terminatedAt - stoppedAt), std::chrono::milliseconds(100));
    }
    if (c.contains("connections")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(peer.Connections(), c["connections"].get<int>());
    }
}

INSTANTIATE_TEST_SUITE_P(Data, TelnetAction, ::testing::ValuesIn(LoadCases("telnet/actions.json")), CaseName);

} // namespace
