// The meter behind every transfer action's progress line: the share's two roundings, the sizes a
// transfer keeps or replaces, the pace of the lines and the texts.
#include "host/TransferMeter.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace quillate;

TEST(TransferMeter, ShareRoundsHalvesToEvenOrDownAndStaysWithin0To100) {
    struct TCase {
        std::int64_t Bytes, Expected;
        int Percent, WholePercent;
    };
    const TCase cases[] = {
        {1, 200, 0, 0},       // 0.5 rounds to the even 0
        {3, 200, 2, 1},       // 1.5 rounds to the even 2
        {199, 200, 100, 99},  // 99.5 rounds to 100, down to 99
        {300, 200, 100, 100}, // more than announced
        {5, 0, 0, 0},         // no total
    };
    for (const auto& c : cases) {
        TTransferMeter meter;
        meter.Begin(c.Expected);
        meter.Update(c.Bytes);
        EXPECT_EQ(meter.Percent(), c.Percent) << c.Bytes << "/" << c.Expected;
        EXPECT_EQ(meter.WholePercent(), c.WholePercent) << c.Bytes << "/" << c.Expected;
    }
}

TEST(TransferMeter, AnUnannouncedSizeKeepsTheKnownOneUntilTheEnd) {
    TTransferMeter meter;
    meter.SetExpected(4096);
    meter.Begin(-1);
    meter.Update(2048);
    EXPECT_EQ(meter.TransferredText(TTransferDirection::Download).substr(0, 15), "Download speed ");
    EXPECT_NE(meter.TransferredText(TTransferDirection::Download).find(" : 2/4 KBytes Transferred"),
              std::string::npos);
    meter.End();
    EXPECT_EQ(meter.Expected(), 0);
    EXPECT_EQ(meter.SpeedText(TTransferDirection::Upload), "Upload speed : 0.00 KB/s");
    EXPECT_EQ(meter.Bytes(), 2048); // the count outlives the end, for the line that follows it
}

TEST(TransferMeter, LinesComeAtTheirPaceOrAtOnceWhenAsked) {
    TTransferMeter meter;
    meter.Begin();
    EXPECT_FALSE(meter.Due(std::chrono::seconds(10)));
    meter.LineDueNow();
    EXPECT_TRUE(meter.Due(std::chrono::seconds(10)));
    EXPECT_FALSE(meter.Due(std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(meter.Due(std::chrono::milliseconds(10)));
    meter.Update(10 * 1024);
    EXPECT_GT(meter.KBPerSecond(), 0.0);
}

} // namespace
