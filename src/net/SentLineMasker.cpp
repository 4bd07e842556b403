#include "net/SentLineMasker.h"

#include "net/ReplyParser.h"
#include "net/TextUtil.h"

namespace zr::net {

namespace {

// The first blank-separated word of text and the text after the blank.
std::string_view Word(std::string_view text, std::string_view& rest) {
    std::size_t blank = text.find(' ');
    rest = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    return text.substr(0, blank);
}

// Keeps the first `kept` characters of the line and masks what follows, if anything does.
std::string MaskedAfter(std::string_view line, std::size_t kept) {
    if (kept >= line.size())
        return std::string(line);
    return std::string(line.substr(0, kept)) + " " + std::string(TSentLineMasker::Mask);
}

bool AsksForMore(std::string_view line) {
    int code = ReplyCodeOf(line);
    if (code == 334 || code == 383)
        return true;
    return line == "+" || line.starts_with("+ ");
}

} // namespace

std::string TSentLineMasker::Sent(std::string_view line) {
    if (FInExchange)
        return std::string(Mask);
    // HTTP request header lines that carry credentials keep only their name.
    if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
        std::string_view name = TrimView(line.substr(0, colon));
        if (EqualsNoCase(name, "Authorization") || EqualsNoCase(name, "Proxy-Authorization"))
            return MaskedAfter(line, colon + 1);
    }
    std::string_view rest;
    std::string_view verb = Word(line, rest);
    if (EqualsNoCase(verb, "PASS") || EqualsNoCase(verb, "ACCT"))
        return MaskedAfter(line, verb.size());
    if (EqualsNoCase(verb, "APOP")) {
        std::string_view digest;
        std::string_view name = Word(rest, digest);
        return MaskedAfter(line, verb.size() + 1 + name.size());
    }
    std::string_view afterMechanism;
    if (EqualsNoCase(verb, "AUTH")) {
        std::string_view mechanism = Word(rest, afterMechanism);
        FInExchange = !mechanism.empty();
        return MaskedAfter(line, verb.size() + 1 + mechanism.size());
    }
    if (EqualsNoCase(verb, "AUTHINFO")) {
        std::string_view afterKind;
        std::string_view kind = Word(rest, afterKind);
        if (EqualsNoCase(kind, "PASS"))
            return MaskedAfter(line, verb.size() + 1 + kind.size());
        if (EqualsNoCase(kind, "SASL")) {
            std::string_view mechanism = Word(afterKind, afterMechanism);
            FInExchange = !mechanism.empty();
            return MaskedAfter(line, verb.size() + 1 + kind.size() + 1 + mechanism.size());
        }
    }
    return std::string(line);
}

void TSentLineMasker::Received(std::string_view line) {
    if (FInExchange && !AsksForMore(line))
        FInExchange = false;
}

} // namespace zr::net
