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
    // MLSD's unique fact: the server's identity of what the entry names, the same whatever path leads
    // there (a link and its target); empty when the listing gives none.
    std::string Unique;

    bool operator==(const TFTPListItem&) const = default;
};

enum class TFTPListFormat {
    lfDetect, // every line is tried as Unix, then as Windows
    lfUnix,
    lfWindows,
    lfMLSD,
    lfNames, // NLST: one bare name per line
    lfLines, // lines only, for a caller that reads them itself ("LIST -R" with its folder sections)
};

// One listing line; nullopt for lines that name nothing, and for MLSD's cdir and pdir entries, which
// name the listed directory itself. Dates without a year ("Jan  5 12:34") are placed relative to
// now (Unix time).
std::optional<TFTPListItem> ParseListLine(std::string_view line, TFTPListFormat format, std::time_t now);

struct TListingLimits {
    // A longer line fails the listing; no listing format comes close.
    std::size_t MaxLineLength = 64 * 1024;
    // A listing past this many lines or bytes fails (a server streaming garbage forever); together they
    // bound what one listing may cost us.
    std::size_t MaxLines = 1'000'000;
    std::size_t MaxBytes = 256 * 1024 * 1024;
    // Names refused beyond this many are only counted.
    std::size_t MaxRefusedKept = 100;
};

// Why a listed name must not be used as the name of an entry of the listed folder, or nullopt when it
// may: it is sent back in commands (a CR, LF or NUL would end or cut the command line) and joined to
// local paths (an empty name, ".", ".." or one holding "/" would leave the folder).
std::optional<std::string_view> UnsafeNameReason(std::string_view name);

struct TRefusedName {
    std::string Name;
    std::string_view Reason;

    bool operator==(const TRefusedName&) const = default;
};

// Splits a listing arriving in chunks into lines and parses each one as it ends. Lines that parse as
// nothing ("total 12", banners) give no item, nor do the folders "." and ".." that "ls -a" shows;
// entries whose names are unsafe are refused instead (kept up to MaxRefusedKept, all counted). The raw
// lines are kept only when asked for.
class TFTPListingParser {
public:
    explicit TFTPListingParser(TFTPListFormat format, std::time_t now = std::time(nullptr),
                               TListingLimits limits = {}, bool keepLines = false);

    // Throws EProtocolError past a limit.
    void Feed(std::string_view chunk);
    // Parses a last line that had no line end.
    void Finish();

    const std::vector<std::string>& Lines() const { return FLines; }
    const std::vector<TFTPListItem>& Items() const { return FItems; }
    const std::vector<TRefusedName>& Refused() const { return FRefused; }
    std::size_t RefusedCount() const { return FRefusedCount; }
    std::vector<std::string> TakeLines() { return std::move(FLines); }
    std::vector<TFTPListItem> TakeItems() { return std::move(FItems); }
    std::vector<TRefusedName> TakeRefused() { return std::move(FRefused); }

private:
    void LineDone();

    TFTPListFormat FFormat;
    std::time_t FNow;
    TListingLimits FLimits;
    bool FKeepLines;
    std::string FLine;
    std::size_t FLineCount = 0;
    std::size_t FByteCount = 0;
    std::size_t FRefusedCount = 0;
    std::vector<std::string> FLines;
    std::vector<TFTPListItem> FItems;
    std::vector<TRefusedName> FRefused;
};

} // namespace zr::net
