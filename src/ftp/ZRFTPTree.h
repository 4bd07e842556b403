// Items and trees of local and remote entries that the synchronisation actions compare, with the walks
// and visitors that do all their work on them.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/DateTime.h"

namespace quillate {
class TZRAction;
}

namespace zr {

enum TFTPItemType : std::uint8_t { itLocalFile = 0, itLocalDir = 1, itRemoteFile = 2, itRemoteDir = 3 };

// tfaOrphaned: only on the target side; tfaChanged: missing or different on the target.
enum TFTPItemDiff : std::uint8_t { tfaUnknown = 0, tfaOrphaned = 1, tfaChanged = 2, tfaUnchanged = 3 };

// A set of TFTPItemDiff kept as one byte, bit n for ordinal n.
class TFTPItemDiffs {
public:
    constexpr TFTPItemDiffs() = default;
    constexpr TFTPItemDiffs(std::initializer_list<TFTPItemDiff> items) {
        for (TFTPItemDiff item : items)
            Insert(item);
    }

    constexpr bool Contains(TFTPItemDiff item) const { return (FBits & Bit(item)) != 0; }
    constexpr void Insert(TFTPItemDiff item) { FBits = static_cast<std::uint8_t>(FBits | Bit(item)); }
    friend constexpr bool operator==(TFTPItemDiffs, TFTPItemDiffs) = default;

private:
    static constexpr std::uint8_t Bit(TFTPItemDiff item) { return static_cast<std::uint8_t>(1u << item); }
    std::uint8_t FBits = 0;
};

enum TVisitorDirection : std::uint8_t { tvdVisitChildren = 0, tvdVisitParents = 1 };
enum TRecursionMethod : std::uint8_t { trmHeadRecursion = 0, trmTailRecursion = 1 };

// Asked before every node of a walk; false ends the walk.
using TOnCheckContinuation = std::function<bool()>;

// One entry of a flat file list. Relative paths are in the pipe form: "|sub|dir|a.txt" for a file,
// "|sub|dir|" for a folder, always with a leading bar.
struct TFTPItem {
    TFTPItemType ItemType = itLocalFile;
    std::string Name;
    // Local paths use "/" as the delimiter here.
    std::string FullPath;
    std::string RelativePathPiped;
    // Number of bars in PathPiped(); kept in step by SetRelativePath or UpdatePathDepth.
    std::int32_t PathDepth = 0;
    std::int64_t CRC = -1;
    std::int64_t Size = 0;
    quillate::TDateTime Date = 0.0;

    bool IsFile() const { return ItemType == itLocalFile || ItemType == itRemoteFile; }
    bool IsDir() const { return ItemType == itLocalDir || ItemType == itRemoteDir; }
    // The folder part with a trailing bar: "|sub|" for "|sub|a.txt", "|" for a file in the base folder.
    std::string PathPiped() const;
    // The text after the last bar for a file; empty for a folder.
    std::string FileNamePiped() const;
    // Sets RelativePathPiped from a path relative to the base folder, taking "\" and "/" as
    // delimiters, and updates PathDepth. Set ItemType first: a folder's path gets a trailing bar.
    void SetRelativePath(std::string_view relativePath);
    void UpdatePathDepth();
};

// Orders items folder by folder: a folder's own files first, then each subfolder followed by its
// contents. Segments compare ASCII-case-insensitively. Returns <0, 0 or >0.
int CompareRelativePaths(const TFTPItem& left, const TFTPItem& right);

// The order of names within a folder: the default locale's collation without case. Tree builders and
// difference visitors sort and merge names with this so that their orders agree.
int CompareFTPNames(std::string_view left, std::string_view right);

// Base of the per-folder data that visitors attach to nodes; released through this type.
class TFTPTreeNodeUserData {
public:
    virtual ~TFTPTreeNodeUserData() = default;
};

class TFTPTreeVisitor;
class TFTPTreeNode;
using PTFTPTreeNode = TFTPTreeNode*;
using TFTPTreeNodeVisitorProc = std::function<bool(TFTPTreeNode&)>;

// Raised when a visitor asks for something a walk order cannot do; a programming error.
class EFTPTreeError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// One file or folder of a tree. A node owns its children; the root belongs to whoever built it.
// Nodes never move once created, so parent pointers stay valid.
class TFTPTreeNode {
public:
    TFTPTreeNode() = default;
    TFTPTreeNode(std::string name, bool isFile);
    TFTPTreeNode(const TFTPTreeNode&) = delete;
    TFTPTreeNode& operator=(const TFTPTreeNode&) = delete;
    ~TFTPTreeNode();

