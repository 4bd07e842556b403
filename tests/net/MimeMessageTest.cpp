// The composed message read back with GMime's parser: character sets, and the failures that must stop
// a message before it is written. Headers, trees of text parts and attachments are checked through
// the mail actions' cases.
#include "net/MimeMessage.h"

#include "MimeParse.h"
#include "support/ServerProcess.h"

#include <fstream>
#include <sys/stat.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::HasSubstr;

namespace {

class MimeMessageTest : public ::testing::Test {
public:
    std::string PathOf(const std::string& name) const { return (Dir.Path() / name).string(); }

protected:
    MimeMessageTest() {
        // Several write blocks long, so that a failing sink is seen to stop the write at once.
        std::ofstream(Dir.Path() / "report.pdf", std::ios::binary) << std::string(200000, '\xfe');
        Message.From = {"Sender", "from@example.org"};
        Message.To = {{"", "to@example.org"}};
        Message.Subject = "test";
    }
    std::string Written() const {
        std::string text;
        Message.Write([&](std::string_view chunk) { text += chunk; });
        return text;
    }

    TTempDir Dir{"quillate-mime"};
    TMimeMessage Message;
};

// A message filled in by Fill, and the failure it raises.
struct TCase {
    const char* Name;
    std::function<void(TMimeMessage&, const MimeMessageTest&)> Fill;
    const char* Expected;
};

struct TCharsetCase {
    const char* Charset;
    const char* Sample; // UTF-8
};

class MimeCharsets : public MimeMessageTest, public ::testing::WithParamInterface<TCharsetCase> {};

TEST_P(MimeCharsets, SubjectNamesAndTextComeBackAsWritten) {
    const std::string sample = GetParam().Sample;
    Message.Charset = GetParam().Charset;
    Message.Subject = Message.From.Name = sample;
    Message.Body = sample + "\n.\n" + sample;
    TParsedMessage parsed = ParseMessage(Written());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(g_mime_message_get_subject(parsed.get()), sample);
    EXPECT_EQ(internet_address_get_name(internet_address_list_get_address(g_mime_message_get_from(parsed.get()), 0)),
              sample);
    GMimeObject* body = g_mime_message_get_mime_part(parsed.get());
    std::string charset = GetParam().Charset;
    std::transform(charset.begin(), charset.end(), charset.begin(), [](char c) { return g_ascii_tolower(c); });
    EXPECT_EQ(Shape(body), "text/plain;" + charset);
    std::string text = Content(body);
    std::erase(text, '\r');
    EXPECT_EQ(text, sample + "\n.\n" + sample + "\n");
}

INSTANTIATE_TEST_SUITE_P(Sets, MimeCharsets, ::testing::Values(
    TCharsetCase{"UTF-8", "Grüße 日本 🙂"}, TCharsetCase{"iso-8859-1", "Grüße, señor"},
    TCharsetCase{"ISO-8859-2", "Zażółć gęślą jaźń"}, TCharsetCase{"ISO-8859-3", "Ĉu ĝi ŝanĝiĝas"},
    TCharsetCase{"ISO-8859-6", "مرحبا"}, TCharsetCase{"ISO-8859-7", "Καλημέρα"},
    TCharsetCase{"ISO-8859-8-I", "שלום"}, TCharsetCase{"ISO-8859-9", "Günaydın şişe"},
    TCharsetCase{"ISO-8859-10", "Þórður ŋ"}, TCharsetCase{"ISO-8859-13", "Ąžuolas ūkis"},
    TCharsetCase{"ISO-8859-15", "Prix 5 € œuvre"}, TCharsetCase{"GB2312", "中文测试"},
    TCharsetCase{"gb18030", "中文測試 🙂"}, TCharsetCase{"Big5", "中文測試"}, TCharsetCase{"KOI8-R", "Привет"},
    TCharsetCase{"Windows-1251", "Привет, мир"}, TCharsetCase{"windows-1255", "שלום"},
    TCharsetCase{"ISO-2022-JP", "日本語テスト"}, TCharsetCase{"EUC-KR", "안녕하세요"}, TCharsetCase{"TIS-620", "สวัสดี"}),
    [](const auto& info) { return "Set" + std::to_string(info.index); });

class MimeFaults : public MimeMessageTest, public ::testing::WithParamInterface<TCase> {};

TEST_P(MimeFaults, FailBeforeAnythingIsWritten) {
    Message.Body = "text";
    GetParam().Fill(Message, *this);
    // The check a sender makes before its first command finds the same fault.
    EXPECT_THAT([&] { Message.Check(); }, ::testing::ThrowsMessage<EMimeError>(HasSubstr(GetParam().Expected)));
    std::string text;
    try {
        Message.Write([&](std::string_view chunk) { text += chunk; });
        ADD_FAILURE() << "written: " << text;
    } catch (const EMimeError& e) {
        EXPECT_THAT(e.what(), HasSubstr(GetParam().Expected));
    }
    EXPECT_EQ(text, "");
}

INSTANTIATE_TEST_SUITE_P(Faults, MimeFaults, ::testing::Values(
    TCase{"MissingAttachment", [](auto& m, auto& t) {
                   m.Attachments = {{t.PathOf("report.pdf"), "", "", ""}, {t.PathOf("gone.pdf"), "", "", ""}}; },
               "Attachment missing: /"},
    TCase{"FolderAsAttachment", [](auto& m, auto& t) { m.Attachments = {{t.PathOf(""), "", "", ""}}; },
               "Attachment is not a regular file"},
    // Opened as a file, a FIFO would wait for a writer for ever.
    TCase{"FIFOAsAttachment", [](auto& m, auto& t) {
                   ASSERT_EQ(::mkfifo(t.PathOf("pipe").c_str(), 0600), 0);
                   m.Attachments = {{t.PathOf("pipe"), "", "", ""}}; },
               "Attachment is not a regular file"},
    TCase{"UnknownCharset", [](auto& m, auto&) { m.Charset = "foo"; }, "Unknown character set: foo"},
    TCase{"TextOutsideTheSet", [](auto& m, auto&) { m.Charset = "iso-8859-2"; m.Body = "日本"; },
               "The text cannot be written in iso-8859-2"},
    TCase{"AddressWithCR", [](auto& m, auto&) { m.To = {{"", "to@x.org\r\nRCPT TO:<y@z>"}}; }, "address"},
    TCase{"AddressWithBlank", [](auto& m, auto&) { m.Cc = {{"", "a b@x.org"}}; }, "address"},
    TCase{"ContentTypeWithParameters", [](auto& m, auto& t) {
                   m.Attachments = {{t.PathOf("report.pdf"), "", "text/html;\r\nX-Evil: 1", ""}}; },
               "The content type \"html;  X-Evil: 1\" cannot go into a header"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MimeMessageTest, ASinkFailureEndsTheWriteWithItsOwnError) {
    Message.Attachments = {{PathOf("report.pdf"), "", "", ""}};
    int calls = 0;
    auto failing = [&](std::string_view) { ++calls, throw std::out_of_range("sink is full"); };
    EXPECT_THROW(Message.Write(failing), std::out_of_range);
    EXPECT_EQ(calls, 1);
}

} // namespace
