// The SSH half of the SFTP client: the socket, the handshake, the host key check, the login and the
// session's end.
#include "base/Base64.h"
#include "net/NameLookup.h"
#include "net/SFTPClientImpl.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <sys/eventfd.h>

namespace zr::net {

using namespace sftp_detail;

namespace sftp_detail {

std::string Millis(std::chrono::milliseconds ms) {
    return fmt::format("{} ms", ms.count());
}

} // namespace sftp_detail

namespace {

using Clock = std::chrono::steady_clock;

// A known_hosts line longer than this is no key we could match; the file is read up to MaxKnownHosts.
constexpr std::size_t MaxKnownHostsLine = 16 * 1024;
constexpr std::size_t MaxKnownHostsBytes = 16 * 1024 * 1024;

void Signal(int eventFd) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(eventFd, &one, sizeof one);
}

void Drain(int eventFd) {
    std::uint64_t value;
    while (::read(eventFd, &value, sizeof value) > 0) {
    }
}

// The key type a public key blob names first ("ssh-ed25519"), or "unknown" for a blob that names none.
std::string KeyTypeName(std::string_view blob) {
    auto field = TSSHFieldReader(blob).String();
    if (!field || field->empty() || field->size() > 64)
        return "unknown";
    std::string name(*field);
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '@' || c == '.'))
            return "unknown";
    return name;
}

int KnownHostKeyType(int hostKeyType) {
    switch (hostKeyType) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default:
        return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
    }
}

void GlobalInit() {
    static const int result = libssh2_init(0);
    if (result != 0)
        throw ESocketError("Starting the SSH library failed", std::make_error_code(std::errc::io_error));
}

// The names of wanted, in its order, that this libssh2 offers: libssh2 1.10 shifts a name it does not know
// out of a preference list with an overlapping memcpy.
std::string OfferedOnly(LIBSSH2_SESSION* session, int method,
                        std::initializer_list<std::string_view> wanted) {
    const char** offered = nullptr;
    const int count = libssh2_session_supported_algs(session, method, &offered);
    std::string list;
    for (std::string_view name : wanted) {
        for (int i = 0; i < count; ++i) {
            if (name == offered[i]) {
                if (!list.empty())
                    list += ',';
                list += name;
                break;
            }
        }
    }
    if (count > 0)
        libssh2_free(session, static_cast<void*>(offered));
    return list;
}

} // namespace

std::string SSHKeyFingerprint(std::string_view keyBlob) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(keyBlob.data(), keyBlob.size(), digest, &length, EVP_sha256(), nullptr);
    std::string text =
        quillate::base::Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), length));
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return "SHA256:" + text;
}

void TSFTPClient::TImpl::AnswerPrompts(const char*, int, const char*, int, int count,
                                       const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                                       LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
    const auto* impl = static_cast<const TImpl*>(*abstract);
    for (int i = 0; i < count; ++i) {
        const std::string& answer = prompts[i].echo ? std::string() : impl->Owner.Password;
        // libssh2 frees the answers with the allocator it was given, which is the C library's.
        auto* text = static_cast<char*>(std::malloc(answer.size() + 1));
        if (text == nullptr)
            return;
        std::memcpy(text, answer.data(), answer.size());
        text[answer.size()] = '\0';
        responses[i].text = text;
        responses[i].length = static_cast<unsigned int>(answer.size());
    }
}

