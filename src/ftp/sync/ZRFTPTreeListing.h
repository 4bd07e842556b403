// A listing of a whole remote tree in one command ("LIST -aR"), split into the listings of its folders, so
// that a walk that needs no exact dates reads the tree without a listing per folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ZRFTPConnection.h"

namespace zr {

// What a walk that compares no exact dates reads of an entry: about a third of a listing item's size, as
// the whole tree is held at once.
struct TFTPTreeEntry {
    std::string FileName;
    net::TFTPItemType ItemType = net::TFTPItemType::ditFile;
    std::int64_t Size = -1;
    std::optional<std::chrono::system_clock::time_point> ModifiedDate;

    static TFTPTreeEntry Of(net::TFTPListItem&& item);
    // Gives the name up: the entry is read once, as the walk takes its folder.
    net::TFTPListItem Item() &&;
};

// Folder path (as the walk names it, no trailing "/", the root as given) to its entries.
using TFTPTreeListing = std::map<std::string, std::vector<TFTPTreeEntry>>;

// Splits the lines of "LIST -aR root" into the listings of root and the folders below it. Empty when they
// cannot stand for per-folder listings: no folder shows its own section (the server ignored -R), a link
// (a per-folder listing may show it otherwise), a name that listing would refuse with a warning, a section
// outside root, given twice or of a folder its parent's section does not list, or lines that are not
// "ls -l" entries. The last section and empty ones are left out, as a server's limits on such listings
// cut them short without saying so: those folders must be listed on their own, and `listAlone` (when
// given) receives their paths.
std::optional<TFTPTreeListing> SplitTreeListing(const std::vector<std::string>& lines, const std::string& root,
                                                std::time_t now = std::time(nullptr),
                                                std::vector<std::string>* listAlone = nullptr);

} // namespace zr
