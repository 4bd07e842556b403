// Secrets in sent lines, for logs and error texts alike (the transcripts of
// tests/data/net/masking.json), and the protocol log built on that rule.
#include "net/SentLineMasker.h"

#include "NetTestData.h"
#include "net/LogEventIntercept.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace zr::net;
using namespace quillate::testing;

namespace {

class Masking : public ::testing::TestWithParam<json> {};

TEST_P(Masking, ShowsSentLinesWithoutTheirSecrets) {
    TSentLineMasker masker;
    for (const auto& step : GetParam()["transcript"]) {
        if (step[0] == "<")
            masker.Received(step[1].get<std::string>());
        else
            EXPECT_EQ(masker.Sent(step[1].get<std::string>()), step.back()) << step[1];
    }
}

INSTANTIATE_TEST_SUITE_P(Data, Masking, ::testing::ValuesIn(LoadCases("masking.json")), CaseName);

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
                                                 "R 334 VXNlcm5hbWU6", "S ***", "R 235 ok", "R ",
                                                 "S PASS ***", "S NOOP", "R 250 ", "s Disconnecting."}))
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
    EXPECT_EQ(log, (std::vector<std::string>{"PASS ***", std::string(TLogLineSplitter::MaxLine, 'x'),
                                             "220 next", "226 bare", "227 lf\nends"}));
}

} // namespace
