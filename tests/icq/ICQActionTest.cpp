// "Send ICQ Message" against the scripted OSCAR peer, case by case from tests/data/icq/send.json (its
// head gives the format) and the cases below. No run may show a password in its log.
#include "ActionCases.h"
#include "host/CryptoUtils.h"
#include "icq/action/ZRICQAction.h"
#include "support/OSCARPeerFixture.h"

#include <chrono>

using namespace quillate;
using namespace quillate::testing;
using json = TCase;

namespace {

class ICQSend : public ::testing::TestWithParam<json> {};

TEST_P(ICQSend, DoesWhatTheCaseExpects) {
    json c = GetParam();
    const json peerScript = c.value("peer", json::object());
    TOSCARPeer::TScript script;
    script.Mode = peerScript.value("mode", script.Mode);
    script.SMS = peerScript.value("sms", script.SMS);
    script.Split = peerScript.value("split", false);
    script.Password = peerScript.value("password", script.Password);
    TOSCARPeer peer(script);
    peer.Start();

    json properties = {{"ICQNumber", std::to_string(TOSCARPeer::UIN)}, {"Server", "127.0.0.1"}, {"Port", peer.Port()},
                       {"ToICQNumber", "1002"}, {"TheMessage", "Hello"}, {"LoginTimeout", 20}};
    properties.update(c.value("properties", json::object()));
    std::string password = properties.value("password", script.Password);
    properties.erase("password");
    properties["Cookie"] = EncryptString(password, zr::TICQAction::PasswordKey);
    if (properties["Port"] == "${refused}")
        properties["Port"] = BoundSocket("127.0.0.1").LocalPort(); // bound, never listening
    json action = {{"type", "action.icq.post"}, {"properties", properties}};

    TPackageRun::TDuring during;
    std::chrono::steady_clock::time_point stopped;
    bool terminate = c.contains("terminateAtEvent");
    if (terminate || c.contains("stopAtEvent"))
        during = [&](TRunner& runner, TProject& project) {
            ASSERT_TRUE(peer.WaitForEvent(c[terminate ? "terminateAtEvent" : "stopAtEvent"],
                                          std::chrono::seconds(30)));
            stopped = std::chrono::steady_clock::now();
            if (terminate)
                project.Actions.front()->TerminateAction();
            else
                StopFromMainThread(runner);
        };
    auto started = std::chrono::steady_clock::now();
    TRunOutcome outcome;
    std::string log = RunCase(c, action, outcome, during);
    // Each way to fail is noticed as it happens: well before the 20 s login time-out ends the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << log;
    if (stopped != std::chrono::steady_clock::time_point()) {
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1)) << log;
    }
    EXPECT_EQ(OutcomeName(outcome), c["outcome"]) << log;
    ExpectCaseLog(c, log, {script.Password.c_str(), password.c_str()});

    // The goodbye is written just before the run ends; give the peer a moment to record it.
    if (c.value("events", json::array()).dump().find("goodbye") != std::string::npos)
        peer.WaitForEvent("goodbye", std::chrono::seconds(10));
    const auto events = peer.EventNames();
    std::string shown = json(peer.Events()).dump(1);
    std::size_t at = 0;
    for (const auto& name : c.value("events", json::array())) {
        auto found = std::find(events.begin() + static_cast<std::ptrdiff_t>(at), events.end(), name.get<std::string>());
        ASSERT_NE(found, events.end()) << name << " not in order in " << shown;
        at = static_cast<std::size_t>(found - events.begin()) + 1;
    }
    for (const auto& name : c.value("noEvents", json::array()))
        EXPECT_EQ(std::count(events.begin(), events.end(), name.get<std::string>()), 0) << name << " in " << shown;
    EXPECT_EQ(std::count(events.begin(), events.end(), "error"), 0) << shown;
    for (const auto& wanted : c.value("recorded", json::array())) {
        bool seen = false;
        for (const auto& line : peer.Events()) {
            json event = json::parse(line);
            bool all = true;
            for (const auto& [key, value] : wanted.items())
                all = all && event.contains(key) && event[key] == value;
            seen = seen || all;
        }
        EXPECT_TRUE(seen) << wanted.dump() << " not in " << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(Data, ICQSend, ::testing::ValuesIn(LoadCases("icq/send.json")), CaseName);

// "terminateAtEvent" ends the action by its own stop alone (TerminateAction, as a time limit of the
// host gives it, the run not stopped), once the peer records that event.
INSTANTIATE_TEST_SUITE_P(Terminated, ICQSend, ::testing::ValuesIn(json::parse(R"([
  {"name": "while_the_sms_is_unanswered", "peer": {"sms": "silent"},
   "properties": {"SendSMS": true, "ToICQNumber": "+4912345"}, "terminateAtEvent": "sms", "outcome": "failed",
   "log": ["Gave up waiting for ICQ to acknowledge or reject SMS"], "noLog": ["Message Deliverable"]}
])")),
                         CaseName);

} // namespace
