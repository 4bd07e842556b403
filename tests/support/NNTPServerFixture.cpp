#include "support/NNTPServerFixture.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace fs = std::filesystem;

namespace quillate::testing {

namespace {

// The groups as jamnntpd's groups file names them ("$": local, so posts get no origin line), with
// the base name of their JAM files.
const std::vector<std::pair<std::string, std::string>> Groups = {{TNNTPTestServer::Group, "test"},
                                                                 {TNNTPTestServer::OtherGroup, "other"}};

constexpr std::size_t BaseHeaderSize = 1024;
constexpr std::size_t MessageHeaderSize = 76;
constexpr std::uint32_t Deleted = 0x80000000u;

std::uint32_t Le32(const std::string& data, std::size_t at) {
    if (at + 4 > data.size())
        throw std::runtime_error("JAM file cut short");
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(data[at + static_cast<std::size_t>(i)]);
    return value;
}

std::string Slice(const std::string& data, std::size_t at, std::size_t length) {
    if (at > data.size() || length > data.size() - at)
        throw std::runtime_error("JAM field out of its file");
    return data.substr(at, length);
}

// A message header at `at`: "JAM\0", revision and reserved word, the subfields' length, ten
// counters and dates, the attribute words, the text's offset and length in the .jdt file, two more
// words; then the subfields up to `end`, each a 16-bit id, a 16-bit high id, a 32-bit length and
// the text. The stored subfields' length is not used: jamnntpd counts more than it writes.
std::optional<TJamArticle> ReadMessage(const std::string& headers, std::size_t at, std::size_t end,
                                       const std::string& texts) {
    if (Slice(headers, at, 4) != std::string("JAM\0", 4))
        throw std::runtime_error("JAM message header without its signature");
    if ((Le32(headers, at + 52) & Deleted) != 0)
        return std::nullopt;
    TJamArticle article;
    article.Text = Slice(texts, Le32(headers, at + 60), Le32(headers, at + 64));
    for (std::size_t pos = at + MessageHeaderSize; pos < end;) {
        std::uint32_t id = Le32(headers, pos) & 0xffffu;
        std::string value = Slice(headers, pos + 8, Le32(headers, pos + 4));
        pos += 8 + value.size();
        if (id == 2)
            article.Sender = value;
        else if (id == 6)
            article.Subject = value;
        else if (id == 2000)
            article.Kludges.push_back(value);
    }
    return article;
}

} // namespace

void TNNTPTestServer::Start() {
    const fs::path dir = FDir.Path();
    fs::create_directories(dir / "base");
    std::string groups;
    for (const auto& [name, file] : Groups) {
        groups += "$" + name + " A 2:1/1.0 " + (dir / "base" / file).string() + "\n";
        // The base header: its signature, then zeros (no messages yet).
        WriteTextFile(dir / "base" / (file + ".jhr"),
                      std::string("JAM\0", 4) + std::string(BaseHeaderSize - 4, '\0'));
        for (const char* extension : {".jdt", ".jdx", ".jlr"})
            WriteTextFile(dir / "base" / (file + extension), "");
    }
    WriteTextFile(dir / "groups", groups);
    WriteTextFile(dir / "users", std::string(User) + " " + Password + " * *\n");
    WriteTextFile(dir / "allow", "127.0.0.1 * -\n");
    // No character set translation: articles are stored as they come.
    WriteTextFile(dir / "xlat", "read * unknown-8bit\npost * \"\"\n");
    FPort = StartOnFreePort(FProcess, "jamnntpd", [&](std::uint16_t port) {
        return ServerOptions({"/usr/sbin/jamnntpd", "-p", std::to_string(port), "-g", dir / "groups", "-u",
                              dir / "users", "-a", dir / "allow", "-x", dir / "xlat", "-l",
                              dir / "jamnntpd.log", "-debug"},
                             port);
    });
}

std::vector<TJamArticle> TNNTPTestServer::Articles(const std::string& group) const {
    auto found = std::ranges::find(Groups, group, &std::pair<std::string, std::string>::first);
    if (found == Groups.end())
        throw std::runtime_error("no group " + group);
    const fs::path base = FDir.Path() / "base" / found->second;
    const std::string headers = ReadTextFile(base.string() + ".jhr");
    const std::string texts = ReadTextFile(base.string() + ".jdt");
    // The index holds a receiver name's CRC and the header's offset for each message, in order, so
    // a message's subfields end where the next header starts.
    const std::string index = ReadTextFile(base.string() + ".jdx");
    std::vector<TJamArticle> articles;
    for (std::size_t entry = 0; entry + 8 <= index.size(); entry += 8) {
        std::size_t end = entry + 16 <= index.size() ? Le32(index, entry + 12) : headers.size();
        if (auto article = ReadMessage(headers, Le32(index, entry + 4), end, texts))
            articles.push_back(std::move(*article));
    }
    return articles;
}

void TRecordingNNTPServer::Start() {
    fs::create_directories(FDir.Path() / "articles");
    FPort = StartOnFreePort(FProcess, "nntpd.py", [&](std::uint16_t port) {
        return ServerOptions({"/usr/bin/python3", ServersDir() / "nntpd.py", "--port", std::to_string(port),
                              "--dir", FDir.Path() / "articles", "--user", User, "--password", Password},
                             port);
    });
}

std::vector<std::string> TRecordingNNTPServer::Articles() const {
    std::vector<std::string> articles;
    for (int n = 1;; ++n) {
        fs::path path = FDir.Path() / "articles" / (std::to_string(n) + ".art");
        if (!fs::exists(path))
            return articles;
        articles.push_back(ReadTextFile(path));
    }
}

} // namespace quillate::testing
