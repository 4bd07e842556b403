// Transfer loops of the FTP client: downloads, uploads and listings through one reused buffer.
#include "net/FTPClient.h"
#include "net/FTPDataChannel.h"
#include "net/FTPReplyText.h"
#include "net/LineEndConverter.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <istream>
#include <memory>
#include <ostream>
#include <thread>

namespace zr::net {

namespace {

constexpr std::size_t BufferSize = 64 * 1024;

class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : FFd(fd) {}
    ~TFileDescriptor() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const { return FFd; }
    // close(2) reports delayed write errors (full disk on NFS, quota); they must not be lost.
    void Close(const std::string& path) {
        int fd = FFd;
        FFd = -1;
        if (::close(fd) != 0)
            throw EFileError(fmt::format("Closing {}: {}", path, std::strerror(errno)),
                             std::error_code(errno, std::system_category()));
    }

private:
    int FFd;
};

[[noreturn]] void RaiseFileError(std::string_view activity, const std::string& path) {
    int err = errno;
    throw EFileError(fmt::format("{} {}: {}", activity, path, std::strerror(err)),
                     std::error_code(err, std::system_category()));
}

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseFileError("Writing", path);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

} // namespace

// Work begin/end around a transfer; the end is reported on failure too.
class TWorkScope {
public:
    TWorkScope(TFTPClient& client, TWorkMode mode, std::int64_t expected, bool enabled)
        : FClient(client), FMode(mode), FEnabled(enabled) {
        if (FEnabled && FClient.OnWorkBegin)
            FClient.OnWorkBegin(FMode, expected);
    }
    ~TWorkScope() {
        if (FEnabled && FClient.OnWorkEnd) {
            try {
                FClient.OnWorkEnd(FMode);
            } catch (...) {
            }
        }
    }
    TWorkScope(const TWorkScope&) = delete;
    TWorkScope& operator=(const TWorkScope&) = delete;
    void Progress(std::int64_t bytesSoFar) {
        if (FEnabled && FClient.OnWork)
            FClient.OnWork(FMode, bytesSoFar);
    }

private:
    TFTPClient& FClient;
    TWorkMode FMode;
    bool FEnabled;
};

struct TFTPClient::TUploadSource {
    int Fd = -1;
    std::istream* Stream = nullptr;
    std::int64_t Remaining = -1; // -1: up to the end of the stream
    std::string Name;
};

char* TFTPClient::TransferBuffer() {
    if (FBuffer.empty())
        FBuffer.resize(BufferSize);
    return FBuffer.data();
}

void TFTPClient::StartTransfer(std::string_view command, std::int64_t restartAt, TTCPConnection& data) {
    if (Passive)
        OpenPassive(data);
    else
        OpenActive(data);
    if (restartAt > 0)
        CommandExpect(fmt::format("REST {}", restartAt), 3);
    const TReply& reply = FSession.Command(command);
    if (reply.Code / 100 != 1)
        FSession.RaiseReplyError();
    CompleteDataChannel(data);
}

