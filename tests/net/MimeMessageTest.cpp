// The composed message read back with GMime's parser: tree shapes, character sets, headers built
// from hostile fields, attachments, and the failures that must stop a message before it is written.
#include "net/MimeMessage.h"

#include "MimeParse.h"
#include "support/ServerProcess.h"

#include <fstream>
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
        for (int i = 0; i < 200000; ++i)
            Binary += static_cast<char>(i * 7 % 256);
        std::ofstream(Dir.Path() / "report.pdf", std::ios::binary) << Binary;
        std::ofstream(Dir.Path() / "Übersicht.txt") << "notes\n";
    }
    static std::string Written(const TMimeMessage& message) {
        std::string text;
        message.Write([&](std::string_view chunk) { text += chunk; });
        return text;
    }
    // A message with the addresses every message needs.
    static void Address(TMimeMessage& message) {
        message.From = {"Sender", "from@example.org"};
        message.To = {{"", "to@example.org"}};
        message.Subject = "test";
    }

    TTempDir Dir{"quillate-mime"};
    std::string Binary;
};

struct TShapeCase {
    const char* Name;
    std::function<void(TMimeMessage&, const MimeMessageTest&)> Fill;
    const char* Shape;
};

class MimeShapes : public MimeMessageTest, public ::testing::WithParamInterface<TShapeCase> {};

TEST_P(MimeShapes, GivesTheTreeTheFieldsDescribe) {
    TMimeMessage message;
    Address(message);
    GetParam().Fill(message, *this);
    std::string text = Written(message);
    TParsedMessage parsed = ParseMessage(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(Shape(g_mime_message_get_mime_part(parsed.get())), GetParam().Shape);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::count(text.begin(), text.end(), '\r')) << "lines end CRLF";
}

std::string PathIn(const MimeMessageTest& test, const char* name) { return test.PathOf(name); }

INSTANTIATE_TEST_SUITE_P(Trees, MimeShapes, ::testing::Values(
    TShapeCase{"PlainText", [](auto& m, auto&) { m.ContentType = "text/plain"; m.Body = "hello\nworld"; },
               "text/plain;us-ascii"},
    TShapeCase{"LoneHtmlPartIsTheMessage", [](auto& m, auto&) {
                   m.TextParts = {{"<html>grüß</html>", "text/html", "", "inline", -1}}; },
               "text/html;utf-8"},
    TShapeCase{"MixedTextBeforeAttachments", [](auto& m, auto& t) {
                   m.ContentType = "multipart/mixed"; m.Body = "see attached";
                   m.Attachments = {{PathIn(t, "report.pdf"), "report.pdf", "application/pdf", ""}}; },
               "multipart/mixed[text/plain;us-ascii,application/pdf]"},
    TShapeCase{"MixedAttachmentsFirstAroundAnAlternative", [](auto& m, auto& t) {
                   m.ContentType = "multipart/mixed"; m.TextFirst = false; m.Charset = "ISO-8859-2";
                   m.TextParts = {{"", "multipart/alternative", "", "", -1}, {"plain", "text/plain", "", "inline", 0},
                                  {"<html>x</html>", "text/html", "utf-8", "inline", 0}};
                   m.Attachments = {{PathIn(t, "report.pdf"), "a", "", ""}, {PathIn(t, "Übersicht.txt"), "b", "text/plain", "inline"}}; },
               "multipart/mixed[application/octet-stream,text/plain,multipart/alternative[text/plain;iso-8859-2,text/html;utf-8]]"},
    TShapeCase{"Alternative", [](auto& m, auto&) {
                   m.ContentType = "multipart/alternative";
                   m.TextParts = {{"plain", "text/plain", "", "inline", -1}, {"<html>ä</html>", "text/html", "", "inline", -1}}; },
               "multipart/alternative[text/plain;us-ascii,text/html;utf-8]"},
    TShapeCase{"NoTypeAndTwoPartsIsMixed", [](auto& m, auto&) {
                   m.Body = "one"; m.TextParts = {{"two", "text/plain", "", "", -1}}; },
               "multipart/mixed[text/plain;us-ascii,text/plain;us-ascii]"},
    TShapeCase{"SelfContainedContainerIsNotALoop", [](auto& m, auto&) {
                   m.ContentType = "multipart/mixed"; m.TextParts = {{"", "multipart/alternative", "", "", 0}, {"x", "text/plain", "", "", -1}}; },
               "multipart/mixed[text/plain;us-ascii]"}),
    [](const auto& info) { return std::string(info.param.Name); });

