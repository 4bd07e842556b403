#include "host/DateTime.h"
#include "net/FTPReplyText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

using namespace zr::net;

namespace {

TEST(FTPReplyText, QuotedPaths) {
    struct {
        const char* Text;
        std::optional<std::string> Path;
    } cases[] = {
        {"\"/home/user\" is the current directory", "/home/user"},
        {"\"/a \"\"quoted\"\" dir\" created", "/a \"quoted\" dir"},
        {"\"\" is odd but empty", ""},
        {"\"/unterminated", std::nullopt},
        {"/no/quotes is current", "/no/quotes"},
        {"   ", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseQuotedPath(c.Text), c.Path) << c.Text;
}

TEST(FTPReplyText, PasvReplies) {
    EXPECT_EQ(ParsePasvReply("Entering Passive Mode (127,0,0,1,195,80)."), (TPassiveAddress{"127.0.0.1", 50000}));
    EXPECT_EQ(ParsePasvReply("Entering Passive Mode 10,1,2,3,4,5"), (TPassiveAddress{"10.1.2.3", 1029}));
    EXPECT_EQ(ParsePasvReply("=127,0,0,1,0,21"), (TPassiveAddress{"127.0.0.1", 21}));
    for (const char* bad : {"Entering Passive Mode (256,0,0,1,1,1)", "Entering Passive Mode (1,2,3,4,5)",
                            "Entering Passive Mode (1,2,3,4,0,0)", "(99999999999999999999,2,3,4,5,6)", "no numbers"})
        EXPECT_EQ(ParsePasvReply(bad), std::nullopt) << bad;
}

TEST(FTPReplyText, EpsvReplies) {
    EXPECT_EQ(ParseEpsvReply("Entering Extended Passive Mode (|||6446|)"), 6446);
    EXPECT_EQ(ParseEpsvReply("Entering Extended Passive Mode (!!!21!)"), 21);
    EXPECT_EQ(ParseEpsvReply("Entering Extended Passive Mode (|||0|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvReply("Entering Extended Passive Mode (|||70000|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvReply("Entering Extended Passive Mode (||6446|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvReply("Entering Extended Passive Mode (|||6446"), std::nullopt);
    EXPECT_EQ(ParseEpsvReply("(|"), std::nullopt);
}

TEST(FTPReplyText, PassiveAddressFallsBackToTheControlPeerWhenUnreachable) {
    struct {
        const char* Pasv;
        const char* Peer;
        const char* Chosen;
    } cases[] = {
        {"0.0.0.0", "203.0.113.7", "203.0.113.7"},     // unspecified
        {"192.168.1.5", "203.0.113.7", "203.0.113.7"}, // NAT'ed server naming its private address
        {"10.0.0.2", "198.51.100.1", "198.51.100.1"},
        {"127.0.0.1", "198.51.100.1", "198.51.100.1"},  // loopback of another machine
        {"192.168.1.6", "192.168.1.5", "192.168.1.6"},  // same private network: trust it
        {"127.0.0.2", "127.0.0.1", "127.0.0.2"},
        {"198.51.100.2", "198.51.100.1", "198.51.100.2"}, // server farm with a separate data host
        {"0.0.0.0", "127.0.0.1", "127.0.0.1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChoosePassiveAddress(c.Pasv, c.Peer), c.Chosen) << c.Pasv << " via " << c.Peer;
}

TEST(FTPReplyText, NonPublicAddresses) {
    for (const char* a : {"10.1.1.1", "172.16.0.1", "172.31.255.255", "192.168.0.1", "127.0.0.1", "169.254.1.1",
                          "100.64.0.1", "0.0.0.0", "224.0.0.1", "::1", "::", "fe80::1", "fd00::1", "::ffff:10.0.0.1",
                          "not an address"})
        EXPECT_TRUE(IsNonPublicAddress(a)) << a;
    for (const char* a : {"8.8.8.8", "172.32.0.1", "100.128.0.1", "2001:db8::1", "::ffff:8.8.8.8"})
        EXPECT_FALSE(IsNonPublicAddress(a)) << a;
}

TEST(FTPReplyText, Timestamps) {
    using namespace std::chrono;
    EXPECT_EQ(ParseFTPTimestamp("20210115150405"), system_clock::from_time_t(1610723045));
    EXPECT_EQ(ParseFTPTimestamp(" 19700101000001.250 "), system_clock::from_time_t(1) + milliseconds(250));
    EXPECT_EQ(ParseFTPTimestamp("19600701120000.000000001"), system_clock::from_time_t(-299851200) + nanoseconds(1));
    for (const char* bad : {"2021011515040", "20211315150405", "20210230150405", "20210115250405", "2021011515040x",
                            "20210115150405.", "20210115150405x5", "20210115150405.1234567890", ""})
        EXPECT_FALSE(ParseFTPTimestamp(bad).has_value()) << bad;
    EXPECT_EQ(FormatFTPTimestamp(system_clock::from_time_t(1610723045) + milliseconds(999)), "20210115150405");
    EXPECT_EQ(FormatFTPTimestamp(system_clock::from_time_t(-299851200)), "19600701120000");
    EXPECT_EQ(FormatFTPTimestamp(system_clock::from_time_t(2214450367)), "20400304050607");
}

// MDTM and MLSD times reach the actions as the local wall clock, and the dates they set go back.
TEST(FTPReplyText, TimesMeetTheActionsOnTheLocalWallClock) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    using namespace std::chrono;
    auto wall = [](year_month_day date, double seconds) {
        return static_cast<double>((sys_days(date) - sys_days(1899y / 12 / 30)).count()) + seconds / 86400;
    };
    auto winter = *ParseFTPTimestamp("20210115150405.5"), summer = *ParseFTPTimestamp("20210715150405");
    double winterLocal = quillate::TimePointToDateTime(winter), summerLocal = quillate::TimePointToDateTime(summer);
    auto winterBack = quillate::DateTimeToTimePoint(winterLocal), summerBack = quillate::DateTimeToTimePoint(summerLocal);
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    EXPECT_NEAR(winterLocal, wall(2021y / 1 / 15, 16 * 3600 + 4 * 60 + 5.5), 1e-9);
    EXPECT_NEAR(summerLocal, wall(2021y / 7 / 15, 17 * 3600 + 4 * 60 + 5), 1e-9);
    EXPECT_EQ(winterBack, winter);
    EXPECT_EQ(summerBack, summer);
}

TEST(FTPReplyText, Features) {
    TReply reply{211, {"211-Features:", " MDTM", " MLST type*;size*;", " REST STREAM", "211-XCRC", "211 End"}, {}};
    auto features = ParseFeatures(reply);
    EXPECT_EQ(features, (std::vector<std::string>{"MDTM", "MLST type*;size*;", "REST STREAM", "XCRC"}));
    EXPECT_TRUE(HasFeature(features, "mlst"));
    EXPECT_TRUE(HasFeature(features, "REST"));
    EXPECT_TRUE(HasFeature(features, "XCRC"));
    EXPECT_FALSE(HasFeature(features, "MLS"));
    EXPECT_TRUE(ParseFeatures(TReply{500, {"500 FEAT not understood"}, {}}).empty());
}

TEST(FTPReplyText, ChecksumsAndSizes) {
    EXPECT_EQ(ParseXCRCReply(TReply{250, {"250-Computing CRC32 digest", "250 363A3020"}, {}}), 0x363A3020u);
    EXPECT_EQ(ParseXCRCReply(TReply{250, {"250 ffffffff"}, {}}), 0xFFFFFFFFu);
    EXPECT_EQ(ParseXCRCReply(TReply{213, {"213 0x0000abcd"}, {}}), 0xABCDu);
    EXPECT_EQ(ParseXCRCReply(TReply{250, {"250 123456789"}, {}}), std::nullopt);
    EXPECT_EQ(ParseXCRCReply(TReply{250, {"250 XYZ"}, {}}), std::nullopt);
    EXPECT_EQ(ParseSizeReply("1234"), 1234);
    EXPECT_EQ(ParseSizeReply("9223372036854775808"), std::nullopt);
    EXPECT_EQ(ParseTransferSize("Opening BINARY mode data connection for a.bin (5242880 bytes)"), 5242880);
    EXPECT_EQ(ParseTransferSize("File status okay. About to open data connection."), std::nullopt);
}

} // namespace
