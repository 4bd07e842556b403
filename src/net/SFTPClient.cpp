// The SFTP half of the client: each request of protocol version 3 that the connection objects use.
#include "net/SFTPClientImpl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace zr::net {

using namespace sftp_detail;

namespace {

// libssh2 splits a write into packets of about 30 KB and keeps them all in flight, and reads ahead by
// the size asked for: 2 MiB keeps some 70 requests going each way, about what OpenSSH's sftp keeps.
constexpr std::size_t TransferBufferSize = 2 * 1024 * 1024;
constexpr std::size_t MaxLinkTarget = 4096;
// The least a download asks for near its end (about one read request).
constexpr std::int64_t SmallestRead = 32 * 1024;

TFTPItemType ItemTypeOf(const LIBSSH2_SFTP_ATTRIBUTES& a) {
    if (!(a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS))
        return TFTPItemType::ditOther;
    if (LIBSSH2_SFTP_S_ISLNK(a.permissions))
        return TFTPItemType::ditSymbolicLink;
    if (LIBSSH2_SFTP_S_ISDIR(a.permissions))
        return TFTPItemType::ditDirectory;
    if (LIBSSH2_SFTP_S_ISREG(a.permissions))
        return TFTPItemType::ditFile;
    return TFTPItemType::ditOther;
}

TSFTPAttributes AttributesOf(const LIBSSH2_SFTP_ATTRIBUTES& a) {
    TSFTPAttributes out;
    out.ItemType = ItemTypeOf(a);
    if ((a.flags & LIBSSH2_SFTP_ATTR_SIZE) && a.filesize <= static_cast<libssh2_uint64_t>(INT64_MAX))
        out.Size = static_cast<std::int64_t>(a.filesize);
    if (a.flags & LIBSSH2_SFTP_ATTR_ACMODTIME)
        out.ModifiedDate = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(a.mtime));
    return out;
}

std::string PermissionText(const LIBSSH2_SFTP_ATTRIBUTES& a) {
    if (!(a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS))
        return {};
    std::string out = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (!(a.permissions & (0400u >> i)))
            out[static_cast<std::size_t>(i)] = '-';
    return out;
}

} // namespace

std::string TSFTPClient::RealPath(const std::string& path) {
    auto& d = *FImpl;
    std::string activity = d.Begin("Resolving", "realpath", path);
    std::vector<char> target(MaxLinkTarget + 1);
    int rc = d.Retry(activity, [&] {
        return libssh2_sftp_symlink_ex(d.Sftp, path.data(), static_cast<unsigned>(path.size()), target.data(),
                                       static_cast<unsigned>(target.size()), LIBSSH2_SFTP_REALPATH);
    });
    if (rc < 0)
        d.Fail(activity, rc);
    std::string result(target.data(), static_cast<std::size_t>(rc));
    if (HoldsLineBreakOrNul(result))
        throw EProtocolError(FormatNetMessage(activity, d.Peer, "the answer holds a CR, LF or NUL"));
    if (OnReply)
        OnReply(EscapedName(result));
    return result;
}

