// What an SMTP or a POP3 server sends, read the way the mail clients read it, in arbitrary pieces.
// Byte 0: the top bit picks POP3 over SMTP, the rest the piece size. SMTP: every reply also goes
// through the EHLO extension reading. POP3: byte 1 says which positive replies (bit i for the i-th)
// are followed by a data block, as after CAPA or RETR.
#include "net/NetErrors.h"
#include "net/ReplyParser.h"
#include "net/SMTPExtensions.h"
#include "net/TextUtil.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace zr::net;

void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool HoldsLineEnd(const std::string& line) {
    return line.find('\n') != std::string::npos;
}

void CheckLines(const std::vector<std::string>& lines, const TLineLimits& limits) {
    std::size_t bytes = 0;
    for (const auto& line : lines) {
        Require(line.size() <= limits.MaxLineLength && !HoldsLineEnd(line));
        bytes += line.size() + 1;
    }
    Require(lines.size() <= limits.MaxLines && bytes <= limits.MaxBytes);
}

void CheckExtensions(const TReply& reply) {
    auto extensions = EhloExtensions(reply);
    Require(extensions.size() + 1 == reply.Lines.size());
    auto mechanisms = AuthMechanismsOf(extensions);
    Require(mechanisms.empty() || OffersExtension(extensions, "auth"));
    for (std::size_t i = 0; i < mechanisms.size(); ++i) {
        Require(!mechanisms[i].empty() && mechanisms[i].find(' ') == std::string::npos);
        for (std::size_t j = 0; j < i; ++j)
            Require(!IEquals(mechanisms[i], mechanisms[j]));
    }
    if (auto size = MaxMessageSizeOf(extensions))
        Require(*size > 0 && OffersExtension(extensions, "size"));
}

void CheckReply(const TReply& reply, bool numeric) {
    CheckLines(reply.Lines, DefaultReplyLimits);
    Require(!reply.Lines.empty());
    if (numeric) {
        Require(reply.Code >= 100 && reply.Code <= 699 && ReplyCodeOf(reply.Lines.front()) == reply.Code);
        CheckExtensions(reply);
    } else {
        Require(reply.Code == 0 && reply.Lines.size() == 1);
    }
    (void)reply.Status();
    (void)reply.Text();
    (void)reply.FinalLineText();
}

// Feeds the input piece by piece to the parser the conversation expects next, as the session does.
class TConversation {
public:
    TConversation(bool pop3, unsigned blockMask) : FPop3(pop3), FBlockMask(blockMask) {}

    void Run(std::string_view input, std::size_t piece) {
        try {
            for (std::size_t pos = 0; pos < input.size(); pos += piece) {
                FPending.append(input.substr(pos, piece));
                while (Step()) {
                }
            }
        } catch (const EProtocolError&) {
        }
    }

private:
    // Parses what is pending; true when a unit was completed and more may follow.
    bool Step() {
        TLineParser::TProgress progress;
        TLineParser& parser = FInBlock ? static_cast<TLineParser&>(FBlock)
                              : FPop3  ? static_cast<TLineParser&>(FStatus)
                                       : static_cast<TLineParser&>(FNumeric);
        std::size_t used = parser.Feed(FPending, progress);
        Require(used <= FPending.size());
        FPending.erase(0, used);
        if (progress != TLineParser::TProgress::lpComplete)
            return false;
        if (FInBlock) {
            CheckLines(FBlock.TakeLines(), DefaultBlockLimits);
            FInBlock = false;
        } else if (FPop3) {
            TReply reply = FStatus.TakeReply();
            CheckReply(reply, false);
            if (reply.Status() == TReplyStatus::rsPositive)
                FInBlock = (FBlockMask >> (FPositive++ % 8)) & 1;
        } else {
            CheckReply(FNumeric.TakeReply(), true);
        }
        return true;
    }

    bool FPop3;
    unsigned FBlockMask;
    unsigned FPositive = 0;
    bool FInBlock = false;
    std::string FPending;
    TNumericReplyParser FNumeric;
    TStatusReplyParser FStatus;
    TDataBlockParser FBlock;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    bool pop3 = data[0] & 0x80;
    std::size_t piece = (data[0] & 0x7F) + 1;
    TConversation conversation(pop3, data[1]);
    conversation.Run(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2), piece);
    return 0;
}
