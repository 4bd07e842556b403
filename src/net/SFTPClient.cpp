// The SFTP half of the client: version 3's packets over the session's channel, and each request the
// connection objects use. Transfers keep many reads or writes in flight, as OpenSSH's sftp does.
#include "net/SFTPClientImpl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace zr::net {

using namespace sftp_detail;

namespace {

// The largest packet taken from the server: OpenSSH's own bound of 256 KiB, and room for the header.
constexpr std::uint32_t LargestPacket = 256 * 1024 + 1024;
// Room for two of them, so that a whole packet always fits behind a partial one.
constexpr std::size_t InboxSize = 2 * LargestPacket;
// A transfer keeps RequestsInFlight requests of ChunkSize each going: 2 MiB, OpenSSH sftp's window.
constexpr std::uint32_t ChunkSize = 32 * 1024;
constexpr std::size_t RequestsInFlight = 64;
constexpr std::size_t FileReadSize = 2 * 1024 * 1024;
// More early answers than requests we ever keep in flight: the server answers what we did not ask.
constexpr std::size_t MaxEarlyAnswers = 4 * RequestsInFlight;
constexpr std::string_view PosixRenameName = "posix-rename@openssh.com";

std::string Str(std::string_view text) {
    std::string out;
    PutString(out, text);
    return out;
}

std::optional<TWireAttributes> ReadAttributes(TSSHFieldReader& in) {
    TWireAttributes a;
    auto flags = in.U32();
    if (!flags)
        return std::nullopt;
    if (*flags & AttrSize && !(a.Size = in.U64()))
        return std::nullopt;
    if (*flags & AttrUidGid && !(in.U32() && in.U32()))
        return std::nullopt;
    if (*flags & AttrPermissions && !(a.Permissions = in.U32()))
        return std::nullopt;
    if (*flags & AttrAcModTime && !((a.AccessTime = in.U32()) && (a.ModifiedTime = in.U32())))
        return std::nullopt;
    if (*flags & AttrExtended) {
        auto count = in.U32();
        if (!count)
            return std::nullopt;
        for (std::uint32_t i = 0; i < *count; ++i)
            if (!(in.String() && in.String()))
                return std::nullopt;
    }
    return a;
}

TFTPItemType ItemTypeOf(const TWireAttributes& a) {
    if (!a.Permissions)
        return TFTPItemType::ditOther;
    switch (*a.Permissions & S_IFMT) {
    case S_IFLNK:
        return TFTPItemType::ditSymbolicLink;
    case S_IFDIR:
        return TFTPItemType::ditDirectory;
    case S_IFREG:
        return TFTPItemType::ditFile;
    default:
        return TFTPItemType::ditOther;
    }
}

TSFTPAttributes AttributesOf(const TWireAttributes& a) {
    TSFTPAttributes out;
    out.ItemType = ItemTypeOf(a);
    if (a.Size && *a.Size <= static_cast<std::uint64_t>(INT64_MAX))
        out.Size = static_cast<std::int64_t>(*a.Size);
    if (a.ModifiedTime)
        out.ModifiedDate = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(*a.ModifiedTime));
    return out;
}

std::string PermissionText(const TWireAttributes& a) {
    if (!a.Permissions)
        return {};
    std::string out = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (!(*a.Permissions & (0400u >> i)))
            out[static_cast<std::size_t>(i)] = '-';
    return out;
}

// Attributes that set the permissions only.
std::string PermissionAttributes(std::uint32_t mode) {
    std::string out;
    PutU32(out, AttrPermissions);
    PutU32(out, mode);
    return out;
}

} // namespace

// The packet layer.

std::uint32_t TSFTPClient::TImpl::Send(std::string_view activity, std::uint8_t type, std::string_view body,
                                       std::string_view tail) {
    const std::uint32_t id = NextId++;
    std::string packet;
    packet.reserve(9 + body.size() + tail.size());
    PutU32(packet, static_cast<std::uint32_t>(5 + body.size() + tail.size()));
    packet.push_back(static_cast<char>(type));
    PutU32(packet, id);
    packet.append(body);
    packet.append(tail);
    WriteChannel(activity, packet);
    return id;
}

