// The Telnet pieces that need no server: the protocol parser fed in every cut, the receive buffer's
// bound, the log cleaning and masking, and the action's stored form.
#include "../net/NetTestData.h"
#include "PackageTestSupport.h"
#include "net/TelnetParser.h"
#include "telnet/ZRTelnetClient.h"
#include "telnet/ZRTelnetReceive.h"

#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;

namespace {

constexpr char IAC = '\xff', WILL = '\xfb', WONT = '\xfc', DO = '\xfd', DONT = '\xfe', SB = '\xfa', SE = '\xf0';
constexpr char ECHO = 1, SGA = 3, TTYPE = 24, NAWS = 31;
using Bytes = std::string; // Bytes({IAC, WILL, ECHO}): the bytes as they are

struct TParserCase {
    const char* Name;
    std::string Input, Data, Answers;
    friend void PrintTo(const TParserCase& c, std::ostream* os) { *os << c.Name; }
};

const TParserCase ParserCases[] = {
    {"plain_text", "login: ", "login: ", ""},
    {"doubled_iac_is_one_data_byte", "a" + Bytes({IAC, IAC}) + "b", "a\xff" "b", ""},
    {"server_echo_and_sga_accepted_the_rest_refused",
     Bytes({IAC, WILL, ECHO, IAC, WILL, SGA, IAC, DO, SGA, IAC, DO, ECHO, IAC, DO, TTYPE, IAC, DO, NAWS, IAC, WILL,
            '\xc8'}),
     "", Bytes({IAC, DO, ECHO, IAC, DO, SGA, IAC, WILL, SGA, IAC, WONT, ECHO, IAC, WONT, TTYPE, IAC, WONT, NAWS, IAC,
                DONT, '\xc8'})},
    {"a_request_repeated_is_answered_once", Bytes({IAC, WILL, ECHO, IAC, WILL, ECHO}), "", Bytes({IAC, DO, ECHO})},
    {"subnegotiation_and_commands_are_not_data",
     "x" + Bytes({IAC, SB, TTYPE, 1, IAC, SE}) + "y" + Bytes({IAC, '\xf1', IAC, '\xf9'}) + "z", "xyz", ""},
};

class TelnetParser : public ::testing::TestWithParam<TParserCase> {};

TEST_P(TelnetParser, SameDataAndAnswersWhereverTheInputIsCut) {
    const auto& c = GetParam();
    for (const auto& pieces : Splits(c.Input)) {
        zr::net::TTelnetParser parser;
        std::string data, answers;
        for (auto piece : pieces) {
            auto received = parser.Receive(piece);
            data += received.Data;
            answers += received.Answers;
        }
        ASSERT_EQ(data, c.Data) << pieces.size() << " pieces";
        ASSERT_EQ(answers, c.Answers) << pieces.size() << " pieces";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TelnetParser, ::testing::ValuesIn(ParserCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// A subnegotiation past libtelnet's buffer is a fault, and the rest of it is never taken for data.
TEST(TelnetParser, AnOverlongSubnegotiationIsDroppedWhole) {
    zr::net::TTelnetParser parser;
    auto first = parser.Receive("x" + Bytes({IAC, SB, TTYPE}) + std::string(20000, 'p'));
    auto rest = parser.Receive(std::string(100, 'p') + Bytes({IAC, IAC, IAC, SE}) + "y");
    EXPECT_EQ(first.Data + rest.Data, "xy");
    EXPECT_FALSE(first.Fault.empty());
}

// Lines go out with IAC doubled and CR LF; the log keeps printables up to "z" and line ends; received
// bytes read as ASCII; secrets are masked.
TEST(TelnetText, IsEncodedCleanedDecodedAndMasked) {
    EXPECT_EQ(zr::net::TTelnetParser().EncodeLine("a\xff" "b"), "a\xff\xff" "b\r\n");
    EXPECT_EQ(zr::CleanLogText("\x1b[1mA z{|}~\t\x7f\r\n\xc3\xa9!"), "[1mA z\r\n!");
    EXPECT_EQ(zr::DecodeAscii("a\xc3\xa9\x7f"), "a??\x7f");
    EXPECT_EQ(zr::MaskSecret("pw: s3 s3s3", "s3"), "pw: ******** ****************");
    EXPECT_EQ(zr::MaskSecret("nothing", ""), "nothing");
}

TEST(TelnetReceive, BufferKeepsTheLastMiBAndTakeEmptiesIt) {
    zr::TTelnetReceiveBuffer buffer;
    buffer.Append("early");
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 48; ++i)
        buffer.Append(chunk);
    buffer.Append("prompt> ");
    EXPECT_EQ(buffer.Text().size(), zr::TTelnetReceiveBuffer::Limit);
    EXPECT_FALSE(buffer.Contains("early"));
    EXPECT_TRUE(buffer.Take("prompt> "));
    EXPECT_EQ(buffer.Text(), "");
    buffer.Append(std::string(3 * zr::TTelnetReceiveBuffer::Limit, 'y') + "end");
    EXPECT_TRUE(buffer.Contains("yend"));
    EXPECT_EQ(buffer.Text().size(), zr::TTelnetReceiveBuffer::Limit);
}

// A prompt followed at once by more than the bound, before the wait looks: found, whether it came in one
// piece or split over two reads, and only by the wait that expected it.
TEST(TelnetReceiveBuffer, AWaitFindsItsPromptThoughMoreThanTheBoundFollows) {
    const std::string flood(16 * zr::TTelnetReceiveBuffer::Limit, 'x');
    for (const auto& pieces : {std::vector<std::string>{"login: " + flood},
                               std::vector<std::string>{"...log", "in: " + flood, flood}}) {
        zr::TTelnetReceiveBuffer buffer;
        buffer.Expect("login: ");
        for (const auto& piece : pieces)
            buffer.Append(piece);
        EXPECT_TRUE(buffer.Contains("login: "));
        EXPECT_TRUE(buffer.Take("login: "));
        buffer.Append("login: " + flood);
        EXPECT_FALSE(buffer.Take("login: ")) << "no wait expected it";
    }
}

TEST(TelnetAction, ProjectSavesBackAsLoadedWithItemsAndTheEncryptedPassword) {
    EnsurePackageRegistered();
    auto action = std::make_shared<zr::TTelnetClientAction>();
    action->SetPassword("pw-1234");
    action->AddScriptItem("@PASSWORD", "Password:", 500, true, true);
    action->AddScriptItem("ls", "", 2000, false, false);
    TProject saved;
    saved.Actions.push_back(action);
    const std::string text = saved.ToJson();
    EXPECT_EQ(text.find("pw-1234"), std::string::npos) << text;
    TProject loaded = TProject::Parse(text, "p");
    EXPECT_EQ(loaded.ToJson(), text);
    auto& copy = dynamic_cast<zr::TTelnetClientAction&>(*loaded.Actions.at(0));
    EXPECT_EQ(copy.GetPassword(), "pw-1234");
    ASSERT_EQ(copy.GetScriptItemCount(), 2);
    EXPECT_EQ(copy.GetScriptItem(0)->FWaitTimeout, 500);
    EXPECT_FALSE(copy.GetScriptItem(1)->FEnabled);
    EXPECT_EQ(copy.GetScriptItem(2), nullptr);
}

} // namespace
