#include "mail/ZRMailCommon.h"
#include "host/PassRule.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <filesystem>
#include <stdexcept>

namespace zr {

std::vector<std::string> MaskedEventLines(std::string_view text, std::string_view data) {
    std::string whole = std::string(text) + " : " +
                        (quillate::MentionsPass(data, quillate::TPassCase::LowerCaseOnly) ? std::string("pass xxx")
                                                                                          : std::string(data));
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t cr = whole.find('\r', start);
        lines.push_back(whole.substr(start, cr == std::string::npos ? std::string::npos : cr - start));
        if (cr == std::string::npos)
            return lines;
        start = cr + 1 < whole.size() && whole[cr + 1] == '\n' ? cr + 2 : cr + 1;
    }
}

std::string_view TrimBlanks(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::int64_t EncodedAttachmentSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    std::int64_t base64 = (static_cast<std::int64_t>(st.st_size) + 2) / 3 * 4;
    return base64 + base64 / 76 * 2;
}

void TSendProgress::Begin(std::int64_t announced) {
    FStart = std::chrono::steady_clock::now();
    FSpeed = 0;
    if (announced > 0)
        ExpectedTotal = announced;
}

void TSendProgress::Update(std::int64_t bytes) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
    if (elapsed > 0)
        FSpeed = static_cast<double>(bytes) / 1024.0 / elapsed;
}

void TSendProgress::End() {
    ExpectedTotal = 0;
    FSpeed = 0;
}

int TSendProgress::Percent(std::int64_t bytes) const {
    if (ExpectedTotal <= 0)
        return 0;
    return static_cast<int>(
        std::min(100.0, std::nearbyint(static_cast<double>(bytes) * 100.0 / static_cast<double>(ExpectedTotal))));
}

std::string TSendProgress::SpeedText() const {
    return fmt::format("Upload speed : {:.2f} KB/s", FSpeed);
}

net::TMimeAttachment AttachmentFor(const std::string& path) {
    std::filesystem::path file(path);
    net::TMimeAttachment attachment{path, file.filename().string(), {}, {}};
    if (LowerCase(file.extension().string()) == ".txt")
        attachment.ContentType = "text/plain";
    return attachment;
}

} // namespace zr
