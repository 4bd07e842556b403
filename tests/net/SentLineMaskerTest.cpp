// Secrets in sent lines, for logs and error texts alike, and the protocol log built on that rule.
#include "net/LogEventIntercept.h"
#include "net/SentLineMasker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zr::net;

namespace {

// "> line" is sent and must be shown as the text after " => " (unchanged without it); "< line" is
// the server's.
struct TMaskCase {
    const char* Name;
    std::vector<std::string> Transcript;
};

class Masking : public ::testing::TestWithParam<TMaskCase> {};

TEST_P(Masking, ShowsSentLinesWithoutTheirSecrets) {
    TSentLineMasker masker;
    for (const auto& step : GetParam().Transcript) {
        if (step.starts_with("< ")) {
            masker.Received(step.substr(2));
            continue;
        }
        std::size_t arrow = step.find(" => ");
        std::string line = step.substr(2, arrow == std::string::npos ? std::string::npos : arrow - 2);
        std::string shown = arrow == std::string::npos ? line : step.substr(arrow + 4);
        EXPECT_EQ(masker.Sent(line), shown);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, Masking,
    ::testing::Values(
        TMaskCase{"ftp", {"> USER bob", "> PASS secret => PASS ***", "> pass secret => pass ***",
                          "> AcCt account words => AcCt ***", "> PASS", "> CWD /pub/PASS x", "> PASSIVE x",
                          "> AUTH TLS", "< 234 go ahead", "> USER bob"}},
        TMaskCase{"pop3", {"> USER bob", "> PASS pw => PASS ***", "> APOP bob c4c9334bac560ecc => APOP bob ***"}},
        TMaskCase{"pop3_sasl", {"> AUTH PLAIN", "< + ", "> AGJvYgBwdw== => ***", "< +OK", "> STAT"}},
        TMaskCase{"nntp", {"> AUTHINFO USER bob", "> AUTHINFO PASS pw => AUTHINFO PASS ***",
                           "> authinfo pass pw => authinfo pass ***", "> AUTHINFO SASL PLAIN AGJvYg== => AUTHINFO SASL PLAIN ***",
                           "< 383 more", "> AGJv => ***", "< 281 ok", "> LIST"}},
        TMaskCase{"smtp_login", {"> AUTH LOGIN", "< 334 VXNlcm5hbWU6", "> Ym9i => ***", "< 334 UGFzc3dvcmQ6",
                                 "> cHc= => ***", "< 235 2.7.0 Accepted", "> MAIL FROM:<a@example.org>"}},
        TMaskCase{"smtp_initial_response", {"> AUTH LOGIN Ym9i => AUTH LOGIN ***", "< 334 UGFzc3dvcmQ6",
                                            "> cHc= => ***", "< 535 5.7.8 failed", "> AUTH PLAIN AGJvYgBwdw== => AUTH PLAIN ***",
                                            "< 235 ok", "> QUIT"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(LogEventIntercept, LogsWholeLinesWhereverChunksEndAndMasksSentOnes) {
    const std::string greeting = "220-Wel\r\n220 ready\r\r\n", afterLogin = "235 ok\r\n\r\n250 ";
    for (std::size_t cut = 0; cut <= afterLogin.size(); ++cut) {
        std::vector<std::string> log;
        TLogEventIntercept intercept([&](TLogEventType type, std::string_view text) {
            log.push_back(std::string(1, "RSs"[static_cast<int>(type)]) + " " + std::string(text));
        });
        auto receive = [&](std::string_view data) {
            intercept.Received(data.substr(0, std::min(cut, data.size())));
            intercept.Received(data.substr(std::min(cut, data.size())));
        };
        receive(greeting);
        intercept.Sent("AUTH LOG");
        intercept.Sent("IN\r\n");
        receive("334 VXNlcm5hbWU6\r\n");
        intercept.Sent("Ym9i\r\n");
        receive(afterLogin);
        intercept.Sent("PA");
        intercept.Sent("SS hunter2\r\nNOOP\r\n");
        intercept.Status(TConnectionStatus::csDisconnecting, "Disconnecting.");
        EXPECT_EQ(log, (std::vector<std::string>{"R 220-Wel", "R 220 ready", "R ", "S AUTH LOGIN",
                                                 "R 334 VXNlcm5hbWU6", "S ***", "R 235 ok", "R ", "S PASS ***",
                                                 "S NOOP", "R 250 ", "s Disconnecting."}))
            << "cut at " << cut;
    }
}

TEST(LogEventIntercept, CutsOverlongLinesAndHoldsNoLineOfABareLFPeer) {
    std::vector<std::string> log;
    TLogEventIntercept intercept([&](TLogEventType, std::string_view text) { log.emplace_back(text); });
    intercept.Sent("PASS " + std::string(TLogLineSplitter::MaxLine + 10, 's') + "\r\n");
    intercept.Received(std::string(3 * TLogLineSplitter::MaxLine, 'x'));
    intercept.Received("tail\r\n220 next\r\n");
    intercept.Received("226 bare\n");
    intercept.Received("227 lf\nends\n");
    EXPECT_EQ(log, (std::vector<std::string>{"PASS ***", std::string(TLogLineSplitter::MaxLine, 'x'), "220 next",
                                             "226 bare", "227 lf\nends"}));
}

} // namespace
