// What a Telnet server sends, in arbitrary pieces (the first byte sets the piece size), through the
// protocol parser into the script's receive buffer (a wait expecting a prompt) and, past the password
// holdback, into the log's lines and cleaning.
#include "net/LogEventIntercept.h"
#include "net/TelnetParser.h"
#include "net/TextUtil.h"
#include "telnet/ZRTelnetReceive.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zr::net;
    if (size == 0)
        return 0;
    std::size_t piece = data[0] % 64 + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string secret = "pw";
    const std::string prompt = "> ";
    zr::TTelnetReceiveBuffer buffer;
    buffer.Expect(prompt);
    zr::TSecretHoldback holdback;
    holdback.SetSecret(secret);
    std::string logged;
    TLogEventIntercept log([&](TLogEventType, std::string_view line) {
        for (unsigned char c : zr::CleanLogText(zr::MaskSecret(std::string(line), secret)))
            Check(c == '\r' || c == '\n' || (c >= 32 && c <= 122));
    });
    TTelnetParser parser;
    std::string received;
    for (std::size_t pos = 0; pos < input.size(); pos += piece) {
        auto result = parser.Receive(input.substr(pos, piece));
        // Every answer is a whole negotiation: IAC, WILL/WONT/DO/DONT, the option.
        Check(result.Answers.size() % 3 == 0);
        for (std::size_t i = 0; i < result.Answers.size(); i += 3)
            Check(result.Answers[i] == '\xff' && static_cast<unsigned char>(result.Answers[i + 1]) >= 251 &&
                  static_cast<unsigned char>(result.Answers[i + 1]) <= 254);
        std::string text = zr::DecodeAscii(result.Data);
        buffer.Append(text);
        std::string passed = holdback.Pass(text);
        logged += passed;
        log.Received(passed);
        received += result.Data;
    }
    std::string rest = holdback.Rest();
    logged += rest;
    log.Received(rest);
    log.Status(TConnectionStatus::csDisconnected, "Disconnected.");
    Check(received.size() <= input.size());
    // Whatever the pieces, the password never reaches the log, and a prompt that arrived is found.
    Check(logged.find(secret) == std::string::npos);
    Check(buffer.Contains(prompt) == (zr::DecodeAscii(received).find(prompt) != std::string::npos));
    Check(buffer.Text().size() <= zr::TTelnetReceiveBuffer::Limit);
    // What we send comes back exactly through another parser, however many 0xFF bytes it holds.
    std::string line = received.substr(0, 256);
    if (!HoldsLineBreakOrNul(line)) {
        TTelnetParser back;
        Check(back.Receive(TTelnetParser().EncodeLine(line)).Data == line + "\r\n");
    }
    return 0;
}