void TFTPClient::WaitBeforeRetry(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < until) {
        if (FControl.AbortRequested())
            throw EOperationAborted(FormatNetMessage("Waiting for a data connection from", FControl.PeerText(),
                                                     "operation aborted"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void TFTPClient::OpenAndStart(std::optional<TDataChannelScope>& scope, std::string_view command,
                              std::int64_t restartAt) {
    for (int attempt = 0;; ++attempt) {
        scope.emplace(*this, OpenDataChannel());
        try {
            StartTransfer(command, restartAt, scope->Channel());
            return;
        } catch (const std::exception& e) {
            if (attempt >= DataConnectionRetries || !IsTransientDataRefusal(e))
                throw;
            if (OnTransientRefusal)
                OnTransientRefusal(e.what());
        }
        scope.reset();
        WaitBeforeRetry(DataRetryWait * (1 << attempt));
    }
}

void TFTPClient::FinishTransfer() {
    const TReply* reply = &FSession.ReadReply();
    while (reply->Code / 100 == 1)
        reply = &FSession.ReadReply();
    if (reply->Code / 100 != 2)
        FSession.RaiseReplyError();
}

void TFTPClient::ReceiveData(std::string_view command, std::int64_t restartAt, bool workEvents, bool ascii,
                             const std::function<void(const char*, std::size_t)>& sink) {
    std::optional<TDataChannelScope> opened;
    OpenAndStart(opened, command, restartAt);
    TDataChannelScope& scope = *opened;
    TTCPConnection& data = scope.Channel();
    std::int64_t expected = ParseTransferSize(LastReply().Text()).value_or(0);
    {
        TWorkScope work(*this, TWorkMode::wmRead, expected, workEvents);
        char* buffer = TransferBuffer();
        TLineEndConverter toLocal(TLineEndConverter::TDirection::ldToLocal);
        std::int64_t total = 0;
        for (;;) {
            std::size_t n = data.ReadSome(buffer, BufferSize);
            if (n == 0)
                break;
            total += static_cast<std::int64_t>(n);
            std::string_view chunk(buffer, n);
            if (ascii)
                chunk = toLocal.Convert(chunk);
            sink(chunk.data(), chunk.size());
            work.Progress(total);
        }
        if (ascii) {
            std::string_view rest = toLocal.Finish();
            if (!rest.empty())
                sink(rest.data(), rest.size());
        }
        scope.Close();
    }
    FinishTransfer();
}

void TFTPClient::SendData(std::string_view command, std::int64_t restartAt, TUploadSource& source) {
    std::optional<TDataChannelScope> opened;
    OpenAndStart(opened, command, restartAt);
    TDataChannelScope& scope = *opened;
    TTCPConnection& data = scope.Channel();
    {
        TWorkScope work(*this, TWorkMode::wmWrite, std::max<std::int64_t>(source.Remaining, 0), true);
        bool ascii = FTransferType == TFTPTransferType::ftASCII;
        // One buffered loop for every upload. sendfile(2) was measured slower against a server on
        // the same machine (it pays more to read the page-cache pages it is handed than our copy
        // costs us), and it was the one socket write that could raise SIGPIPE.
        if (source.Remaining != 0) {
            char* buffer = TransferBuffer();
            TLineEndConverter toNetwork(TLineEndConverter::TDirection::ldToNetwork);
            std::int64_t total = 0;
            for (;;) {
                std::size_t want = BufferSize;
                if (source.Remaining > 0)
                    want = static_cast<std::size_t>(std::min<std::int64_t>(source.Remaining - total, BufferSize));
                if (want == 0)
                    break;
                std::size_t n;
                if (source.Fd >= 0) {
                    ssize_t r = ::read(source.Fd, buffer, want);
                    if (r < 0) {
                        if (errno == EINTR)
                            continue;
                        RaiseFileError("Reading", source.Name);
                    }
                    n = static_cast<std::size_t>(r);
                } else {
                    source.Stream->read(buffer, static_cast<std::streamsize>(want));
                    n = static_cast<std::size_t>(source.Stream->gcount());
                    if (source.Stream->bad())
                        throw EFileError("Reading the upload stream failed",
                                         std::make_error_code(std::errc::io_error));
                }
                if (n == 0)
                    break;
                total += static_cast<std::int64_t>(n);
                std::string_view chunk(buffer, n);
                data.Write(ascii ? toNetwork.Convert(chunk) : chunk);
                work.Progress(total);
            }
        }
        data.ShutdownSend();
        // A relay that cut the stream may still pass our end on to the server, which then stores a
        // short file and answers 226; only the reset on our side tells. So a plain upload ends when
        // the server closes its side. TLS uploads keep to the 226: what a server answers to reads after
        // our close_notify differs from server to server.
        if (!data.TLSActive()) {
            char discard[512];
            while (data.ReadSome(discard, sizeof discard) > 0) {
            }
        }
        scope.Close();
    }
    FinishTransfer();
}

void TFTPClient::Get(const std::string& remote, int file, std::int64_t restartAt, const std::string& localName) {
    FSession.Begin();
    EnsureType(FTransferType);
    ReceiveData("RETR " + remote, restartAt > 0 ? restartAt : -1, true, FTransferType == TFTPTransferType::ftASCII,
                [&](const char* bytes, std::size_t n) { WriteAll(file, bytes, n, localName); });
}

void TFTPClient::Get(const std::string& remote, std::ostream& destination, std::int64_t restartAt) {
    FSession.Begin();
    EnsureType(FTransferType);
    ReceiveData("RETR " + remote, restartAt, true, FTransferType == TFTPTransferType::ftASCII,
                [&](const char* bytes, std::size_t n) {
                    destination.write(bytes, static_cast<std::streamsize>(n));
                    if (!destination)
                        throw EFileError("Writing the download stream failed",
                                         std::make_error_code(std::errc::io_error));
                });
}

void TFTPClient::Put(const std::string& localFile, const std::string& remote, bool append,
                     std::int64_t startPosition) {
    FSession.Begin();
    TFileDescriptor file(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        RaiseFileError("Opening", localFile);
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0)
        RaiseFileError("Reading", localFile);
    TUploadSource source;
    source.Fd = file.Get();
    source.Name = localFile;
    std::int64_t offset = startPosition > 0 ? startPosition : 0;
    source.Remaining = std::max<std::int64_t>(0, static_cast<std::int64_t>(st.st_size) - offset);
    if (offset > 0 && ::lseek(file.Get(), offset, SEEK_SET) < 0)
        RaiseFileError("Seeking in", localFile);
    EnsureType(FTransferType);
    // No remote name stores the file under its own name.
    std::string target = remote.empty() ? std::filesystem::path(localFile).filename().string() : remote;
    SendData((append ? "APPE " : "STOR ") + target, startPosition > 0 ? startPosition : -1, source);
}

void TFTPClient::Put(std::istream& source, const std::string& remote, bool append, std::int64_t startPosition) {
    FSession.Begin();
    TUploadSource upload;
    upload.Stream = &source;
    upload.Name = "the upload stream";
    // The size is known when the stream can seek; otherwise it is sent to its end.
    auto here = source.tellg();
    if (here != std::streampos(-1) && source.seekg(0, std::ios::end)) {
        auto end = source.tellg();
        source.seekg(here);
        if (end != std::streampos(-1))
            upload.Remaining = static_cast<std::int64_t>(end - here);
    }
    source.clear();
    EnsureType(FTransferType);
    SendData((append ? "APPE " : "STOR ") + remote, startPosition > 0 ? startPosition : -1, upload);
}

void TFTPClient::RunListing(std::vector<std::string>* lines, const std::string& path, bool details) {
    FSession.Begin();
    FDirectoryListing.clear();
    FRefusedNames.clear();
    FRefusedNameCount = 0;
    bool mlsd = details && ListsByMLSD();
    std::string command = details ? (mlsd ? "MLSD" : "LIST") : "NLST";
    if (!path.empty())
        command += " " + path;
    TFTPListingParser parser(mlsd ? TFTPListFormat::lfMLSD
                                  : (details ? TFTPListFormat::lfDetect : TFTPListFormat::lfNames),
                             std::time(nullptr), {}, lines != nullptr);
    ReceiveListing(command, parser);
    if (lines)
        *lines = parser.TakeLines();
    FDirectoryListing = parser.TakeItems();
    FRefusedNames = parser.TakeRefused();
    FRefusedNameCount = parser.RefusedCount();
}

void TFTPClient::ReceiveListing(const std::string& command, TFTPListingParser& parser) {
    // Listings are not reported as work: progress handlers count file bytes only.
    ReceiveData(command, -1, false, false, [&](const char* bytes, std::size_t n) {
        try {
            parser.Feed(std::string_view(bytes, n));
        } catch (const EProtocolError& e) {
            throw EProtocolError(FormatNetMessage(command + " on", FControl.PeerText(), e.what()));
        }
    });
    parser.Finish();
}

void TFTPClient::ListTree(const std::string& path, std::vector<std::string>& lines) {
    FSession.Begin();
    const std::string command = "LIST -aR " + path;
    // Split into lines within the listing limits; the caller reads the folder sections.
    TFTPListingParser splitter(TFTPListFormat::lfLines, std::time(nullptr), {}, true);
    ReceiveListing(command, splitter);
    // Pure-FTPd's "226 Output truncated to N matches": the listing is not the whole tree.
    if (ContainsNoCase(LastReply().Text(), "truncated"))
        throw EProtocolError(FormatNetMessage(command + " on", FControl.PeerText(), "the server cut the listing short"));
    lines = splitter.TakeLines();
}

void TFTPClient::List(std::vector<std::string>& lines, const std::string& path, bool details) {
    RunListing(&lines, path, details);
}

void TFTPClient::List(const std::string& path, bool details) {
    RunListing(nullptr, path, details);
}

} // namespace zr::net
