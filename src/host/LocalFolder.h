// A local folder that a run writes below without ever following a symbolic link under it.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

struct stat;

namespace quillate {

class ELocalFolderError : public std::runtime_error {
public:
    ELocalFolderError(const std::string& text, std::error_code code) : std::runtime_error(text), FCode(code) {}
    std::error_code Code() const { return FCode; }

private:
    std::error_code FCode;
};

// The name a file is written under beside its final leaf until it is complete:
// "." + leaf (its first 200 bytes) + ".quillate-" + 8 random [a-z0-9] + ".part". Local downloads and
// remote uploads share it, so a run knows the leftovers of a killed run on either side.
std::string TemporaryName(const std::string& leaf);
// True for a name TemporaryName can give.
bool IsTemporaryName(std::string_view name);

// A symbolic link stands where a write was to go; Path() names it.
class ELocalLinkError : public ELocalFolderError {
public:
    explicit ELocalLinkError(const std::string& path);
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

// How a file is written: as a new file only, replacing whatever file is there, or appended to the file
// that is there (a new one when there is none).
enum TLocalWriteMode { lwmNew, lwmReplace, lwmAppend };

// A file being written below a local folder. A new or replacing write goes to a hidden name beside the
// target and is renamed over it by Commit, so a write that fails or is stopped leaves the old file as it
// was and no part of a file under the final name; an uncommitted file is removed with this object.
// Appending writes the existing file itself: its bytes are what a resumed download continues.
class TLocalFileWriter {
public:
    TLocalFileWriter(TLocalFileWriter&& other) noexcept;
    TLocalFileWriter& operator=(TLocalFileWriter&&) = delete;
    ~TLocalFileWriter();

    int Descriptor() const { return FFd; }
    // The file's size when it was opened: where appended bytes start, 0 for a new file.
    std::int64_t Offset() const { return FOffset; }
    const std::string& Path() const { return FPath; }
    // Closes the file (reporting late write errors) and puts it in place.
    void Commit();

private:
    friend class TLocalFolder;
    TLocalFileWriter(int folder, std::string leaf, std::string temporary, std::string path, int fd,
                     std::int64_t offset, bool noReplace);

    int FFolder;
    std::string FLeaf;
    std::string FTemporary; // empty when appending in place
    std::string FPath;
    int FFd;
    std::int64_t FOffset;
    bool FNoReplace;
};

// The entries of one folder, read once through its descriptor; each name is then looked at relative to
// it, which costs one name's lookup instead of a whole path's.
class TLocalFolderListing {
public:
    // Throws ELocalFolderError naming path when the folder cannot be opened or read.
    explicit TLocalFolderListing(const std::string& path);
    // The folder open as folder (which stays the caller's); path names it in errors.
    TLocalFolderListing(int folder, const std::string& path);
    TLocalFolderListing(const TLocalFolderListing&) = delete;
    TLocalFolderListing& operator=(const TLocalFolderListing&) = delete;
    ~TLocalFolderListing();

    // Every name but "." and "..", in the order the folder gives them.
    const std::vector<std::string>& Names() const { return FNames; }
    // The entry itself, or with follow what a link points to; false when it cannot be looked at.
    bool Stat(const std::string& name, bool follow, struct stat& info) const;

private:
    void Read(int folder, const std::string& path);

    int FFd;
    bool FOwned = false;
    std::vector<std::string> FNames;
};

// Paths given to the operations are relative to the root, "/"-separated; an empty, "." or ".." segment is
// refused, and so is a symbolic link met on the way; one at the end is never written through, only
// removed. Each path is walked from the root's
// handle one name at a time with O_NOFOLLOW, so a link swapped in during a run is refused too. The root
// itself is opened as the user named it, links and all.
class TLocalFolder {
public:
    // An empty root is the working folder.
    explicit TLocalFolder(const std::string& root);
    TLocalFolder(const TLocalFolder&) = delete;
    TLocalFolder& operator=(const TLocalFolder&) = delete;
    ~TLocalFolder();

    const std::string& Root() const { return FRoot; }
    // The root joined with a relative path, for messages.
    std::string PathOf(std::string_view relative) const;

    // Creates the folder and every missing folder above it.
    void MakeFolders(std::string_view relative);
    TLocalFileWriter Write(std::string_view relative, TLocalWriteMode mode);
    // Removes a file or a link (never what it points to); nothing there is no error.
    void Remove(std::string_view relative);
    // Removes a folder and everything in it; links inside are removed, never entered.
    void RemoveTree(std::string_view relative);
    void SetModificationTime(std::string_view relative, std::chrono::system_clock::time_point when);

private:
    // The descriptor of the folder holding the path's last segment (the caller closes it) and that segment.
    int OpenParent(std::string_view relative, bool create, std::string& leaf) const;

    std::string FRoot;
    int FFd = -1;
};

} // namespace quillate