void TSFTPClient::TImpl::WriteChannel(std::string_view activity, std::string_view bytes) {
    while (!bytes.empty()) {
        // Never more than the window takes: a write that has to wait for it would not say how much it sent.
        const std::uint32_t window = ssh_channel_window_size(Channel);
        if (window > 0) {
            const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), window));
            const int n = ssh_channel_write(Channel, bytes.data(), size);
            if (n == SSH_ERROR)
                FailSession(activity);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
        }
        // Nothing went: the window opens when the server's adjustment is read, with whatever else came.
        if (!PullChannel(activity) && ssh_channel_window_size(Channel) <= window)
            WaitSocket(activity);
    }
}

bool TSFTPClient::TImpl::PullChannel(std::string_view activity) {
    if (Inbox.size() != InboxSize)
        Inbox.resize(InboxSize);
    if (InboxEnd > InboxSize - LargestPacket) {
        // Whole answers that wait while a request is being written make room as early ones.
        while (auto packet = TakePacket(activity))
            KeepEarly(activity, std::move(*packet));
        std::memmove(Inbox.data(), Inbox.data() + InboxStart, InboxEnd - InboxStart);
        InboxEnd -= InboxStart;
        InboxStart = 0;
    }
    auto read = [&] {
        return ssh_channel_read_nonblocking(Channel, Inbox.data() + InboxEnd,
                                            static_cast<std::uint32_t>(InboxSize - InboxEnd), 0);
    };
    int n = read();
    if (n == 0) {
        // What the server writes to its error stream is not SFTP: read and dropped, so that it never
        // holds the channel's window. Reading it may bring SFTP's bytes from the socket too.
        char dropped[4096];
        while (ssh_channel_read_nonblocking(Channel, dropped, sizeof dropped, 1) > 0) {
        }
        n = read();
    }
    if (n == SSH_EOF)
        FailSession(activity, "the server closed the session");
    if (n < 0)
        FailSession(activity);
    InboxEnd += static_cast<std::size_t>(n);
    return n > 0;
}

void TSFTPClient::TImpl::KeepEarly(std::string_view activity, TPacket packet) {
    if (Abandoned.erase(packet.Id) > 0)
        return;
    // Ids run on modulo 2^32: one at or after the next to send (within half the circle) was never sent.
    const bool unsent = static_cast<std::uint32_t>(packet.Id - NextId) < 0x80000000u;
    if (unsent || Early.size() >= MaxEarlyAnswers || packet.Type == FxpVersion ||
        !Early.emplace(packet.Id, std::move(packet)).second)
        FailProtocol(activity, "the server answered requests that were not sent");
}

std::optional<TPacket> TSFTPClient::TImpl::TakePacket(std::string_view activity) {
    TSSHFieldReader header(std::string_view(Inbox.data() + InboxStart, InboxEnd - InboxStart));
    auto length = header.U32();
    if (!length)
        return std::nullopt;
    if (*length == 0 || *length > LargestPacket)
        FailProtocol(activity, fmt::format("the server sent a packet of {} bytes", *length));
    if (InboxEnd - InboxStart < 4 + std::size_t{*length})
        return std::nullopt;
    std::string_view packet(Inbox.data() + InboxStart + 4, *length);
    InboxStart += 4 + std::size_t{*length};
    if (InboxStart == InboxEnd)
        InboxStart = InboxEnd = 0;
    TPacket out;
    out.Type = static_cast<std::uint8_t>(packet[0]);
    packet.remove_prefix(1);
    // VERSION, the answer to INIT, is the one packet without a request id.
    if (out.Type != FxpVersion) {
        TSSHFieldReader body(packet);
        auto id = body.U32();
        if (!id)
            FailProtocol(activity, "the server sent a packet without a request id");
        out.Id = *id;
        packet.remove_prefix(4);
    }
    out.Body.assign(packet);
    return out;
}

TPacket TSFTPClient::TImpl::NextPacket(std::string_view activity) {
    for (;;) {
        if (auto packet = TakePacket(activity))
            return std::move(*packet);
        if (!PullChannel(activity))
            WaitSocket(activity);
    }
}

TPacket TSFTPClient::TImpl::Answer(std::string_view activity, std::uint32_t id) {
    if (auto early = Early.find(id); early != Early.end()) {
        TPacket packet = std::move(early->second);
        Early.erase(early);
        return packet;
    }
    for (;;) {
        TPacket packet = NextPacket(activity);
        if (packet.Id == id && packet.Type != FxpVersion)
            return packet;
        KeepEarly(activity, std::move(packet));
    }
}

void TSFTPClient::TImpl::Abandon(std::uint32_t id) {
    if (Early.erase(id) == 0)
        Abandoned.insert(id);
}

