// Local file services the actions need: the CRC-32 of a file as servers compute it, and temporary files.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillate {

class EFileInfoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TFileInfo {
public:
    // CRC-32 (zlib, as in XCRC replies) of the file's bytes, as unsigned decimal text. Throws
    // EFileInfoError naming the file when it cannot be read.
    static std::string GetFileCRC(const std::filesystem::path& path);

    // Creates a new empty file in TMPDIR (or /tmp) whose name starts with `prefix` and returns its
    // path. Creation is atomic, so concurrent calls never hand out the same name.
    static std::filesystem::path GetTemporaryFileName(std::string_view prefix);

    // A regular file (or a link to one) at path.
    static bool IsExistingFile(const std::string& path);
    // Anything at path, a link followed.
    static bool PathExists(const std::string& path);
    // Why a file to be sent cannot be: "Attachment missing: PATH" when nothing is there, "Attachment is
    // not a regular file: PATH" for a folder, a device or a FIFO; empty for a regular file.
    static std::string AttachmentProblem(const std::string& path);
};

} // namespace quillate