std::vector<TFTPListItem> TSFTPClient::List(const std::string& path) {
    auto& d = *FImpl;
    std::string activity = d.Begin("Listing", "opendir", path);
    d.Refused.clear();
    d.RefusedCount = 0;
    LIBSSH2_SFTP_HANDLE* handle = d.Open(activity, path, 0, 0, LIBSSH2_SFTP_OPENDIR);
    if (handle == nullptr)
        d.Fail(activity, libssh2_session_last_errno(d.Session));
    std::vector<TFTPListItem> items;
    try {
        // One byte more than a name may have: a name that fills it is too long (or was cut short).
        std::vector<char> name(MaxNameLength + 2);
        std::size_t entries = 0, bytes = 0;
        for (;;) {
            LIBSSH2_SFTP_ATTRIBUTES attributes{};
            int rc = d.Retry(activity, [&] {
                return libssh2_sftp_readdir_ex(handle, name.data(), name.size(), nullptr, 0, &attributes);
            });
            if (rc == 0)
                break;
            if (rc < 0)
                d.Fail(activity, rc);
            std::string_view entry(name.data(), static_cast<std::size_t>(rc));
            bytes += entry.size();
            if (++entries > ListingLimits.MaxLines || bytes > ListingLimits.MaxBytes)
                throw EProtocolError(FormatNetMessage(
                    activity, d.Peer,
                    fmt::format("the listing holds more than {} entries or {} bytes of names",
                                ListingLimits.MaxLines, ListingLimits.MaxBytes)));
            if (entry == "." || entry == "..")
                continue;
            std::optional<std::string_view> reason;
            if (entry.size() > MaxNameLength)
                reason = "it is too long";
            else
                reason = UnsafeNameReason(entry);
            if (reason) {
                if (++d.RefusedCount <= ListingLimits.MaxRefusedKept)
                    d.Refused.push_back({std::string(entry.substr(0, MaxNameLength)), *reason});
                continue;
            }
            TFTPListItem item;
            item.FileName = entry;
            TSFTPAttributes a = AttributesOf(attributes);
            item.ItemType = a.ItemType;
            item.Size = a.Size;
            item.ModifiedDate = a.ModifiedDate;
            item.Permissions = PermissionText(attributes);
            items.push_back(std::move(item));
        }
        d.Close(activity, handle);
    } catch (...) {
        d.CloseQuietly(handle);
        throw;
    }
    // Link targets need a request each, which may not be sent while the folder is being read.
    std::string folder = path.empty() || path.back() == '/' ? path : path + "/";
    for (auto& item : items) {
        if (item.ItemType != TFTPItemType::ditSymbolicLink)
            continue;
        std::string link = folder + item.FileName;
        std::string linkActivity = d.At("Reading the link", link);
        std::vector<char> target(MaxLinkTarget + 1);
        d.Log("readlink " + EscapedName(link));
        int rc = d.Retry(linkActivity, [&] {
            return libssh2_sftp_symlink_ex(d.Sftp, link.data(), static_cast<unsigned>(link.size()),
                                           target.data(), static_cast<unsigned>(target.size()),
                                           LIBSSH2_SFTP_READLINK);
        });
        if (rc >= 0)
            item.LinkTarget.assign(target.data(), static_cast<std::size_t>(rc));
        else if (rc != LIBSSH2_ERROR_SFTP_PROTOCOL)
            d.Fail(linkActivity, rc);
    }
    return items;
}

const std::vector<TRefusedName>& TSFTPClient::RefusedNames() const {
    return FImpl->Refused;
}

std::size_t TSFTPClient::RefusedNameCount() const {
    return FImpl->RefusedCount;
}

TSFTPAttributes TSFTPClient::Stat(const std::string& path) {
    auto& d = *FImpl;
    std::string activity = d.Begin("Looking at", "stat", path);
    return AttributesOf(d.StatRequest(activity, path, LIBSSH2_SFTP_STAT));
}

TSFTPAttributes TSFTPClient::LinkStat(const std::string& path) {
    auto& d = *FImpl;
    std::string activity = d.Begin("Looking at", "lstat", path);
    return AttributesOf(d.StatRequest(activity, path, LIBSSH2_SFTP_LSTAT));
}

void TSFTPClient::SetModTime(const std::string& path, std::chrono::system_clock::time_point when) {
    auto& d = *FImpl;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    if (seconds < 0 || seconds > static_cast<std::int64_t>(UINT32_MAX))
        throw std::out_of_range(
            FormatNetMessage(d.At("Setting the date of", path), d.Peer, "SFTP dates run from 1970 to 2106"));
    std::string activity = d.Begin("Setting the date of", "stat", path);
    LIBSSH2_SFTP_ATTRIBUTES attributes = d.StatRequest(activity, path, LIBSSH2_SFTP_STAT);
    unsigned long accessed = (attributes.flags & LIBSSH2_SFTP_ATTR_ACMODTIME)
                                 ? attributes.atime
                                 : static_cast<unsigned long>(seconds);
    attributes = {};
    attributes.flags = LIBSSH2_SFTP_ATTR_ACMODTIME;
    attributes.atime = accessed;
    attributes.mtime = static_cast<unsigned long>(seconds);
    d.Log(fmt::format("setstat {} mtime {}", EscapedName(path), seconds));
    d.Request(activity, [&] {
        return libssh2_sftp_stat_ex(d.Sftp, path.data(), static_cast<unsigned>(path.size()),
                                    LIBSSH2_SFTP_SETSTAT, &attributes);
    });
}