namespace {

// The status code of a STATUS answer.
std::optional<std::uint32_t> StatusCode(const TPacket& packet) {
    if (packet.Type != FxpStatus)
        return std::nullopt;
    return TSSHFieldReader(packet.Body).U32();
}

} // namespace

TPacket TSFTPClient::TImpl::Reply(std::string_view activity, std::uint32_t id, std::uint8_t type,
                                  std::string_view what) {
    TPacket answer = Answer(activity, id);
    if (answer.Type == FxpStatus) {
        auto status = StatusCode(answer);
        if (!status)
            FailProtocol(activity, "the server sent a status without its code");
        if (type != FxpStatus || *status != 0)
            FailStatus(activity, *status);
    } else if (answer.Type != type) {
        FailProtocol(activity, fmt::format("the server answered without {}", what));
    }
    return answer;
}

void TSFTPClient::TImpl::StatusRequest(std::string_view activity, std::uint8_t type, std::string_view body) {
    Reply(activity, Send(activity, type, body), FxpStatus, "a status");
}

std::string TSFTPClient::TImpl::OpenHandle(std::string_view activity, std::uint8_t type,
                                           std::string_view body) {
    TPacket answer = Reply(activity, Send(activity, type, body), FxpHandle, "a handle");
    auto handle = TSSHFieldReader(answer.Body).String();
    // A handle is at most 256 bytes.
    if (!handle || handle->size() > 256)
        FailProtocol(activity, "the server answered without a handle");
    return std::string(*handle);
}

void TSFTPClient::TImpl::CloseHandle(std::string_view activity, const std::string& handle) {
    StatusRequest(activity, FxpClose, Str(handle));
}

void TSFTPClient::TImpl::CloseHandleQuietly(const std::string& handle) noexcept {
    if (Broken || Channel == nullptr || handle.empty())
        return;
    try {
        CloseHandle("Closing a file", handle);
    } catch (...) {
    }
}

TWireAttributes TSFTPClient::TImpl::AttributesRequest(std::string_view activity, std::uint8_t type,
                                                      std::string_view body) {
    TPacket answer = Reply(activity, Send(activity, type, body), FxpAttrs, "attributes");
    TSSHFieldReader in(answer.Body);
    auto attributes = ReadAttributes(in);
    if (!attributes)
        FailProtocol(activity, "the server answered without attributes");
    return *attributes;
}

void TSFTPClient::TImpl::StartSftp() {
    const std::string_view activity = "Starting SFTP on";
    Channel = ssh_channel_new(Session);
    if (Channel == nullptr)
        FailSession(activity);
    if (Retry(activity, SSH_AGAIN, [&] { return ssh_channel_open_session(Channel); }) != SSH_OK ||
        Retry(activity, SSH_AGAIN, [&] { return ssh_channel_request_subsystem(Channel, "sftp"); }) != SSH_OK)
        FailSession(activity);
    std::string init;
    PutU32(init, 5);
    init.push_back(static_cast<char>(FxpInit));
    PutU32(init, 3);
    WriteChannel(activity, init);
    TPacket version = NextPacket(activity);
    TSSHFieldReader in(version.Body);
    auto number = in.U32();
    if (version.Type != FxpVersion || !number)
        FailProtocol(activity, "the server did not answer SFTP's greeting");
    if (*number != 3)
        FailProtocol(activity, fmt::format("the server speaks SFTP version {}, not 3", *number));
    while (!in.AtEnd()) {
        auto name = in.String();
        if (!name || !in.String())
            FailProtocol(activity, "the server's list of extensions is malformed");
        PosixRename = PosixRename || *name == PosixRenameName;
    }
}

// The requests.

