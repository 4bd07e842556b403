#include "support/FTPPeer.h"

#include <charconv>
#include <memory>

namespace quillate::testing {

TLineScript FTPLogin(const TFTPLogin& login) {
    TLineScript script;
    script.Send("220 line peer ready").Expect("FEAT").Send("211-Features:");
    bool utf8 = false;
    for (const auto& feature : login.Features) {
        script.Send(" " + feature);
        utf8 = utf8 || feature == "UTF8";
    }
    script.Send("211 End");
    if (!login.Host.empty())
        script.Reply("HOST " + login.Host, "220 Host accepted");
    script.Reply("USER " + login.User, "331 Password required").Reply("PASS " + login.Password, "230 Logged in");
    if (utf8)
        script.Reply("OPTS UTF8 ON", "200 UTF8 on");
    return script.Reply("TYPE I", "200 Type set to I");
}

namespace {

// Answers with a fresh listener; the data connection is the first one it accepts.
TLineScript PassiveReply(std::string command, std::function<std::string(std::uint16_t port)> reply) {
    return TLineScript().Expect(std::move(command)).Do({}, false, [reply](TLineSession& s) {
        auto listener = std::make_shared<TSocket>(s.Listen());
        s.Write(reply(listener->LocalPort()) + "\r\n");
        s.OfferData([&s, listener] { return s.Accept(*listener); });
    });
}

} // namespace

TLineScript FTPEpsv() {
    return PassiveReply("EPSV", [](std::uint16_t port) {
        return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
    });
}

TLineScript FTPPasv(const std::string& announced) {
    return PassiveReply("PASV", [announced](std::uint16_t port) {
        return "227 Entering Passive Mode (" + announced + "," + std::to_string(port / 256) + "," +
               std::to_string(port % 256) + ")";
    });
}

TLineScript FTPEprt(const std::string& intruder) {
    return TLineScript().Do("\"EPRT |1|<client address>|<port>|\"", true, [intruder](TLineSession& s) {
        std::string line = s.ReadLine();
        std::string family = s.ClientAddress().find(':') == std::string::npos ? "1" : "2";
        std::string prefix = "EPRT |" + family + "|" + s.ClientAddress() + "|";
        unsigned port = 0;
        auto [end, error] = std::from_chars(line.data() + std::min(prefix.size(), line.size()),
                                            line.data() + line.size(), port);
        if (!line.starts_with(prefix) || error != std::errc() || port == 0 || port > 65535 ||
            std::string_view(end, line.data() + line.size()) != "|")
            s.Fail("\"" + prefix + "<port>|\"", line);
        s.Write("200 EPRT command successful\r\n");
        s.OfferData([&s, intruder, port] {
            std::string client = s.ClientAddress();
            if (!intruder.empty()) {
                TSocket refused = s.Connect(client, static_cast<std::uint16_t>(port), intruder);
                if (!s.ClosedByClient(refused, std::chrono::seconds(20)))
                    s.Fail("the data connection from " + intruder + " refused", "it was kept open");
            }
            return s.Connect(client, static_cast<std::uint16_t>(port));
        });
    });
}

TLineScript FTPSendData(std::string bytes) {
    return TLineScript().Do("a data connection", true, [bytes = std::move(bytes)](TLineSession& s) {
        TSocket data = s.TakeData();
        s.Write(data, bytes);
    });
}

TLineScript FTPReceiveData() {
    return TLineScript().Do("an upload on a data connection", true, [](TLineSession& s) {
        TSocket data = s.TakeData();
        s.KeepBlock(s.ReadToEnd(data));
    });
}

} // namespace quillate::testing
