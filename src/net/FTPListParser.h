// Directory listing parsers (Unix "ls -l", Windows/IIS, MLSD facts) into list items; no I/O.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

// Symbolic links are kept apart from other special entries (devices, pipes, sockets) because
// they carry a target.
enum class TFTPItemType { ditFile, ditDirectory, ditSymbolicLink, ditOther };

struct TFTPListItem {
    std::string FileName;
    TFTPItemType ItemType = TFTPItemType::ditFile;
    // -1 when the listing gives none.
    std::int64_t Size = -1;
    // Absent when the listing gives none. LIST dates carry no zone: they are the server's wall
    // clock, taken as ours.
    std::optional<std::chrono::system_clock::time_point> ModifiedDate;
    std::string LinkTarget;
    // "rwxr-xr-x" from ls, the perm fact from MLSD.
    std::string Permissions;

    bool operator==(const TFTPListItem&) const = default;
};

enum class TFTPListFormat {
    lfDetect, // every line is tried as Unix, then as Windows
    lfUnix,
    lfWindows,
    lfMLSD,
    lfNames, // NLST: one bare name per line
};

// One listing line; nullopt for lines that name nothing, and for MLSD's cdir and pdir entries, which
// name the listed directory itself. Dates without a year ("Jan  5 12:34") are placed relative to
// now (Unix time).
std::optional<TFTPListItem> ParseListLine(std::string_view line, TFTPListFormat format, std::time_t now);

struct TListingLimits {
    // Longer lines are dropped whole; no listing format comes close.
    std::size_t MaxLineLength = 64 * 1024;
    // A listing past this many lines is refused (a server streaming garbage forever).
    std::size_t MaxLines = 5'000'000;
};

// Splits a listing arriving in chunks into lines and parses each one. Lines that parse as
// nothing ("total 12", banners) stay in Lines() but give no item; "." and ".." give none either.
class TFTPListingParser {
public:
    explicit TFTPListingParser(TFTPListFormat format, std::time_t now = std::time(nullptr),
                               TListingLimits limits = {});

    // Throws EProtocolError past MaxLines.
    void Feed(std::string_view chunk);
    // Parses a last line that had no line end.
    void Finish();

    const std::vector<std::string>& Lines() const { return FLines; }
    const std::vector<TFTPListItem>& Items() const { return FItems; }
    std::vector<std::string> TakeLines() { return std::move(FLines); }
    std::vector<TFTPListItem> TakeItems() { return std::move(FItems); }

private:
    void LineDone();

    TFTPListFormat FFormat;
    std::time_t FNow;
    TListingLimits FLimits;
    std::string FLine;
    bool FOverlong = false;
    std::size_t FLineCount = 0;
    std::vector<std::string> FLines;
    std::vector<TFTPListItem> FItems;
};

} // namespace zr::net