std::string TSFTPClient::RealPath(const std::string& path) {
    auto& d = *FImpl;
    std::string activity = d.Begin("Resolving", "realpath", path);
    TPacket answer = d.Reply(activity, d.Send(activity, FxpRealpath, Str(path)), FxpName, "a name");
    TSSHFieldReader in(answer.Body);
    auto count = in.U32();
    auto name = in.String();
    if (!count || *count == 0 || !name)
        d.FailProtocol(activity, "the server answered without a name");
    std::string result(*name);
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
    const std::string handle = d.OpenHandle(activity, FxpOpendir, Str(path));
    std::vector<TFTPListItem> items;
    try {
        std::size_t entries = 0, bytes = 0;
        for (;;) {
            TPacket answer = d.Answer(activity, d.Send(activity, FxpReaddir, Str(handle)));
            if (auto status = StatusCode(answer)) {
                if (*status == ESFTPError::EndOfFile)
                    break;
                d.FailStatus(activity, *status);
            }
            TSSHFieldReader in(answer.Body);
            auto count = in.U32();
            if (answer.Type != FxpName || !count)
                d.FailProtocol(activity, "the server answered without names");
            for (std::uint32_t i = 0; i < *count; ++i) {
                auto entry = in.String();
                auto longName = in.String();
                auto attributes = entry && longName ? ReadAttributes(in) : std::nullopt;
                if (!attributes)
                    d.FailProtocol(activity, "the server's list of names is malformed");
                bytes += entry->size();
                if (++entries > ListingLimits.MaxLines || bytes > ListingLimits.MaxBytes)
                    throw EProtocolError(FormatNetMessage(
                        activity, d.Peer,
                        fmt::format("the listing holds more than {} entries or {} bytes of names",
                                    ListingLimits.MaxLines, ListingLimits.MaxBytes)));
                if (*entry == "." || *entry == "..")
                    continue;
                std::optional<std::string_view> reason;
                if (entry->size() > MaxNameLength)
                    reason = "it is too long";
                else
                    reason = UnsafeNameReason(*entry);
                if (reason) {
                    if (++d.RefusedCount <= ListingLimits.MaxRefusedKept)
                        d.Refused.push_back({std::string(entry->substr(0, MaxNameLength)), *reason});
                    continue;
                }
                TFTPListItem item;
                item.FileName = *entry;
                TSFTPAttributes a = AttributesOf(*attributes);
                item.ItemType = a.ItemType;
                item.Size = a.Size;
                item.ModifiedDate = a.ModifiedDate;
                item.Permissions = PermissionText(*attributes);
                items.push_back(std::move(item));
            }
        }
        d.CloseHandle(activity, handle);
    } catch (...) {
        d.CloseHandleQuietly(handle);
        throw;
    }
    // Link targets, read a window of them at a time; a link the server cannot read keeps no target.
    std::string folder = path.empty() || path.back() == '/' ? path : path + "/";
    std::vector<TFTPListItem*> links;
    for (auto& item : items)
        if (item.ItemType == TFTPItemType::ditSymbolicLink)
            links.push_back(&item);
    for (std::size_t first = 0; first < links.size(); first += RequestsInFlight) {
        const std::size_t last = std::min(links.size(), first + RequestsInFlight);
        std::vector<std::pair<std::uint32_t, std::string>> sent;
        for (std::size_t i = first; i < last; ++i) {
            std::string link = folder + links[i]->FileName;
            d.Log("readlink " + EscapedName(link));
            std::string linkActivity = d.At("Reading the link", link);
            sent.emplace_back(d.Send(linkActivity, FxpReadlink, Str(link)), std::move(linkActivity));
        }
        for (std::size_t i = first; i < last; ++i) {
            const auto& [id, linkActivity] = sent[i - first];
            TPacket answer = d.Answer(linkActivity, id);
            TSSHFieldReader in(answer.Body);
            auto count = in.U32();
            auto target = in.String();
            if (answer.Type == FxpName && count && *count > 0 && target)
                links[i]->LinkTarget = *target;
            else if (answer.Type != FxpStatus)
                d.FailProtocol(linkActivity, "the server answered without a name");
        }
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
    return AttributesOf(d.AttributesRequest(activity, FxpStat, Str(path)));
}

TSFTPAttributes TSFTPClient::LinkStat(const std::string& path) {
    auto& d = *FImpl;
    std::string activity = d.Begin("Looking at", "lstat", path);
    return AttributesOf(d.AttributesRequest(activity, FxpLstat, Str(path)));
}

void TSFTPClient::SetModTime(const std::string& path, std::chrono::system_clock::time_point when) {
    auto& d = *FImpl;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    if (seconds < 0 || seconds > static_cast<std::int64_t>(UINT32_MAX))
        throw std::out_of_range(
            FormatNetMessage(d.At("Setting the date of", path), d.Peer, "SFTP dates run from 1970 to 2106"));
    std::string activity = d.Begin("Setting the date of", "stat", path);
    // Version 3 sets both dates or neither: the access date is kept as it is.
    TWireAttributes current = d.AttributesRequest(activity, FxpStat, Str(path));
    std::string attributes;
    PutU32(attributes, AttrAcModTime);
    PutU32(attributes, current.AccessTime.value_or(static_cast<std::uint32_t>(seconds)));
    PutU32(attributes, static_cast<std::uint32_t>(seconds));
    d.Log(fmt::format("setstat {} mtime {}", EscapedName(path), seconds));
    d.StatusRequest(activity, FxpSetstat, Str(path) + attributes);
}

void TSFTPClient::MakeDir(const std::string& path) {
    auto& d = *FImpl;
    d.StatusRequest(d.Begin("Creating the folder", "mkdir", path), FxpMkdir,
                    Str(path) + PermissionAttributes(0755));
}

void TSFTPClient::RemoveDir(const std::string& path) {
    auto& d = *FImpl;
    d.StatusRequest(d.Begin("Removing the folder", "rmdir", path), FxpRmdir, Str(path));
}

void TSFTPClient::Delete(const std::string& path) {
    auto& d = *FImpl;
    d.StatusRequest(d.Begin("Removing", "remove", path), FxpRemove, Str(path));
}

void TSFTPClient::Rename(const std::string& from, const std::string& to) {
    auto& d = *FImpl;
    std::string activity = fmt::format("Renaming [{}] to [{}] on", EscapedName(from), EscapedName(to));
    if (HoldsLineBreakOrNul(from) || HoldsLineBreakOrNul(to))
        throw EUnsafeCommand(FormatNetMessage(activity, d.Peer, "the path holds a CR, LF or NUL"));
    d.Ready(activity);
    d.Log(fmt::format("rename {} -> {}", EscapedName(from), EscapedName(to)));
    // Version 3's rename refuses to replace a file; OpenSSH's extension is rename(2), which does.
    if (d.PosixRename) {
        TPacket answer =
            d.Answer(activity, d.Send(activity, FxpExtended, Str(PosixRenameName) + Str(from) + Str(to)));
        auto status = StatusCode(answer);
        if (!status)
            d.FailProtocol(activity, "the server answered without a status");
        if (*status == 0)
            return;
        if (*status != ESFTPError::Unsupported)
            d.FailStatus(activity, *status);
        d.PosixRename = false;
    }
    d.StatusRequest(activity, FxpRename, Str(from) + Str(to));
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
    std::string open = Str(remote);
    PutU32(open, FxfRead);
    PutU32(open, 0);
    const std::string handle = d.OpenHandle(activity, FxpOpen, open);
    struct TRead {
        std::uint32_t Id;
        std::uint64_t Offset;
        std::uint32_t Length;
    };
    std::deque<TRead> inFlight;
    std::int64_t received = 0;
    bool begun = false;
    try {
        std::int64_t expected = -1;
        TPacket stat = d.Answer(activity, d.Send(activity, FxpFstat, Str(handle)));
        TSSHFieldReader statIn(stat.Body);
        if (auto a = stat.Type == FxpAttrs ? ReadAttributes(statIn) : std::nullopt)
            expected = std::max<std::int64_t>(AttributesOf(*a).Size - restartAt, -1);
        if (OnWorkBegin)
            OnWorkBegin(TWorkMode::wmRead, expected);
        begun = true;
        // Reads are asked for up to the size the server gave and one more at that size, so that the end
        // is seen in the same round trip; further only while the file turns out longer.
        const auto start = static_cast<std::uint64_t>(restartAt);
        const std::uint64_t expectedEnd =
            start + static_cast<std::uint64_t>(std::max<std::int64_t>(expected, 0));
        std::uint64_t next = start, written = start;
        bool atEnd = false;
        // A short read left the bytes from `written` on unasked: what was asked after it is given up.
        bool gap = false;
        auto keep = [&](std::string_view data, std::uint32_t asked) {
            for (std::size_t done = 0; done < data.size();) {
                ssize_t w = ::write(file, data.data() + done, data.size() - done);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    throw EFileError(fmt::format("Writing {} while downloading [{}]: {}", localName,
                                                 EscapedName(remote), std::strerror(errno)),
                                     std::error_code(errno, std::system_category()));
                done += static_cast<std::size_t>(w);
            }
            written += data.size();
            received += static_cast<std::int64_t>(data.size());
            if (OnWork)
                OnWork(TWorkMode::wmRead, received);
            gap = data.size() < asked;
        };
        for (;;) {
            d.CheckStop(activity);
            while (!atEnd && !gap && inFlight.size() < RequestsInFlight &&
                   (expected < 0 || next <= expectedEnd || inFlight.empty())) {
                const auto length =
                    static_cast<std::uint32_t>(expected >= 0 && next < expectedEnd
                                                   ? std::min<std::uint64_t>(ChunkSize, expectedEnd - next)
                                                   : ChunkSize);
                std::string read = Str(handle);
                PutU64(read, next);
                PutU32(read, length);
                inFlight.push_back({d.Send(activity, FxpRead, read), next, length});
                next += length;
            }
            if (inFlight.empty())
                break;
            const TRead request = inFlight.front();
            inFlight.pop_front();
            TPacket answer = d.Answer(activity, request.Id);
            if (auto status = StatusCode(answer)) {
                if (*status != ESFTPError::EndOfFile)
                    d.FailStatus(activity, *status);
                // An end past a gap says nothing of the gap, which is asked for again.
                atEnd = atEnd || request.Offset <= written;
            } else {
                TSSHFieldReader in(answer.Body);
                auto data = in.String();
                if (answer.Type != FxpData || !data || data->empty() || data->size() > request.Length)
                    d.FailProtocol(activity, "the server answered a read without data");
                // Past the end or past a gap, data is dropped: it is asked for again from the gap.
                if (!atEnd && request.Offset == written)
                    keep(*data, request.Length);
            }
            if (gap && !atEnd && inFlight.empty()) {
                gap = false;
                next = written;
            }
        }
        d.CloseHandle(activity, handle);
    } catch (...) {
        for (const auto& request : inFlight)
            d.Abandon(request.Id);
        d.CloseHandleQuietly(handle);
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
    std::string open = Str(remote);
    PutU32(open, FxfWrite | FxfCreat | (startPosition < 0 ? std::uint32_t{FxfTrunc} : 0u));
    open += PermissionAttributes(0644);
    const std::string handle = d.OpenHandle(activity, FxpOpen, open);
    struct TWrite {
        std::uint32_t Id;
        std::uint32_t Length;
    };
    std::deque<TWrite> inFlight;
    bool begun = false;
    try {
        struct stat info {};
        std::int64_t expected = -1;
        if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode))
            expected = info.st_size - std::max<std::int64_t>(startPosition, 0);
        if (OnWorkBegin)
            OnWorkBegin(TWorkMode::wmWrite, expected);
        begun = true;
        d.Buffer.resize(FileReadSize);
        // [begin, end) of the buffer is read from the file and not yet sent.
        std::size_t begin = 0, end = 0;
        bool atEnd = false;
        auto offset = static_cast<std::uint64_t>(std::max<std::int64_t>(startPosition, 0));
        std::int64_t sent = 0;
        for (;;) {
            d.CheckStop(activity);
            while (inFlight.size() < RequestsInFlight) {
                if (begin == end && !atEnd) {
                    begin = end = 0;
                    ssize_t n;
                    do
                        n = ::read(file, d.Buffer.data(), d.Buffer.size());
                    while (n < 0 && errno == EINTR);
                    if (n < 0)
                        throw EFileError(fmt::format("Reading {} while uploading to [{}]: {}", localName,
                                                     EscapedName(remote), std::strerror(errno)),
                                         std::error_code(errno, std::system_category()));
                    atEnd = n == 0;
                    end = static_cast<std::size_t>(n);
                }
                if (begin == end)
                    break;
                const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(end - begin, ChunkSize));
                std::string write = Str(handle);
                PutU64(write, offset);
                PutU32(write, length);
                inFlight.push_back(
                    {d.Send(activity, FxpWrite, write, std::string_view(d.Buffer.data() + begin, length)),
                     length});
                begin += length;
                offset += length;
            }
            if (inFlight.empty())
                break;
            const TWrite request = inFlight.front();
            inFlight.pop_front();
            d.Reply(activity, request.Id, FxpStatus, "a status");
            sent += request.Length;
            if (OnWork)
                OnWork(TWorkMode::wmWrite, sent);
        }
        // A late write error shows at the close.
        d.CloseHandle(activity, handle);
    } catch (...) {
        for (const auto& request : inFlight)
            d.Abandon(request.Id);
        d.CloseHandleQuietly(handle);
        if (begun && OnWorkEnd)
            OnWorkEnd(TWorkMode::wmWrite);
        throw;
    }
    if (OnWorkEnd)
        OnWorkEnd(TWorkMode::wmWrite);
}

} // namespace zr::net
