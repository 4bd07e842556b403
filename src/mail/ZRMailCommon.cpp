#include "mail/ZRMailCommon.h"

#include "host/PassRule.h"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <stdexcept>
#include <sys/stat.h>

namespace zr {

std::vector<std::string> MaskedEventLines(std::string_view text, std::string_view data) {
    std::string whole =
        std::string(text) + " : " +
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

std::int64_t EncodedAttachmentSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    std::int64_t base64 = (static_cast<std::int64_t>(st.st_size) + 2) / 3 * 4;
    return base64 + base64 / 76 * 2;
}

net::TMimeAttachment AttachmentFor(const std::string& path) {
    std::filesystem::path file(path);
    net::TMimeAttachment attachment{path, file.filename().string(), {}, {}};
    if (LowerCase(file.extension().string()) == ".txt")
        attachment.ContentType = "text/plain";
    return attachment;
}

} // namespace zr
