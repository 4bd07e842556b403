// Files a user hands the host (projects, the options store, the secret), read and parsed within bounds.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillate {

// A user file that cannot be read; the message names no file, the caller adds it.
class EUserFileError : public std::runtime_error {
public:
    EUserFileError(std::string message, bool missing)
        : std::runtime_error(std::move(message)), FMissing(missing) {}
    // The file does not exist (an options store that was never saved, for one).
    bool Missing() const { return FMissing; }

private:
    bool FMissing;
};

// JSON that does not parse or breaks a limit. The message gives the line where it is known and the
// path of keys and indexes down to the culprit ("line 3: actions[0].properties.Port: ...").
class EJsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TUserFileLimits {
    std::size_t MaxBytes = 64 * 1024 * 1024;
    // Far beyond what a person writes; what consumes the document may recurse this deep.
    std::size_t MaxJsonDepth = 1024;
};

class TUserFile {
public:
    // The whole content of a regular file of at most maxBytes; a folder, a device or a pipe is "not a
    // file" and is never read (nor waited on).
    static std::string Read(const std::filesystem::path& path, std::size_t maxBytes);
    // Parses without recursion, in time linear in the text; a key that appears twice in one object is
    // an error rather than a silent choice of one of the two values.
    static nlohmann::ordered_json ParseJson(std::string_view text, const TUserFileLimits& limits = {});
    static std::string TooLargeMessage(std::size_t maxBytes);
};

} // namespace quillate