void TSFTPClient::MakeDir(const std::string& path) {
    auto& d = *FImpl;
    d.Request(d.Begin("Creating the folder", "mkdir", path), [&] {
        return libssh2_sftp_mkdir_ex(d.Sftp, path.data(), static_cast<unsigned>(path.size()), 0755);
    });
}

void TSFTPClient::RemoveDir(const std::string& path) {
    auto& d = *FImpl;
    d.Request(d.Begin("Removing the folder", "rmdir", path), [&] {
        return libssh2_sftp_rmdir_ex(d.Sftp, path.data(), static_cast<unsigned>(path.size()));
    });
}

void TSFTPClient::Delete(const std::string& path) {
    auto& d = *FImpl;
    d.Request(d.Begin("Removing", "remove", path), [&] {
        return libssh2_sftp_unlink_ex(d.Sftp, path.data(), static_cast<unsigned>(path.size()));
    });
}

void TSFTPClient::Rename(const std::string& from, const std::string& to) {
    auto& d = *FImpl;
    std::string activity = fmt::format("Renaming [{}] to [{}] on", EscapedName(from), EscapedName(to));
    if (HoldsLineBreakOrNul(from) || HoldsLineBreakOrNul(to))
        throw EUnsafeCommand(FormatNetMessage(activity, d.Peer, "the path holds a CR, LF or NUL"));
    d.Ready(activity);
    d.Log(fmt::format("rename {} -> {}", EscapedName(from), EscapedName(to)));
    if (d.TryPosixRename(activity, from, to))
        return;
    d.Request(activity, [&] {
        return libssh2_sftp_rename_ex(d.Sftp, from.data(), static_cast<unsigned>(from.size()), to.data(),
                                      static_cast<unsigned>(to.size()),
                                      LIBSSH2_SFTP_RENAME_ATOMIC | LIBSSH2_SFTP_RENAME_NATIVE);
    });
}

