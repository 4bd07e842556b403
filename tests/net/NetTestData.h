// Case tables kept as data in tests/data/net (JSON with comments; the README there gives each
// file's format), and what the tests that read them share: input cut into pieces, times as text.
#pragma once

#include "net/NetErrors.h"
#include "support/FTPServerFixture.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillate::testing {

using nlohmann::json;

// The cases of tests/data/net/<file>, a JSON array; a file that cannot be read stops the program.
inline json LoadCases(const std::string& file) {
    std::ifstream in(std::string(QUILLATE_TEST_DATA_DIR) + "/net/" + file);
    if (!in)
        throw std::runtime_error("cannot read tests/data/net/" + file);
    return json::parse(in, nullptr, true, true);
}

// Parameterised tests over a table are named by each case's "name".
inline std::string CaseName(const ::testing::TestParamInfo<json>& info) {
    return info.param.at("name").get<std::string>();
}

// Points a client at 127.0.0.1:port with these time-outs.
template <class TClient>
void AimAt(TClient& client, std::uint16_t port, std::chrono::milliseconds read,
           std::chrono::milliseconds connect = std::chrono::seconds(5)) {
    client.Host = "127.0.0.1";
    client.Port = port;
    client.ReadTimeout = read;
    client.ConnectTimeout = connect;
}

// Bytes written as a string, or as an array of parts: strings and [text, count] repeats.
inline std::string Text(const json& value) {
    if (value.is_string())
        return value.get<std::string>();
    std::string text;
    for (const auto& part : value) {
        std::string unit = part.is_string() ? part.get<std::string>() : Text(part[0]);
        for (int i = 0; i < (part.is_string() ? 1 : part[1].get<int>()); ++i)
            text += unit;
    }
    return text;
}

// A line peer's script as the data files write it: text steps, and arrays of bytes sent as they are.
inline TLineScript Script(const json& steps) {
    std::vector<std::string> texts;
    for (const auto& step : steps)
        texts.push_back(step.is_string() ? step.get<std::string>() : "raw " + Text(step));
    return ScriptFromSteps(texts);
}

// The ways a parser test feeds its input: whole, one byte at a time, then cut in two at every offset.
inline std::vector<std::vector<std::string_view>> Splits(std::string_view text) {
    std::vector<std::vector<std::string_view>> splits{{text}, {}};
    for (std::size_t i = 0; i < text.size(); ++i)
        splits[1].push_back(text.substr(i, 1));
    for (std::size_t cut = 1; cut < text.size(); ++cut)
        splits.push_back({text.substr(0, cut), text.substr(cut)});
    return splits;
}

// Gives parse (the pieces of the input, giving what it made of them as JSON) the input whole, byte
// by byte and cut in two at every offset, and compares each result with expected, or its size with
// expected when that is a number. When the case says "refused", parse must raise E instead, fed
// whole and byte by byte.
template <class E, class F>
void ExpectSameWhereverCut(const json& c, std::string_view input, const json& expected, F parse) {
    auto splits = Splits(input);
    if (c.value("refused", false)) {
        EXPECT_THROW(parse(splits[0]), E) << "whole";
        EXPECT_THROW(parse(splits[1]), E) << "byte by byte";
        return;
    }
    for (const auto& pieces : splits) {
        json result = parse(pieces);
        EXPECT_EQ(expected.is_number() ? json(result.size()) : result, expected)
            << pieces.size() << " pieces, the first of " << pieces[0].size();
        if (::testing::Test::HasFailure())
            return;
    }
}

// "YYYY-MM-DD hh:mm:ss" with the fraction when there is one; on the local wall clock, or in UTC
// with a "Z" after it.
inline std::string Stamp(std::chrono::system_clock::time_point when, bool utc) {
    auto whole = std::chrono::floor<std::chrono::seconds>(when);
    std::time_t t = std::chrono::system_clock::to_time_t(whole);
    std::tm parts{};
    utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    std::string stamp = text;
    if (auto ns = std::chrono::nanoseconds(when - whole).count()) {
        std::string fraction = std::to_string(1'000'000'000 + ns).substr(1);
        stamp += "." + fraction.substr(0, fraction.find_last_not_of('0') + 1);
    }
    return utc ? stamp + "Z" : stamp;
}

// "<kind>: <message>" of what the call raised, or "none".
template <class F> std::string FaultOf(F&& call) {
    using namespace zr::net;
    try {
        call();
        return "none";
    } catch (const EReplyError& e) {
        return "reply " + std::to_string(e.Code()) + ": " + e.what();
    } catch (const ENetError& e) {
        const char* kind = dynamic_cast<const EUnsafeCommand*>(&e)          ? "unsafe"
                           : dynamic_cast<const EProtocolError*>(&e)        ? "protocol"
                           : dynamic_cast<const EConnClosedGracefully*>(&e) ? "closed"
                           : dynamic_cast<const ETLSError*>(&e)             ? "tls"
                           : dynamic_cast<const EReadTimeout*>(&e)          ? "timeout"
                           : dynamic_cast<const EOperationAborted*>(&e)     ? "aborted"
                                                                            : "other";
        return kind + std::string(": ") + e.what();
    }
}

// Central European time, an hour or two east of UTC, so that local and UTC times differ.
inline constexpr const char* CET = "CET-1CEST,M3.5.0,M10.5.0/3";

} // namespace quillate::testing