struct TCharsetCase {
    const char* Charset;
    const char* Sample; // UTF-8
};

class MimeCharsets : public MimeMessageTest, public ::testing::WithParamInterface<TCharsetCase> {};

TEST_P(MimeCharsets, SubjectNamesAndTextComeBackAsWritten) {
    TMimeMessage message;
    Address(message);
    message.Charset = GetParam().Charset;
    message.Subject = GetParam().Sample;
    message.From.Name = GetParam().Sample;
    message.ContentType = "text/plain";
    message.Body = std::string(GetParam().Sample) + "\n.\nend\n";
    TParsedMessage parsed = ParseMessage(Written(message));
    ASSERT_TRUE(parsed);
    EXPECT_STREQ(g_mime_message_get_subject(parsed.get()), GetParam().Sample);
    InternetAddress* from = internet_address_list_get_address(g_mime_message_get_from(parsed.get()), 0);
    EXPECT_STREQ(internet_address_get_name(from), GetParam().Sample);
    GMimeObject* body = g_mime_message_get_mime_part(parsed.get());
    std::string charset = GetParam().Charset;
    std::transform(charset.begin(), charset.end(), charset.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(Shape(body), "text/plain;" + charset);
    std::string text = Content(body);
    std::erase(text, '\r');
    EXPECT_EQ(text, std::string(GetParam().Sample) + "\n.\nend\n");
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

TEST_F(MimeMessageTest, HeadersFromHostileFieldsStayOneLineEach) {
    TMimeMessage message;
    Address(message);
    message.Subject = "a\r\nBcc: x@y";
    message.From.Name = "Eve\nX-Evil: 1";
    message.Sender = {"", "sender@example.org"};
    message.MessageId = "1234@Quillate";
    message.Priority = TMimePriority::mpLowest;
    message.DispositionNotificationTo = {"Jörg", "receipt@example.org"};
    message.Body = "x";
    std::string text = Written(message);
    TParsedMessage parsed = ParseMessage(text);
    ASSERT_TRUE(parsed);
    GMimeObject* object = GMIME_OBJECT(parsed.get());
    EXPECT_EQ(Header(object, "Subject"), "a  Bcc: x@y");
    EXPECT_EQ(Header(object, "Bcc"), "(none)");
    EXPECT_EQ(Header(object, "X-Evil"), "(none)");
    EXPECT_EQ(Header(object, "Sender"), "sender@example.org");
    EXPECT_EQ(Header(object, "Message-Id"), "<1234@Quillate>");
    EXPECT_EQ(Header(object, "X-Priority"), "5 (Lowest)");
    EXPECT_EQ(Header(object, "Importance"), "low");
    EXPECT_EQ(Header(object, "MIME-Version"), "1.0");
    EXPECT_THAT(Header(object, "Disposition-Notification-To"), HasSubstr("<receipt@example.org>"));
    message.Priority = TMimePriority::mpNormal;
    message.Sender = {};
    parsed = ParseMessage(Written(message));
    EXPECT_EQ(Header(GMIME_OBJECT(parsed.get()), "X-Priority") + Header(GMIME_OBJECT(parsed.get()), "Sender"),
              "(none)(none)");
}

TEST_F(MimeMessageTest, AttachmentsKeepTheirIdTypeNameAndBytes) {
    TMimeMessage message;
    Address(message);
    message.Attachments = {{PathOf("report.pdf"), "report.pdf", "application/pdf", ""},
                           {PathOf("Übersicht.txt"), "notes", "", "inline"}};
    TParsedMessage parsed = ParseMessage(Written(message));
    ASSERT_TRUE(parsed);
    auto* multipart = GMIME_MULTIPART(g_mime_message_get_mime_part(parsed.get()));
    ASSERT_EQ(g_mime_multipart_get_count(multipart), 2);
    GMimePart* pdf = GMIME_PART(g_mime_multipart_get_part(multipart, 0));
    GMimePart* notes = GMIME_PART(g_mime_multipart_get_part(multipart, 1));
    EXPECT_STREQ(g_mime_part_get_content_id(pdf), "report.pdf");
    EXPECT_EQ(g_mime_part_get_content_encoding(pdf), GMIME_CONTENT_ENCODING_BASE64);
    EXPECT_EQ(Content(GMIME_OBJECT(pdf)), Binary);
    EXPECT_STREQ(g_mime_object_get_disposition(GMIME_OBJECT(pdf)), "attachment");
    EXPECT_EQ(Shape(GMIME_OBJECT(notes)), "application/octet-stream");
    EXPECT_STREQ(g_mime_part_get_filename(notes), "Übersicht.txt");
    EXPECT_STREQ(g_mime_object_get_disposition(GMIME_OBJECT(notes)), "inline");
    EXPECT_EQ(Content(GMIME_OBJECT(notes)), "notes\n");
}

struct TFaultCase {
    const char* Name;
    std::function<void(TMimeMessage&, const MimeMessageTest&)> Fill;
    const char* Message;
};

class MimeFaults : public MimeMessageTest, public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(MimeFaults, FailBeforeAnythingIsWritten) {
    TMimeMessage message;
    Address(message);
    message.Body = "text";
    GetParam().Fill(message, *this);
    std::string text;
    try {
        message.Write([&](std::string_view chunk) { text += chunk; });
        ADD_FAILURE() << "written: " << text;
    } catch (const EMimeError& e) {
        EXPECT_THAT(e.what(), HasSubstr(GetParam().Message));
    }
    EXPECT_EQ(text, "");
}

INSTANTIATE_TEST_SUITE_P(Faults, MimeFaults, ::testing::Values(
    TFaultCase{"MissingAttachment", [](auto& m, auto& t) {
                   m.Attachments = {{PathIn(t, "report.pdf"), "", "", ""}, {PathIn(t, "gone.pdf"), "", "", ""}}; },
               "Attachment missing: /"},
    TFaultCase{"FolderAsAttachment", [](auto& m, auto& t) { m.Attachments = {{PathIn(t, ""), "", "", ""}}; },
               "Attachment is not a file"},
    TFaultCase{"UnknownCharset", [](auto& m, auto&) { m.Charset = "foo"; }, "Unknown character set: foo"},
    TFaultCase{"TextOutsideTheSet", [](auto& m, auto&) { m.Charset = "iso-8859-2"; m.Body = "日本"; },
               "The text cannot be written in iso-8859-2"},
    TFaultCase{"AddressWithCR", [](auto& m, auto&) { m.To = {{"", "to@x.org\r\nRCPT TO:<y@z>"}}; }, "address"},
    TFaultCase{"AddressWithBlank", [](auto& m, auto&) { m.Cc = {{"", "a b@x.org"}}; }, "address"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MimeMessageTest, ASinkFailureEndsTheWriteWithItsOwnError) {
    TMimeMessage message;
    Address(message);
    message.Attachments = {{PathOf("report.pdf"), "", "", ""}};
    int calls = 0;
    EXPECT_THROW(message.Write([&](std::string_view) {
        ++calls;
        throw std::out_of_range("sink is full");
    }),
                 std::out_of_range);
    EXPECT_EQ(calls, 1);
}

} // namespace