std::int64_t TSFTPClient::Get(const std::string& remote, int file, std::int64_t restartAt,
                              const std::string& localName) {
    auto& d = *FImpl;
    std::string activity = d.At("Downloading", remote);
    d.CheckPath(activity, remote);
    d.Ready(activity);
    restartAt = std::max<std::int64_t>(restartAt, 0);
    d.Log(restartAt > 0 ? fmt::format("open {} for read from byte {}", EscapedName(remote), restartAt)
                        : fmt::format("open {} for read", EscapedName(remote)));
    LIBSSH2_SFTP_HANDLE* handle = d.Open(activity, remote, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    if (handle == nullptr)
        d.Fail(activity, libssh2_session_last_errno(d.Session));
    std::int64_t received = 0;
    bool begun = false;
    try {
        LIBSSH2_SFTP_ATTRIBUTES attributes{};
        std::int64_t expected = -1;
        if (d.Retry(activity, [&] { return libssh2_sftp_fstat_ex(handle, &attributes, 0); }) == 0)
            expected = std::max<std::int64_t>(AttributesOf(attributes).Size - restartAt, -1);
        if (restartAt > 0)
            libssh2_sftp_seek64(handle, static_cast<libssh2_uint64_t>(restartAt));
        d.Buffer.resize(TransferBufferSize);
        if (OnWorkBegin)
            OnWorkBegin(TWorkMode::wmRead, expected);
        begun = true;
        for (;;) {
            d.CheckStop(activity);
            // libssh2 reads ahead by four times what is asked for, past the end too: a small file asked for
            // with the whole buffer cost some 280 requests. Asking for about what is left keeps the read-ahead
            // near the end; a file that grows past its size is read with the whole buffer again.
            const std::int64_t whole = static_cast<std::int64_t>(d.Buffer.size());
            const auto ask = static_cast<std::size_t>(
                expected < 0 || received > expected
                    ? whole
                    : std::clamp<std::int64_t>(expected - received + 1, std::min(SmallestRead, whole), whole));
            auto n = d.Retry(activity, [&] { return libssh2_sftp_read(handle, d.Buffer.data(), ask); });
            if (n == 0)
                break;
            if (n < 0)
                d.Fail(activity, n);
            for (ssize_t done = 0; done < n;) {
                ssize_t w = ::write(file, d.Buffer.data() + done, static_cast<std::size_t>(n - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    throw EFileError(fmt::format("Writing {} while downloading [{}]: {}", localName,
                                                 EscapedName(remote), std::strerror(errno)),
                                     std::error_code(errno, std::system_category()));
                done += w;
            }
            received += n;
            if (OnWork)
                OnWork(TWorkMode::wmRead, received);
        }
        d.Close(activity, handle);
    } catch (...) {
        d.CloseQuietly(handle);
        if (begun && OnWorkEnd)
            OnWorkEnd(TWorkMode::wmRead);
        throw;
    }
    if (OnWorkEnd)
        OnWorkEnd(TWorkMode::wmRead);
    return received;
}

void TSFTPClient::Put(const std::string& localFile, const std::string& remote, std::int64_t startPosition) {
    TFd file(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        throw EFileError(fmt::format("Opening {} to upload it: {}", localFile, std::strerror(errno)),
                         std::error_code(errno, std::system_category()));
    Put(file.Get(), remote, startPosition, localFile);
}

void TSFTPClient::Put(int file, const std::string& remote, std::int64_t startPosition,
                      const std::string& localName) {
    auto& d = *FImpl;
    std::string activity = d.At("Uploading to", remote);
    d.CheckPath(activity, remote);
    d.Ready(activity);
    if (startPosition >= 0 && ::lseek(file, startPosition, SEEK_SET) < 0)
        throw EFileError(
            fmt::format("Seeking to byte {} of {}: {}", startPosition, localName, std::strerror(errno)),
            std::error_code(errno, std::system_category()));
    d.Log(startPosition >= 0
              ? fmt::format("open {} for write from byte {}", EscapedName(remote), startPosition)
              : fmt::format("open {} for write", EscapedName(remote)));
    unsigned long flags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | (startPosition < 0 ? LIBSSH2_FXF_TRUNC : 0);
    LIBSSH2_SFTP_HANDLE* handle = d.Open(activity, remote, flags, 0644, LIBSSH2_SFTP_OPENFILE);
    if (handle == nullptr)
        d.Fail(activity, libssh2_session_last_errno(d.Session));
    bool begun = false;
    try {
        if (startPosition > 0)
            libssh2_sftp_seek64(handle, static_cast<libssh2_uint64_t>(startPosition));
        struct stat info {};
        std::int64_t expected = -1;
        if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode))
            expected = info.st_size - std::max<std::int64_t>(startPosition, 0);
        if (OnWorkBegin)
            OnWorkBegin(TWorkMode::wmWrite, expected);
        begun = true;
        d.Buffer.resize(TransferBufferSize);
        char* buffer = d.Buffer.data();
        // libssh2 keeps what it sent but the server has not acknowledged, and expects the same bytes
        // again from the first unacknowledged one: [begin, end) is that window and what follows it.
        std::size_t begin = 0, end = 0;
        bool atEnd = false;
        std::int64_t sent = 0;
        for (;;) {
            if (!atEnd && end - begin < TransferBufferSize / 2) {
                std::memmove(buffer, buffer + begin, end - begin);
                end -= begin;
                begin = 0;
                while (!atEnd && end < TransferBufferSize) {
                    ssize_t n = ::read(file, buffer + end, TransferBufferSize - end);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0)
                        throw EFileError(fmt::format("Reading {} while uploading to [{}]: {}", localName,
                                                     EscapedName(remote), std::strerror(errno)),
                                         std::error_code(errno, std::system_category()));
                    atEnd = n == 0;
                    end += static_cast<std::size_t>(n);
                }
            }
            if (begin == end)
                break;
            d.CheckStop(activity);
            auto n =
                d.Retry(activity, [&] { return libssh2_sftp_write(handle, buffer + begin, end - begin); });
            if (n < 0)
                d.Fail(activity, n);
            begin += static_cast<std::size_t>(n);
            sent += n;
            if (OnWork)
                OnWork(TWorkMode::wmWrite, sent);
        }
        d.Close(activity, handle);
    } catch (...) {
        d.CloseQuietly(handle);
        if (begun && OnWorkEnd)
            OnWorkEnd(TWorkMode::wmWrite);
        throw;
    }
    if (OnWorkEnd)
        OnWorkEnd(TWorkMode::wmWrite);
}

} // namespace zr::net
