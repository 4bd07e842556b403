#include "net/MimeMessage.h"

#include "base/Text.h"
#include "net/NetErrors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <gmime/gmime.h>
#include <iconv.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zr::net {

namespace {

struct TGObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using TGPtr = std::unique_ptr<T, TGObjectUnref>;

struct TFormatOptionsFree {
    void operator()(GMimeFormatOptions* options) const { g_mime_format_options_free(options); }
};

void InitialiseGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsControl(char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// Header text from the fields may hold anything; a control character could end the header line
// and start another, so each becomes a blank.
std::string HeaderText(std::string text) {
    std::replace_if(text.begin(), text.end(), IsControl, ' ');
    return text;
}

// Addresses, identifiers, content types and set names go into headers unencoded: anything that could
// break the line or the field is refused instead of repaired.
bool IsAddressChar(char c) {
    return !IsControl(c) && c != ' ';
}
bool IsIdChar(char c) {
    return !IsControl(c) && c != '<' && c != '>';
}
bool IsTokenChar(char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// A newsgroup name (RFC 5536 3.1.4): printable ASCII without the list separator and wildmat's
// special characters.
bool IsGroupChar(char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && std::string_view(",*?[]\\!").find(c) == std::string_view::npos;
}

template <class TAllowed> void Check(std::string_view what, const std::string& value, TAllowed allowed) {
    if (value.empty() || !std::all_of(value.begin(), value.end(), allowed))
        throw EMimeError(fmt::format("The {} \"{}\" cannot go into a header", what, HeaderText(value)));
}

// UTF-8 text into a named set; GMime's name map turns aliases iconv lacks ("iso-8859-8-i", "ks_c_5601-1987")
// into ones it has.
class TConverter {
public:
    explicit TConverter(const std::string& charset)
        : FCharset(charset), FHandle(iconv_open(g_mime_charset_iconv_name(charset.c_str()), "UTF-8")) {
        if (FHandle == reinterpret_cast<iconv_t>(-1))
            throw EMimeError("Unknown character set: " + HeaderText(charset));
    }
    ~TConverter() { iconv_close(FHandle); }
    TConverter(const TConverter&) = delete;
    TConverter& operator=(const TConverter&) = delete;

    std::string Convert(const std::string& text) {
        std::string out;
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        char buffer[4096];
        for (;;) {
            // Once the input is used up, a call without input ends the shift state (ISO-2022-JP
            // returns to ASCII).
            bool ending = inLeft == 0;
            char* dest = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t result = ending ? iconv(FHandle, nullptr, nullptr, &dest, &outLeft)
                                        : iconv(FHandle, &in, &inLeft, &dest, &outLeft);
            out.append(buffer, static_cast<std::size_t>(dest - buffer));
            if (result == static_cast<std::size_t>(-1) && errno != E2BIG)
                throw EMimeError("The text cannot be written in " + FCharset);
            if (ending && result != static_cast<std::size_t>(-1))
                return out;
        }
    }

private:
    std::string FCharset;
    iconv_t FHandle;
};

// Lines end LF inside the tree; the writer's newline filter makes every one CRLF.
std::string UnixLines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::pair<std::string, std::string> SplitType(const std::string& contentType, const char* fallback) {
    std::string type = contentType.empty() ? fallback : contentType;
    auto slash = type.find('/');
    Check("content type", type.substr(0, slash), IsTokenChar);
    Check("content type", slash == std::string::npos ? "" : type.substr(slash + 1), IsTokenChar);
    return {quillate::base::LowerCase(type.substr(0, slash)),
            quillate::base::LowerCase(type.substr(slash + 1))};
}

// The sink behind a C stream: GMime's writes are gathered into blocks of about 64 KiB, and an
// exception of the sink is kept here to be raised again once GMime has returned.
struct TSinkCookie {
    static constexpr std::size_t BlockSize = 64 * 1024;
    const TMimeMessage::TSink* Sink;
    std::string Block;
    std::exception_ptr Failure;
    bool Closed = false;
    off64_t Position = 0;

    bool Deliver() {
        if (Block.empty())
            return true;
        try {
            (*Sink)(Block);
            Block.clear();
            return true;
        } catch (...) {
            Failure = std::current_exception();
            Closed = true;
            return false;
        }
    }

    static ssize_t Write(void* cookie, const char* data, size_t size) {
        auto* self = static_cast<TSinkCookie*>(cookie);
        if (self->Closed)
            return 0;
        self->Block.append(data, size);
        self->Position += static_cast<off64_t>(size);
        if (self->Block.size() >= BlockSize && !self->Deliver())
            return 0;
        return static_cast<ssize_t>(size);
    }

    // GMime keeps its own position and seeks to it before each write; only that seek is valid.
    static int Seek(void* cookie, off64_t* offset, int whence) {
        auto* self = static_cast<TSinkCookie*>(cookie);
        if ((whence == SEEK_SET && *offset == self->Position) || (whence == SEEK_CUR && *offset == 0)) {
            *offset = self->Position;
            return 0;
        }
        return -1;
    }
};

// Attachment files, opened before anything is written so that a missing one sends nothing.
class TOpenedFiles {
public:
    TOpenedFiles() = default;
    TOpenedFiles(const TOpenedFiles&) = delete;
    TOpenedFiles& operator=(const TOpenedFiles&) = delete;
    ~TOpenedFiles() {
        for (int fd : FDescriptors)
            if (fd >= 0)
                ::close(fd);
    }
    void Open(const std::string& path) {
        // Without O_NONBLOCK a FIFO would hold the open until something writes to it.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            throw EMimeError("Attachment missing: " + path);
        FDescriptors.push_back(fd);
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
            throw EMimeError("Attachment is not a regular file: " + path);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    // Hands the descriptor over to a GMime stream, which closes it.
    int Take(std::size_t index) { return std::exchange(FDescriptors[index], -1); }

private:
    std::vector<int> FDescriptors;
};

// Text that may travel as it is (RFC 5322 2.1.1, RFC 2045 2.7): ASCII without NUL or a lone CR, and
// no line longer than 998 characters.
bool Is7Bit(std::string_view bytes) {
    std::size_t lineLength = 0;
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || u == 0 || u == '\r')
            return false;
        lineLength = u == '\n' ? 0 : lineLength + 1;
        if (lineLength > 998)
            return false;
    }
    return true;
}

class TTreeBuilder {
public:
    TTreeBuilder(const TMimeMessage& message, TOpenedFiles& files) : FMessage(message), FFiles(files) {}

    GMimeObject* Build() {
        std::vector<GMimeObject*> parts;
        std::vector<GMimeObject*> texts = Children(-1);
        if (!FMessage.Body.empty())
            texts.insert(texts.begin(), TextPart(FMessage.Body, "text/plain", "", ""));
        std::vector<GMimeObject*> attachments;
        for (std::size_t i = 0; i < FMessage.Attachments.size(); ++i)
            attachments.push_back(Attachment(FMessage.Attachments[i], i));
        auto& first = FMessage.TextFirst ? texts : attachments;
        auto& second = FMessage.TextFirst ? attachments : texts;
        parts.insert(parts.end(), first.begin(), first.end());
        parts.insert(parts.end(), second.begin(), second.end());

        if (!FMessage.ContentType.empty()) {
            auto [type, subtype] = SplitType(FMessage.ContentType, "");
            if (type == "multipart")
                return Multipart(subtype, parts);
        }
        if (parts.size() == 1)
            return parts.front();
        return parts.empty() ? TextPart("", "text/plain", "", "") : Multipart("mixed", parts);
    }

private:
    GMimeObject* Keep(gpointer object) {
        FKept.emplace_back(static_cast<GObject*>(object));
        return GMIME_OBJECT(object);
    }

    GMimeObject* Multipart(const std::string& subtype, const std::vector<GMimeObject*>& parts) {
        GMimeObject* multipart = Keep(g_mime_multipart_new_with_subtype(subtype.c_str()));
        for (GMimeObject* part : parts)
            g_mime_multipart_add(GMIME_MULTIPART(multipart), part);
        return multipart;
    }

    // The text parts whose container is parent, in order; a container holds its own children. Each
    // part has one parent, so a chain that reaches the message has no loop and is at most as deep
    // as there are parts.
    std::vector<GMimeObject*> Children(int parent) {
        std::vector<GMimeObject*> parts;
        for (std::size_t i = 0; i < FMessage.TextParts.size(); ++i) {
            const TMimeTextPart& part = FMessage.TextParts[i];
            if (part.Parent != parent)
                continue;
            if (auto [type, subtype] = SplitType(part.ContentType, "text/plain"); type == "multipart")
                parts.push_back(Multipart(subtype, Children(static_cast<int>(i))));
            else
                parts.push_back(TextPart(part.Text, part.ContentType, part.Charset, part.Disposition));
        }
        return parts;
    }

    GMimeObject* TextPart(const std::string& text, const std::string& contentType,
                          const std::string& ownCharset, const std::string& disposition) {
        auto [type, subtype] = SplitType(contentType, "text/plain");
        std::string charset = !ownCharset.empty() ? ownCharset : FMessage.Charset;
        if (charset.empty())
            charset = IsAscii(text) ? "us-ascii" : "utf-8";
        Check("character set", charset, IsTokenChar);
        std::string bytes = TConverter(charset).Convert(UnixLines(text));

        GMimeObject* object = Keep(g_mime_part_new_with_type(type.c_str(), subtype.c_str()));
        GMimePart* part = GMIME_PART(object);
        TGPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
        TGPtr<GMimeDataWrapper> content(
            g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
        g_mime_part_set_content(part, content.get());
        g_mime_object_set_content_type_parameter(object, "charset",
                                                 quillate::base::LowerCase(charset).c_str());
        g_mime_part_set_content_encoding(part, Is7Bit(bytes) ? GMIME_CONTENT_ENCODING_7BIT
                                                             : GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
        if (!disposition.empty()) {
            Check("disposition", disposition, IsTokenChar);
            g_mime_object_set_disposition(object, disposition.c_str());
        }
        return object;
    }

    GMimeObject* Attachment(const TMimeAttachment& attachment, std::size_t index) {
        auto [type, subtype] = SplitType(attachment.ContentType, "application/octet-stream");
        GMimeObject* object = Keep(g_mime_part_new_with_type(type.c_str(), subtype.c_str()));
        GMimePart* part = GMIME_PART(object);
        TGPtr<GMimeStream> stream(g_mime_stream_fs_new(FFiles.Take(index)));
        TGPtr<GMimeDataWrapper> content(
            g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
        g_mime_part_set_content(part, content.get());
        g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
        std::string disposition = attachment.Disposition.empty() ? "attachment" : attachment.Disposition;
        Check("disposition", disposition, IsTokenChar);
        g_mime_object_set_disposition(object, disposition.c_str());
        std::string name = HeaderText(std::filesystem::path(attachment.Path).filename().string());
        g_mime_part_set_filename(part, name.c_str());
        if (!attachment.ContentId.empty()) {
            Check("content ID", attachment.ContentId, IsIdChar);
            g_mime_part_set_content_id(part, attachment.ContentId.c_str());
        }
        return object;
    }

    const TMimeMessage& FMessage;
    TOpenedFiles& FFiles;
    // The tree holds its own references; these are the ones taken while building, dropped after.
    std::vector<TGPtr<GObject>> FKept;
};

void AddMailbox(InternetAddressList* list, const TMimeAddress& address, const std::string& charset) {
    Check("address", address.Address, IsAddressChar);
    std::string name = HeaderText(address.Name);
    TGPtr<InternetAddress> mailbox(internet_address_mailbox_new(name.c_str(), address.Address.c_str()));
    internet_address_set_charset(mailbox.get(), charset.c_str());
    internet_address_list_add(list, mailbox.get());
}

void AddMailboxes(GMimeMessage* message, GMimeAddressType type, const std::vector<TMimeAddress>& addresses,
                  const std::string& charset) {
    for (const TMimeAddress& address : addresses)
        AddMailbox(g_mime_message_get_addresses(message, type), address, charset);
}

// The message as GMime holds it, every header and part checked and the attachments opened; nothing is
// read or written yet.
TGPtr<GMimeMessage> BuildMessage(const TMimeMessage& m, TOpenedFiles& files) {
    for (const TMimeAttachment& attachment : m.Attachments)
        files.Open(attachment.Path);

    // GMime encodes header words in this set, or in a smaller one that holds them (ISO-8859-1 comes
    // first); an unknown set fails here even when no text part uses it.
    std::string charset = m.Charset.empty() ? "utf-8" : quillate::base::LowerCase(m.Charset);
    Check("character set", charset, IsTokenChar);
    TConverter{charset};

    TGPtr<GMimeMessage> message(g_mime_message_new(FALSE));
    GMimeObject* object = GMIME_OBJECT(message.get());
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(message.get(), now);
    g_date_time_unref(now);
    AddMailbox(g_mime_message_get_from(message.get()), m.From, charset);
    if (!m.Sender.Address.empty())
        AddMailbox(g_mime_message_get_sender(message.get()), m.Sender, charset);
    AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_TO, m.To, charset);
    AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_CC, m.Cc, charset);
    AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_REPLY_TO, m.ReplyTo, charset);
    if (!m.Newsgroups.empty()) {
        std::string groups;
        for (const auto& group : m.Newsgroups) {
            Check("newsgroup", group, IsGroupChar);
            groups += (groups.empty() ? "" : ",") + group;
        }
        g_mime_object_set_header(object, "Newsgroups", groups.c_str(), nullptr);
    }
    g_mime_message_set_subject(message.get(), HeaderText(m.Subject).c_str(), charset.c_str());
    if (!m.MessageId.empty()) {
        Check("message ID", m.MessageId, IsIdChar);
        g_mime_message_set_message_id(message.get(), m.MessageId.c_str());
    }
    g_mime_object_set_header(object, "MIME-Version", "1.0", nullptr);
    if (!m.UserAgent.empty())
        g_mime_object_set_header(object, "User-Agent", HeaderText(m.UserAgent).c_str(), nullptr);
    static constexpr const char* priorities[][2] = {{"1 (Highest)", "high"},
                                                    {"2 (High)", "high"},
                                                    {nullptr, nullptr},
                                                    {"4 (Low)", "low"},
                                                    {"5 (Lowest)", "low"}};
    if (const auto* priority = priorities[static_cast<int>(m.Priority)]; priority[0] != nullptr) {
        g_mime_object_set_header(object, "X-Priority", priority[0], nullptr);
        g_mime_object_set_header(object, "Importance", priority[1], nullptr);
    }
    if (!m.DispositionNotificationTo.Address.empty()) {
        TGPtr<InternetAddressList> list(internet_address_list_new());
        AddMailbox(list.get(), m.DispositionNotificationTo, charset);
        char* text = internet_address_list_to_string(list.get(), nullptr, TRUE);
        g_mime_object_set_header(object, "Disposition-Notification-To", text, nullptr);
        g_free(text);
    }

    TTreeBuilder builder(m, files);
    g_mime_message_set_mime_part(message.get(), builder.Build());
    return message;
}

} // namespace

TMimeMessage::TMimeMessage() {
    InitialiseGMime();
}

TMimeMessage::~TMimeMessage() = default;

void TMimeMessage::Clear() {
    Charset.clear();
    Priority = TMimePriority::mpNormal;
    MessageId.clear();
    UserAgent.clear();
    Subject.clear();
    From = {};
    Sender = {};
    DispositionNotificationTo = {};
    To.clear();
    Cc.clear();
    ReplyTo.clear();
    Newsgroups.clear();
    ContentType.clear();
    Body.clear();
    TextParts.clear();
    Attachments.clear();
    TextFirst = true;
}

void TMimeMessage::Check() const {
    TOpenedFiles files;
    BuildMessage(*this, files);
}

void TMimeMessage::Write(const TSink& sink) const {
    TOpenedFiles files;
    TGPtr<GMimeMessage> message = BuildMessage(*this, files);
    GMimeObject* object = GMIME_OBJECT(message.get());
    TSinkCookie cookie{&sink, {}, {}, false, 0};
    cookie.Block.reserve(TSinkCookie::BlockSize + 4096);
    FILE* file = fopencookie(&cookie, "w", {nullptr, &TSinkCookie::Write, &TSinkCookie::Seek, nullptr});
    if (file == nullptr)
        throw EMimeError("The message writer could not be created");
    setvbuf(file, nullptr, _IONBF, 0);
    TGPtr<GMimeStream> stream(g_mime_stream_file_new(file));
    std::unique_ptr<GMimeFormatOptions, TFormatOptionsFree> options(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
    ssize_t written = g_mime_object_write_to_stream(object, options.get(), stream.get());
    if (written >= 0 && g_mime_stream_flush(stream.get()) == 0)
        cookie.Deliver();
    // Whatever is still gathered stays unsent once anything failed.
    cookie.Closed = true;
    stream.reset();
    if (cookie.Failure)
        std::rethrow_exception(cookie.Failure);
    if (written < 0)
        throw EMimeError(std::string("Writing the message failed: ") + g_strerror(errno));
}

} // namespace zr::net
