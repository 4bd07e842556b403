#include "ftp/sync/ZRFTPTreeListing.h"

#include <algorithm>

namespace zr {

namespace {

// Servers that cut recursive listings short allow thousands of entries at the least.
constexpr std::size_t SmallerThanAnyLimit = 1000;

// "/q/d00:" or, from servers that name sections relative to the listed folder, "d00:" and "./d00:".
std::optional<std::string> SectionPath(const std::string& header, const std::string& root) {
    std::string path = header.substr(0, header.size() - 1);
    // Pure-FTPd heads the sections below "/" with "//".
    while (path.starts_with("//"))
        path.erase(0, 1);
    if (path.starts_with("./"))
        path.erase(0, 2);
    if (path == "." || path == root)
        return root;
    if (!path.starts_with('/'))
        return (root == "/" ? root : root + "/") + path;
    const std::string prefix = root == "/" ? root : root + "/";
    if (!path.starts_with(prefix) || path.size() == prefix.size())
        return std::nullopt;
    return path;
}

// Every section below root is a folder its parent's section lists: a server that stopped listing part-way
// through a section (Pure-FTPd past its count) still heads the sections it did not fill.
bool Consistent(const TFTPTreeListing& tree, const std::string& root) {
    for (const auto& [path, items] : tree) {
        if (path == root)
            continue;
        const std::size_t slash = path.rfind('/');
        const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
        const std::string name = path.substr(slash + 1);
        auto above = tree.find(parent);
        if (above == tree.end() || std::none_of(above->second.begin(), above->second.end(), [&name](const auto& item) {
                return item.FileName == name && item.ItemType == net::TFTPItemType::ditDirectory;
            }))
            return false;
    }
    return true;
}

} // namespace

TFTPTreeEntry TFTPTreeEntry::Of(net::TFTPListItem&& item) {
    return {std::move(item.FileName), item.ItemType, item.Size, item.ModifiedDate};
}

net::TFTPListItem TFTPTreeEntry::Item() && {
    net::TFTPListItem item;
    item.FileName = std::move(FileName);
    item.ItemType = ItemType;
    item.Size = Size;
    item.ModifiedDate = ModifiedDate;
    return item;
}

std::optional<TFTPTreeListing> SplitTreeListing(const std::vector<std::string>& lines, const std::string& root,
                                                std::time_t now, std::vector<std::string>* listAlone) {
    TFTPTreeListing tree;
    std::vector<TFTPTreeEntry>* section = &tree[root];
    std::string lastPath = root;
    bool folderBelow = false;
    for (const std::string& line : lines) {
        if (line.empty() || line.starts_with("total "))
            continue;
        auto item = net::ParseListLine(line, net::TFTPListFormat::lfUnix, now);
        if (!item) {
            if (!line.ends_with(':'))
                return std::nullopt;
            auto path = SectionPath(line, root);
            // Some servers head the listed folder's own section too ("." first, as ls does).
            if (path == root && section == &tree[root] && section->empty())
                continue;
            if (!path || tree.count(*path))
                return std::nullopt;
            section = &tree[*path];
            lastPath = *path;
            continue;
        }
        if (item->ItemType == net::TFTPItemType::ditDirectory && (item->FileName == "." || item->FileName == ".."))
            continue;
        if (item->ItemType == net::TFTPItemType::ditSymbolicLink || net::UnsafeNameReason(item->FileName))
            return std::nullopt;
        folderBelow = folderBelow || item->ItemType == net::TFTPItemType::ditDirectory;
        section->push_back(TFTPTreeEntry::Of(std::move(*item)));
    }
    // Folders but no section of their own: the server listed the folder alone.
    if (folderBelow && tree.size() == 1)
        return std::nullopt;
    if (!Consistent(tree, root))
        return std::nullopt;
    // A folder without folders, and fewer entries than any server's limits allow: its one section is the
    // folder's own listing, and listing it again would only double the work.
    if (tree.size() == 1 && !section->empty() && section->size() < SmallerThanAnyLimit) {
        section->shrink_to_fit();
        return tree;
    }
    // A server that limits such listings cuts the last section short, and shows a folder past its limit
    // on depth as an empty section: those folders are listed on their own.
    tree.erase(lastPath);
    if (listAlone)
        listAlone->push_back(lastPath);
    std::erase_if(tree, [listAlone](const auto& folder) {
        if (!folder.second.empty())
            return false;
        if (listAlone)
            listAlone->push_back(folder.first);
        return true;
    });
    // The whole tree is held until the walk reaches it: sections grown one entry at a time would keep a
    // third more than they hold.
    for (auto& [path, items] : tree)
        items.shrink_to_fit();
    return tree;
}

} // namespace zr