void TSFTPClient::TImpl::ConnectSocket(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    auto remaining = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
    };
    // Waits for fd to become ready for events, a stop or the deadline; false at the deadline.
    auto wait = [&](int fd, short events, std::string_view activity) {
        pollfd fds[2] = {{fd, events, 0}, {Wake.Get(), POLLIN, 0}};
        int n;
        do
            n = ::poll(fds, 2, remaining());
        while (n < 0 && errno == EINTR);
        if (StopToken.stop_requested())
            ThrowStopped(activity);
        return n > 0;
    };

    std::vector<std::string> addresses;
    if (IsNumericAddress(Owner.Host)) {
        addresses.push_back(Owner.Host);
    } else {
        // The lookup cannot be cancelled: an abandoned one signals a descriptor only it still holds.
        auto answered = std::make_shared<TFd>(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        auto lookup = TNameLookup::Start(Owner.Host, Owner.Port, [answered] { Signal(answered->Get()); });
        bool done;
        try {
            done = wait(answered->Get(), POLLIN, "Resolving") && lookup->Done();
        } catch (...) {
            lookup->Abandon();
            throw;
        }
        if (!done) {
            lookup->Abandon();
            throw ESocketError(FormatNetMessage("Resolving", Peer, "timed out after " + Millis(timeout)),
                               std::make_error_code(std::errc::timed_out));
        }
        TLookupAnswer answer = lookup->Take();
        if (answer.Error)
            throw ESocketError(FormatNetMessage("Resolving", Peer, answer.Error.message()), answer.Error);
        addresses = std::move(answer.Addresses);
    }

    std::error_code last = std::make_error_code(std::errc::host_unreachable);
    for (const auto& address : addresses) {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* info = nullptr;
        if (::getaddrinfo(address.c_str(), std::to_string(Owner.Port).c_str(), &hints, &info) != 0 || !info)
            continue;
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(info, &::freeaddrinfo);
        TFd fd(::socket(info->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (fd.Get() < 0) {
            last = std::error_code(errno, std::system_category());
            continue;
        }
        int rc = ::connect(fd.Get(), info->ai_addr, info->ai_addrlen);
        if (rc != 0 && errno != EINPROGRESS) {
            last = std::error_code(errno, std::system_category());
            continue;
        }
        if (rc != 0) {
            if (!wait(fd.Get(), POLLOUT, "Connecting to"))
                throw ESocketError(
                    FormatNetMessage("Connecting to", Peer, "timed out after " + Millis(timeout)),
                    std::make_error_code(std::errc::timed_out));
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                last = std::error_code(error, std::system_category());
                continue;
            }
        }
        int on = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Socket.Reset(fd.Release());
        return;
    }
    throw ESocketError(FormatNetMessage("Connecting to", Peer, last.message()), last);
}

std::string TSFTPClient::TImpl::KnownHostsPath() const {
    if (!Owner.KnownHostsFile.empty())
        return Owner.KnownHostsFile;
    const char* home = std::getenv("HOME");
    return home ? std::string(home) + "/.ssh/known_hosts" : std::string();
}

void TSFTPClient::TImpl::VerifyHostKey() {
    std::size_t length = 0;
    int type = 0;
    const char* key = libssh2_session_hostkey(Session, &length, &type);
    if (key == nullptr)
        throw EProtocolError(FormatNetMessage("Checking the host key of", Peer, "the server showed none"));
    std::string_view blob(key, length);
    Fingerprint = SSHKeyFingerprint(blob);
    std::string typeName = KeyTypeName(blob);
    std::string hostName = Owner.Port == 22 ? Owner.Host : fmt::format("[{}]:{}", Owner.Host, Owner.Port);
    std::string line = hostName + " " + typeName + " " + quillate::base::Base64Encode(blob);
    Log(fmt::format("host key {} {}", typeName, Fingerprint));

    auto changed = [&](const std::string& expected) {
        return EHostKeyError(
            FormatNetMessage(
                "Checking the host key of", Peer,
                fmt::format("the host key has CHANGED: it is {} {}, but {} was expected. Someone may be "
                            "intercepting the connection; if the server's key was really replaced, "
                            "put the new fingerprint in place of the old one",
                            typeName, Fingerprint, expected)),
            true, Fingerprint, line);
    };
    if (!Owner.HostKeyFingerprint.empty()) {
        if (Owner.HostKeyFingerprint != Fingerprint)
            throw changed(Owner.HostKeyFingerprint);
        return;
    }

    std::string path = KnownHostsPath();
    std::unique_ptr<LIBSSH2_KNOWNHOSTS, decltype(&libssh2_knownhost_free)> known(
        libssh2_knownhost_init(Session), &libssh2_knownhost_free);
    if (!known)
        throw ESocketError(FormatNetMessage("Checking the host key of", Peer, "out of memory"),
                           std::make_error_code(std::errc::not_enough_memory));
    // Line by line, so that one line the library cannot read (a newer key type, a marker) leaves the
    // others usable.
    std::ifstream file(path);
    std::string entry;
    std::size_t read = 0;
    while (file && read < MaxKnownHostsBytes && std::getline(file, entry)) {
        read += entry.size() + 1;
        if (entry.size() > MaxKnownHostsLine || entry.empty() || entry[0] == '#' || entry[0] == '@')
            continue;
        libssh2_knownhost_readline(known.get(), entry.data(), entry.size(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
    }
    libssh2_knownhost* found = nullptr;
    int check = libssh2_knownhost_checkp(
        known.get(), Owner.Host.c_str(), Owner.Port, key, length,
        LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | KnownHostKeyType(type), &found);
    if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH)
        return;
    if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH)
        throw changed(fmt::format("the key {} has for it", path));
    throw EHostKeyError(
        FormatNetMessage("Checking the host key of", Peer,
                         fmt::format("the host key {} {} is not known. If it is the server's, set "
                                     "HostKeyFingerprint to {} or add this line to {}: {}",
                                     typeName, Fingerprint, Fingerprint,
                                     path.empty() ? "~/.ssh/known_hosts" : path, line)),
        false, Fingerprint, line);
}

void TSFTPClient::TImpl::Authenticate() {
    const std::string& user = Owner.Username;
    auto userLength = static_cast<unsigned>(user.size());
    std::string activity = fmt::format("Logging in as {} to", Printable(user));
    char* list =
        RetryPointer(activity, [&] { return libssh2_userauth_list(Session, user.data(), userLength); });
    if (list == nullptr) {
        if (libssh2_userauth_authenticated(Session))
            return;
        Fail(activity, libssh2_session_last_errno(Session));
    }
    std::string offered = Printable(list);
    auto offers = [&](std::string_view method) {
        std::string_view rest = list;
        while (!rest.empty()) {
            auto comma = rest.find(',');
            if (rest.substr(0, comma) == method)
                return true;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
        return false;
    };
    std::vector<std::string> tried;
    auto refused = [&](std::string what, int rc) {
        if (rc == LIBSSH2_ERROR_AUTHENTICATION_FAILED || rc == LIBSSH2_ERROR_PUBLICKEY_UNVERIFIED)
            tried.push_back(what + " was refused");
        else if (rc == LIBSSH2_ERROR_FILE)
            tried.push_back(what +
                            " could not be used (the key file cannot be read, or the passphrase is wrong)");
        else if (rc == LIBSSH2_ERROR_SOCKET_SEND || rc == LIBSSH2_ERROR_SOCKET_RECV ||
                 rc == LIBSSH2_ERROR_SOCKET_DISCONNECT || rc == LIBSSH2_ERROR_TIMEOUT)
            Fail(activity, rc);
        else
            tried.push_back(what + " failed: " + LastError());
    };

    if (!Owner.PrivateKeyFile.empty()) {
        std::string what = fmt::format("publickey with the key file {}", Printable(Owner.PrivateKeyFile));
        if (!offers("publickey")) {
            tried.push_back(what + " was not tried");
        } else {
            Log("auth " + what);
            const char* passphrase = Owner.Passphrase.empty() ? nullptr : Owner.Passphrase.c_str();
            int rc = Retry(activity, [&] {
                return libssh2_userauth_publickey_fromfile_ex(Session, user.data(), userLength, nullptr,
                                                              Owner.PrivateKeyFile.c_str(), passphrase);
            });
            if (rc == 0)
                return;
            refused(what, rc);
        }
    }
    if (!Owner.Password.empty()) {
        if (offers("password")) {
            Log("auth password");
            int rc = Retry(activity, [&] {
                return libssh2_userauth_password_ex(Session, user.data(), userLength, Owner.Password.data(),
                                                    static_cast<unsigned>(Owner.Password.size()), nullptr);
            });
            if (rc == 0)
                return;
            refused("password", rc);
        }
        if (offers("keyboard-interactive")) {
            Log("auth keyboard-interactive");
            int rc = Retry(activity, [&] {
                return libssh2_userauth_keyboard_interactive_ex(Session, user.data(), userLength,
                                                                &AnswerPrompts);
            });
            if (rc == 0)
                return;
            refused("keyboard-interactive with the password", rc);
        }
    }
    std::string outcome = tried.empty()
                              ? std::string("none of them could be tried with what is set (a password or "
                                            "a private key file)")
                              : fmt::format("{}", fmt::join(tried, "; "));
    throw EAuthError(
        FormatNetMessage(activity, Peer, fmt::format("the server offers {}; {}", offered, outcome)));
}

void TSFTPClient::TImpl::CloseSession(bool graceful) {
    if (Session != nullptr) {
        if (graceful && !Broken && !StopToken.stop_requested()) {
            // A goodbye is a courtesy: a server that does not take it soon is left.
            auto saved = std::exchange(Timeout, std::chrono::milliseconds(2000));
            try {
                CloseRenameChannel();
                if (Sftp != nullptr)
                    Retry("Closing SFTP on", [&] { return libssh2_sftp_shutdown(Sftp); });
                Sftp = nullptr;
                Retry("Disconnecting from", [&] {
                    return libssh2_session_disconnect_ex(Session, SSH_DISCONNECT_BY_APPLICATION, "bye", "");
                });
            } catch (...) {
            }
            Timeout = saved;
        }
        Break();
        CloseRenameChannel();
        if (Sftp != nullptr)
            libssh2_sftp_shutdown(Sftp);
        Sftp = nullptr;
        libssh2_session_free(Session);
        Session = nullptr;
    }
    Socket.Reset();
    Broken = false;
    PosixRename = TPosixRename::Untried;
}

TSFTPClient::TSFTPClient() : FImpl(std::make_unique<TImpl>(*this)) {}

TSFTPClient::~TSFTPClient() {
    FImpl->StopCallback.reset();
    FImpl->CloseSession(false);
}

std::string TSFTPClient::PeerText() const {
    return Host.find(':') != std::string::npos ? fmt::format("[{}]:{}", Host, Port)
                                               : fmt::format("{}:{}", Host, Port);
}

std::string TSFTPClient::ServerFingerprint() const {
    return FImpl->Fingerprint;
}

void TSFTPClient::SetStopToken(std::stop_token token) {
    auto& d = *FImpl;
    d.StopCallback.reset();
    Drain(d.Wake.Get());
    d.StopToken = std::move(token);
    if (d.StopToken.stop_possible())
        d.StopCallback.emplace(d.StopToken, std::function<void()>([fd = d.Wake.Get()] { Signal(fd); }));
}

bool TSFTPClient::Connected() const {
    return FImpl->Session != nullptr && FImpl->Sftp != nullptr && !FImpl->Broken;
}

void TSFTPClient::Connect() {
    auto& d = *FImpl;
    GlobalInit();
    d.Peer = PeerText();
    if (d.Session != nullptr)
        throw EAlreadyConnected(FormatNetMessage("Connecting to", d.Peer, "already connected"));
    if (d.StopToken.stop_requested())
        d.ThrowStopped("Connecting to");
    if (HoldsLineBreakOrNul(Username) || HoldsLineBreakOrNul(Host))
        throw EUnsafeCommand(
            FormatNetMessage("Connecting to", d.Peer, "the host or user name holds a CR, LF or NUL"));
    d.Fingerprint.clear();
    d.Timeout = ReadTimeout.count() > 0 ? ReadTimeout : DefaultReadTimeout;
    try {
        d.ConnectSocket(ConnectTimeout.count() > 0 ? ConnectTimeout : DefaultConnectTimeout);
        d.Session = libssh2_session_init_ex(nullptr, nullptr, nullptr, FImpl.get());
        if (d.Session == nullptr)
            throw ESocketError(FormatNetMessage("Connecting to", d.Peer, "out of memory"),
                               std::make_error_code(std::errc::not_enough_memory));
        libssh2_session_set_blocking(d.Session, 0);
        // Keys of the kinds OpenSSH makes today first, so that the one a known_hosts file holds is asked for.
        const std::string hostKeys =
            OfferedOnly(d.Session, LIBSSH2_METHOD_HOSTKEY,
                        {"ssh-ed25519", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521",
                         "rsa-sha2-512", "rsa-sha2-256", "ssh-rsa"});
        if (!hostKeys.empty())
            libssh2_session_method_pref(d.Session, LIBSSH2_METHOD_HOSTKEY, hostKeys.c_str());
        d.Log(fmt::format("connect {}", d.Peer));
        if (int rc = d.Retry("Negotiating SSH with",
                             [&] { return libssh2_session_handshake(d.Session, d.Socket.Get()); });
            rc != 0)
            d.Fail("Negotiating SSH with", rc);
        d.VerifyHostKey();
        d.Authenticate();
        d.Sftp = d.RetryPointer("Starting SFTP on", [&] { return libssh2_sftp_init(d.Session); });
        if (d.Sftp == nullptr)
            d.Fail("Starting SFTP on", libssh2_session_last_errno(d.Session));
    } catch (...) {
        d.CloseSession(false);
        throw;
    }
}

void TSFTPClient::Disconnect() {
    FImpl->CloseSession(true);
}

} // namespace zr::net
