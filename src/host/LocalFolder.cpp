#include "host/LocalFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include <fmt/format.h>

namespace quillate {

namespace {

// Deeper folders than this are refused rather than walked: removal recurses once per level.
constexpr int MaxTreeDepth = 512;
// The temporary name keeps a readable part of the final one and stays within NAME_MAX.
constexpr std::size_t TemporaryLeafPart = 200;
constexpr std::string_view TemporaryMarker = ".quillate-";
constexpr std::string_view TemporarySuffix = ".part";
constexpr std::size_t TemporaryRandomPart = 8;
constexpr int TemporaryNameAttempts = 100;

class TDescriptor {
public:
    explicit TDescriptor(int fd = -1) : FFd(fd) {}
    ~TDescriptor() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    int Get() const { return FFd; }
    int Release() {
        int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Reset(int fd) {
        if (FFd >= 0)
            ::close(FFd);
        FFd = fd;
    }

private:
    int FFd;
};

[[noreturn]] void Raise(std::string_view activity, const std::string& path, int err = errno) {
    throw ELocalFolderError(fmt::format("{} {}: {}", activity, path, std::strerror(err)),
                            std::error_code(err, std::system_category()));
}

std::vector<std::string> Segments(std::string_view relative, const std::string& shown) {
    if (!relative.empty() && relative.back() == '/')
        relative.remove_suffix(1);
    std::vector<std::string> segments;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = relative.find('/', start);
        std::string_view segment = relative.substr(start, end == std::string_view::npos ? end : end - start);
        if (segment.empty() || segment == "." || segment == "..")
            throw ELocalFolderError(fmt::format("{}: a path below the folder may not hold an empty, \".\" or "
                                                "\"..\" segment",
                                                shown),
                                    std::make_error_code(std::errc::invalid_argument));
        segments.emplace_back(segment);
        if (end == std::string_view::npos)
            return segments;
        start = end + 1;
    }
}

bool IsLink(int folder, const std::string& name) {
    struct stat info {};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Opens a subfolder without following a link, creating it first when asked.
int OpenSubfolder(int folder, const std::string& name, const std::string& path, bool create) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        int err = errno;
        if ((err == ELOOP || err == ENOTDIR) && IsLink(folder, name))
            throw ELocalLinkError(path);
        if (err != ENOENT || !create)
            Raise("Opening the folder", path, err);
        if (::mkdirat(folder, name.c_str(), 0777) != 0 && errno != EEXIST)
            Raise("Creating the folder", path);
    }
    Raise("Opening the folder", path, ENOENT);
}

void RemoveContents(int folder, const std::string& path, int depth) {
    if (depth > MaxTreeDepth)
        throw ELocalFolderError(fmt::format("Removing {}: folders nested deeper than {}", path, MaxTreeDepth),
                                std::make_error_code(std::errc::filename_too_long));
    const TLocalFolderListing listing(folder, path);
    for (const auto& name : listing.Names()) {
        std::string child = path + "/" + name;
        struct stat info {};
        if (!listing.Stat(name, false, info))
            continue;
        if (S_ISDIR(info.st_mode)) {
            TDescriptor sub(OpenSubfolder(folder, name, child, false));
            RemoveContents(sub.Get(), child, depth + 1);
            if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0)
                Raise("Removing the folder", child);
        } else if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
            Raise("Removing", child);
        }
    }
}

} // namespace

std::string TemporaryName(const std::string& leaf) {
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof Letters - 2);
    std::string name(1, '.');
    name.append(leaf, 0, TemporaryLeafPart).append(TemporaryMarker);
    for (std::size_t i = 0; i < TemporaryRandomPart; ++i)
        name += Letters[pick(random)];
    return name.append(TemporarySuffix);
}

bool IsTemporaryName(std::string_view name) {
    const std::size_t fixed = 1 + TemporaryMarker.size() + TemporaryRandomPart + TemporarySuffix.size();
    if (name.size() <= fixed || name.size() > fixed + TemporaryLeafPart || name.front() != '.' ||
        !name.ends_with(TemporarySuffix))
        return false;
    name.remove_suffix(TemporarySuffix.size());
    const std::string_view random = name.substr(name.size() - TemporaryRandomPart);
    name.remove_suffix(TemporaryRandomPart);
    return name.ends_with(TemporaryMarker) && std::ranges::all_of(random, [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
           });
}

