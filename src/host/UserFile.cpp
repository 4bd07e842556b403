#include "host/UserFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

namespace quillate {

using nlohmann::ordered_json;

namespace {

struct TFileDescriptor {
    int Fd;
    ~TFileDescriptor() { ::close(Fd); }
};

// A library message can quote a whole token, and keys and numbers can be megabytes long; what reaches
// the user is cut to a readable length.
constexpr std::size_t MaxReasonLength = 300;
constexpr std::size_t MaxShownLength = 64;

std::string Shown(std::string_view text) {
    return text.size() <= MaxShownLength ? std::string(text) : fmt::format("{}...", text.substr(0, MaxShownLength));
}

// Builds the document through the library's event interface: the parser does not recurse, and keys
// go straight to the end of their object (the library's own ordered objects search their keys on
// every insertion, which is quadratic in the number of keys).
class TBoundedBuilder : public nlohmann::json_sax<ordered_json> {
public:
    TBoundedBuilder(std::string_view text, const TUserFileLimits& limits) : FText(text), FLimits(limits) {}

    ordered_json TakeRoot() { return std::move(FRoot); }

    bool null() override { return Put(nullptr); }
    bool boolean(bool value) override { return Put(value); }
    bool number_integer(number_integer_t value) override { return Put(value); }
    bool number_unsigned(number_unsigned_t value) override { return Put(value); }
    bool number_float(number_float_t value, const string_t& text) override {
        if (!std::isfinite(value))
            Fail(fmt::format("the number {} is out of range", Shown(text)));
        return Put(value);
    }
    bool string(string_t& value) override { return Put(std::move(value)); }
    bool binary(binary_t& value) override { return Put(ordered_json::binary(std::move(value))); }

    bool start_object(std::size_t) override { return Open(ordered_json::object()); }
    bool key(string_t& name) override {
        TFrame& top = FStack.back();
        if (!top.Keys.insert(name).second)
            Fail(fmt::format("the key \"{}\" appears twice", Shown(name)));
        top.Key = std::move(name);
        top.HasKey = true;
        return true;
    }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return Open(ordered_json::array()); }
    bool end_array() override { return Close(); }

    bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& e) override {
        std::size_t end = std::min(position == 0 ? 0 : position - 1, FText.size());
        auto line = 1 + std::count(FText.begin(), FText.begin() + static_cast<std::ptrdiff_t>(end), '\n');
        // The out-of-range error is the only one that concerns a value rather than the syntax.
        if (e.id == 406)
            throw EJsonError(
                fmt::format("line {}: {}", line, Located(fmt::format("the number {} is out of range", Shown(token)))));
        // Drop the library's "[json.exception.parse_error.101] " tag; the reason stays.
        std::string_view reason = e.what();
        if (auto tag = reason.find("] "); reason.starts_with('[') && tag != std::string_view::npos)
            reason.remove_prefix(tag + 2);
        throw EJsonError(fmt::format("line {}: malformed JSON: {}", line, reason.substr(0, MaxReasonLength)));
    }

private:
    struct TFrame {
        ordered_json* Node;
        std::unordered_set<std::string> Keys;
        std::string Key;
        bool HasKey = false;
    };

    // The path of keys and indexes down to the value being read: "actions[0].properties.Port". Below
    // the innermost container the value in progress has not been placed yet; above it, it has. A deep
    // path keeps its first and last steps only.
    std::string Path() const {
        constexpr std::size_t shownAtEachEnd = 6;
        std::string path;
        for (std::size_t i = 0; i < FStack.size(); ++i) {
            if (FStack.size() > 2 * shownAtEachEnd && i == shownAtEachEnd) {
                path += fmt::format("...({} levels)...", FStack.size() - 2 * shownAtEachEnd);
                i = FStack.size() - shownAtEachEnd - 1;
                continue;
            }
            const TFrame& frame = FStack[i];
            if (frame.Node->is_array())
                path += fmt::format("[{}]", frame.Node->size() - (i + 1 < FStack.size() ? 1 : 0));
            else if (frame.HasKey) {
                if (!path.empty() && !path.ends_with("..."))
                    path += '.';
                path += Shown(frame.Key);
            }
        }
        return path;
    }

    std::string Located(const std::string& message) const {
        std::string path = Path();
        return path.empty() ? message : fmt::format("{}: {}", path, message);
    }

    [[noreturn]] void Fail(const std::string& message) const { throw EJsonError(Located(message)); }

    // Places a value where the parser stands and returns where it now lives.
    ordered_json* Place(ordered_json value) {
        if (FStack.empty()) {
            FRoot = std::move(value);
            return &FRoot;
        }
        TFrame& top = FStack.back();
        if (top.Node->is_array()) {
            auto& array = top.Node->get_ref<ordered_json::array_t&>();
            array.push_back(std::move(value));
            return &array.back();
        }
        auto& entries = static_cast<ordered_json::object_t::Container&>(top.Node->get_ref<ordered_json::object_t&>());
        entries.emplace_back(top.Key, std::move(value));
        return &entries.back().second;
    }

    // The key of a value stays in the path until the value is complete.
    void ValueDone() {
        if (!FStack.empty())
            FStack.back().HasKey = false;
    }

    bool Put(ordered_json value) {
        Place(std::move(value));
        ValueDone();
        return true;
    }

    bool Open(ordered_json container) {
        if (FStack.size() >= FLimits.MaxJsonDepth)
            Fail(fmt::format("nested deeper than {} levels", FLimits.MaxJsonDepth));
        FStack.push_back({Place(std::move(container)), {}, {}, false});
        return true;
    }

    bool Close() {
        FStack.pop_back();
        ValueDone();
        return true;
    }

    std::string_view FText;
    const TUserFileLimits& FLimits;
    ordered_json FRoot;
    std::vector<TFrame> FStack;
};

} // namespace

std::string TUserFile::TooLargeMessage(std::size_t maxBytes) {
    return fmt::format("larger than the limit of {} bytes", maxBytes);
}

std::string TUserFile::Read(const std::filesystem::path& path, std::size_t maxBytes) {
    // Without O_NONBLOCK opening a pipe would wait for a writer before the check below could refuse it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        throw EUserFileError(fmt::format("cannot open the file: {}", std::strerror(errno)), errno == ENOENT);
    TFileDescriptor guard{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw EUserFileError(fmt::format("cannot read the file: {}", std::strerror(errno)), false);
    if (!S_ISREG(info.st_mode))
        throw EUserFileError("not a file", false);
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes)
        throw EUserFileError(TooLargeMessage(maxBytes), false);
    // The size can change while we read (a file still being written); the limit holds whatever it says.
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EUserFileError(fmt::format("cannot read the file: {}", std::strerror(errno)), false);
        if (n == 0)
            return text;
        if (text.size() + static_cast<std::size_t>(n) > maxBytes)
            throw EUserFileError(TooLargeMessage(maxBytes), false);
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

ordered_json TUserFile::ParseJson(std::string_view text, const TUserFileLimits& limits) {
    if (text.size() > limits.MaxBytes)
        throw EJsonError(TooLargeMessage(limits.MaxBytes));
    // The parser takes a NUL byte for the end of the text: whatever follows it would be ignored unseen.
    if (auto nul = text.find('\0'); nul != std::string_view::npos)
        throw EJsonError(
            fmt::format("line {}: malformed JSON: a NUL byte, which no JSON text holds",
                        1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n')));
    TBoundedBuilder builder(text, limits);
    ordered_json::sax_parse(text.begin(), text.end(), &builder);
    return builder.TakeRoot();
}

} // namespace quillate