    TFTPTreeNode* AddChild(std::unique_ptr<TFTPTreeNode> child);
    TFTPTreeNode* AddChild(std::string name, bool isFile);
    bool HasChildren() const { return !FChildren.empty(); }
    void SortChildren();
    void UpdateDifference(TFTPItemDiff difference) { FDifference = difference; }
    void UpdateDifferenceAndChildrens(TFTPItemDiff difference);

    std::string GeneratePath(char folderSeparator, bool includeRootNode) const;
    std::string GenerateFullPath(char folderSeparator) const;
    std::string GenerateFullPath(char folderSeparator, const std::string& rootFolder) const;
    std::string GenerateRelativePath(char folderSeparator) const;

    // Calls the visitor's Init with this node, then walks; false from Init or any step ends with false.
    bool Accept(TFTPTreeVisitor& visitor, TRecursionMethod recursionMethod, TVisitorDirection direction);
    bool Accept(const TFTPTreeNodeVisitorProc& visitorProc, TRecursionMethod recursionMethod,
                TVisitorDirection direction);

    TFTPTreeNode* FParent = nullptr;
    std::vector<std::unique_ptr<TFTPTreeNode>> FChildren;
    // The entry's own name; the root holds the whole root folder path instead.
    std::string FName;
    bool FIsFile = false;
    std::int64_t FCRC = -1;
    std::int64_t FSize = -1;
    quillate::TDateTime FDate = -1.0;
    TFTPItemDiff FDifference = tfaUnknown;
    // Released with the node when a walk that attached it did not get to release it itself.
    std::unique_ptr<TFTPTreeNodeUserData> FUserData;
};

class TFTPTreeVisitor {
public:
    virtual ~TFTPTreeVisitor() = default;

    virtual bool VisitEnter(TFTPTreeNode& node) = 0;
    virtual bool VisitLeave(TFTPTreeNode& node) = 0;
    // Clearing callChildren skips the node's children; only the children walk in head order allows it.
    virtual bool Visit(TFTPTreeNode& node, bool& callChildren) = 0;
    virtual bool Init(TFTPTreeNode& rootNode);

    bool CheckContinuation() const { return FOnCheckContinuation ? FOnCheckContinuation() : true; }
    void SetOnCheckContinuation(TOnCheckContinuation value) { FOnCheckContinuation = std::move(value); }

protected:
    TOnCheckContinuation FOnCheckContinuation;
};

// Builds a node's path while walking from the root down to it (parents, tail order).
class TFTPTreePathVisitor : public TFTPTreeVisitor {
public:
    TFTPTreePathVisitor(char folderSeparator, bool includeRootNode)
        : FIncludeRootNode(includeRootNode), FFolderSeparator(folderSeparator) {}

    bool VisitEnter(TFTPTreeNode&) override { return true; }
    bool VisitLeave(TFTPTreeNode&) override { return true; }
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    bool FIncludeRootNode;
    char FFolderSeparator;
};

// Prints a tree into an action's log, walked children-first in head order from the root: a log group
// per folder and a line per file whose difference is one of NodeTypesToInclude.
class TFTPTreeVisitorPrintToLog : public TFTPTreeVisitor {
public:
    explicit TFTPTreeVisitorPrintToLog(quillate::TZRAction& ftpAction) : FFTPAction(&ftpAction) {}

    bool VisitEnter(TFTPTreeNode& node) override;
    bool VisitLeave(TFTPTreeNode& node) override;
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

    virtual std::string NodeMessage(const TFTPTreeNode& node) const;
    virtual std::string GroupMessage(const TFTPTreeNode& node) const;

    void SetNodeTypesToInclude(TFTPItemDiffs value) { FNodeTypesToInclude = value; }
    void SetIncludeChangeStatus(bool value) { FIncludechangeStatus = value; }

private:
    quillate::TZRAction* FFTPAction;
    TFTPItemDiffs FNodeTypesToInclude;
    bool FIncludechangeStatus = false;
};

// A remote tree deeper, or a remote path longer, than these does not end (a looping link, a hostile
// server): a walk throws EFTPEndlessTree there instead of listing on until memory runs out. No real tree
// comes near them, and no local folder could hold such a path.
constexpr std::size_t MaxRemoteTreeDepth = 256;
constexpr std::size_t MaxRemotePathLength = 4096;

class EFTPEndlessTree : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws when the remote folder at depth (the root's children are 1) lies past those bounds.
void CheckRemoteTreeBounds(const std::string& folderPath, std::size_t depth);

} // namespace zr