TLocalFolderListing::TLocalFolderListing(const std::string& path)
    : FFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), FOwned(true) {
    if (FFd < 0)
        Raise("Listing", path);
    // A failed read leaves no destructor to close what the constructor opened.
    try {
        Read(FFd, path);
    } catch (...) {
        ::close(FFd);
        throw;
    }
}

TLocalFolderListing::TLocalFolderListing(int folder, const std::string& path) : FFd(folder) { Read(folder, path); }

TLocalFolderListing::~TLocalFolderListing() {
    if (FOwned)
        ::close(FFd);
}

void TLocalFolderListing::Read(int folder, const std::string& path) {
    // The directory stream takes over the descriptor it is given: it gets a copy.
    int listed = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir) {
        const int err = errno;
        if (listed >= 0)
            ::close(listed);
        Raise("Listing", path, err);
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            FNames.push_back(std::move(name));
        errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0)
        Raise("Listing", path, err);
}

bool TLocalFolderListing::Stat(const std::string& name, bool follow, struct stat& info) const {
    return ::fstatat(FFd, name.c_str(), &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

ELocalLinkError::ELocalLinkError(const std::string& path)
    : ELocalFolderError(fmt::format("{} is a symbolic link and is never written through", path),
                        std::make_error_code(std::errc::too_many_symbolic_link_levels)),
      FPath(path) {}

TLocalFileWriter::TLocalFileWriter(int folder, std::string leaf, std::string temporary, std::string path, int fd,
                                   std::int64_t offset, bool noReplace)
    : FFolder(folder), FLeaf(std::move(leaf)), FTemporary(std::move(temporary)), FPath(std::move(path)), FFd(fd),
      FOffset(offset), FNoReplace(noReplace) {}

TLocalFileWriter::TLocalFileWriter(TLocalFileWriter&& other) noexcept
    : FFolder(other.FFolder), FLeaf(std::move(other.FLeaf)), FTemporary(std::move(other.FTemporary)),
      FPath(std::move(other.FPath)), FFd(other.FFd), FOffset(other.FOffset), FNoReplace(other.FNoReplace) {
    other.FFolder = -1;
    other.FFd = -1;
    other.FTemporary.clear();
}

TLocalFileWriter::~TLocalFileWriter() {
    if (FFd >= 0)
        ::close(FFd);
    if (!FTemporary.empty())
        ::unlinkat(FFolder, FTemporary.c_str(), 0);
    if (FFolder >= 0)
        ::close(FFolder);
}

void TLocalFileWriter::Commit() {
    // close(2) reports delayed write errors (full disk on NFS, quota); they must not be lost.
    int fd = FFd;
    FFd = -1;
    if (fd >= 0 && ::close(fd) != 0)
        Raise("Closing", FPath);
    if (FTemporary.empty())
        return;
    int renamed = ::renameat2(FFolder, FTemporary.c_str(), FFolder, FLeaf.c_str(), FNoReplace ? RENAME_NOREPLACE : 0);
    // Some file systems know no RENAME_NOREPLACE; the file was checked to be absent when the write began.
    if (renamed != 0 && errno == EINVAL && FNoReplace)
        renamed = ::renameat(FFolder, FTemporary.c_str(), FFolder, FLeaf.c_str());
    if (renamed != 0)
        Raise("Putting in place", FPath);
    FTemporary.clear();
}

TLocalFolder::TLocalFolder(const std::string& root) : FRoot(root.empty() ? "." : root) {
    while (FRoot.size() > 1 && FRoot.back() == '/')
        FRoot.pop_back();
    FFd = ::open(FRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (FFd < 0)
        Raise("Opening the folder", FRoot);
}

TLocalFolder::~TLocalFolder() {
    if (FFd >= 0)
        ::close(FFd);
}

std::string TLocalFolder::PathOf(std::string_view relative) const {
    if (relative.empty())
        return FRoot;
    return FRoot == "/" ? FRoot + std::string(relative) : FRoot + "/" + std::string(relative);
}

int TLocalFolder::OpenParent(std::string_view relative, bool create, std::string& leaf) const {
    auto segments = Segments(relative, PathOf(relative));
    TDescriptor folder(::fcntl(FFd, F_DUPFD_CLOEXEC, 0));
    if (folder.Get() < 0)
        Raise("Opening the folder", FRoot);
    std::string path = FRoot;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        path += "/" + segments[i];
        folder.Reset(OpenSubfolder(folder.Get(), segments[i], path, create));
    }
    leaf = segments.back();
    return folder.Release();
}

void TLocalFolder::MakeFolders(std::string_view relative) {
    std::string leaf;
    TDescriptor parent(OpenParent(relative, true, leaf));
    TDescriptor made(OpenSubfolder(parent.Get(), leaf, PathOf(relative), true));
}

TLocalFileWriter TLocalFolder::Write(std::string_view relative, TLocalWriteMode mode) {
    std::string leaf;
    TDescriptor parent(OpenParent(relative, false, leaf));
    std::string path = PathOf(relative);
    struct stat info {};
    bool exists = ::fstatat(parent.Get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(info.st_mode))
        throw ELocalLinkError(path);
    if (exists && !S_ISREG(info.st_mode))
        Raise("Writing", path, EISDIR);
    if (exists && mode == lwmNew)
        throw ELocalFolderError(fmt::format("Writing {}: the local file exists", path),
                                std::make_error_code(std::errc::file_exists));
    if (exists && mode == lwmAppend) {
        TDescriptor file(::openat(parent.Get(), leaf.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
        if (file.Get() < 0) {
            if (errno == ELOOP)
                throw ELocalLinkError(path);
            Raise("Opening", path);
        }
        if (::fstat(file.Get(), &info) != 0)
            Raise("Opening", path);
        int fd = file.Release();
        return TLocalFileWriter(parent.Release(), leaf, {}, path, fd, static_cast<std::int64_t>(info.st_size), false);
    }
    for (int attempt = 0; attempt < TemporaryNameAttempts; ++attempt) {
        std::string temporary = TemporaryName(leaf);
        int fd = ::openat(parent.Get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            Raise("Creating a file beside", path);
        // A replaced file keeps its permissions.
        if (exists)
            ::fchmod(fd, info.st_mode & 07777);
        return TLocalFileWriter(parent.Release(), leaf, temporary, path, fd, 0, mode == lwmNew);
    }
    Raise("Creating a file beside", path, EEXIST);
}

void TLocalFolder::Remove(std::string_view relative) {
    std::string leaf;
    TDescriptor parent(OpenParent(relative, false, leaf));
    if (::unlinkat(parent.Get(), leaf.c_str(), 0) != 0 && errno != ENOENT)
        Raise("Removing", PathOf(relative));
}

void TLocalFolder::RemoveTree(std::string_view relative) {
    std::string leaf;
    TDescriptor parent(OpenParent(relative, false, leaf));
    std::string path = PathOf(relative);
    struct stat info {};
    if (::fstatat(parent.Get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(info.st_mode)) {
        Remove(relative);
        return;
    }
    {
        TDescriptor folder(OpenSubfolder(parent.Get(), leaf, path, false));
        RemoveContents(folder.Get(), path, 0);
    }
    if (::unlinkat(parent.Get(), leaf.c_str(), AT_REMOVEDIR) != 0)
        Raise("Removing the folder", path);
}

void TLocalFolder::SetModificationTime(std::string_view relative, std::chrono::system_clock::time_point when) {
    std::string leaf;
    TDescriptor parent(OpenParent(relative, false, leaf));
    auto since = when.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds.count());
    times[0].tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    times[1] = times[0];
    if (::utimensat(parent.Get(), leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        Raise("Setting the date of", PathOf(relative));
}

} // namespace quillate
