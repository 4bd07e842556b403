// The SSH half of the SFTP client: the socket, the handshake, the host key check, the login and the
// session's end.
#include "base/Base64.h"
#include "net/NameLookup.h"
#include "net/SFTPClientImpl.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>

namespace zr::net {

using namespace sftp_detail;

namespace sftp_detail {

std::string Millis(std::chrono::milliseconds ms) {
    return fmt::format("{} ms", ms.count());
}

} // namespace sftp_detail

namespace {

using Clock = std::chrono::steady_clock;

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

void GlobalInit() {
    static const int result = ssh_init();
    if (result != SSH_OK)
        throw ESocketError("Starting the SSH library failed", std::make_error_code(std::errc::io_error));
}

// AES-GCM where the processor has AES instructions: there it moves a file in about two thirds of the time
// of ChaCha20-Poly1305 or of AES-CTR with its separate MAC. Elsewhere libssh's own order.
std::string PreferredCiphers() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("aes"))
        return "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,"
               "aes192-ctr,aes256-ctr";
#endif
    return {};
}

// The methods a server offers for logging in, in the words of the protocol.
std::string MethodNames(int methods) {
    static constexpr std::pair<int, std::string_view> names[] = {
        {SSH_AUTH_METHOD_PUBLICKEY, "publickey"},
        {SSH_AUTH_METHOD_PASSWORD, "password"},
        {SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive"},
        {SSH_AUTH_METHOD_HOSTBASED, "hostbased"},
        {SSH_AUTH_METHOD_GSSAPI_MIC, "gssapi-with-mic"}};
    std::string list;
    for (const auto& [bit, name] : names)
        if (methods & bit)
            list += (list.empty() ? "" : ",") + std::string(name);
    return list.empty() ? "nothing" : list;
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

void TSFTPClient::TImpl::WaitSocket(std::string_view activity) {
    short events = POLLIN;
    if (Session != nullptr && (ssh_get_poll_flags(Session) & SSH_WRITE_PENDING))
        events |= POLLOUT;
    pollfd fds[2] = {{Socket.Get(), events, 0}, {Wake.Get(), POLLIN, 0}};
    int n;
    do
        n = ::poll(fds, 2, static_cast<int>(std::min<std::int64_t>(Timeout.count(), INT_MAX)));
    while (n < 0 && errno == EINTR);
    if (StopToken.stop_requested()) {
        Break();
        ThrowStopped(activity);
    }
    if (n == 0) {
        Break();
        throw EReadTimeout(FormatNetMessage(activity, Peer, "no answer for " + Millis(Timeout)));
    }
    // What libssh could not write before is written now, and what arrived is read into its buffers.
    if (ssh_blocking_flush(Session, 0) == SSH_ERROR)
        FailSession(activity);
}

std::string TSFTPClient::TImpl::KnownHostsPath() const {
    if (!Owner.KnownHostsFile.empty())
        return Owner.KnownHostsFile;
    const char* home = std::getenv("HOME");
    return home ? std::string(home) + "/.ssh/known_hosts" : std::string();
}

void TSFTPClient::TImpl::VerifyHostKey() {
    const std::string_view activity = "Checking the host key of";
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(Session, &key) != SSH_OK || key == nullptr)
        throw EProtocolError(FormatNetMessage(activity, Peer, "the server showed none"));
    std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)> ownedKey(key, &ssh_key_free);
    // libssh gives the key's blob in base64 only, the form a known_hosts line holds.
    char* exported = nullptr;
    if (ssh_pki_export_pubkey_base64(key, &exported) != SSH_OK || exported == nullptr)
        throw EProtocolError(FormatNetMessage(activity, Peer, "the server's key cannot be read"));
    const std::string encoded = exported;
    ssh_string_free_char(exported);
    std::string blob;
    if (!quillate::base::Base64Decode(encoded, blob))
        throw EProtocolError(FormatNetMessage(activity, Peer, "the server's key cannot be read"));
    Fingerprint = SSHKeyFingerprint(blob);
    std::string typeName = KeyTypeName(blob);
    std::string hostName = Owner.Port == 22 ? Owner.Host : fmt::format("[{}]:{}", Owner.Host, Owner.Port);
    std::string line = hostName + " " + typeName + " " + encoded;
    Log(fmt::format("host key {} {}", typeName, Fingerprint));

    auto changed = [&](const std::string& expected) {
        return EHostKeyError(
            FormatNetMessage(
                activity, Peer,
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
    // libssh reads the file (hashed names too) and matches "[host]:port" as OpenSSH writes it.
    const std::string path = KnownHostsPath();
    switch (ssh_session_is_known_server(Session)) {
    case SSH_KNOWN_HOSTS_OK:
        return;
    case SSH_KNOWN_HOSTS_CHANGED:
        throw changed(fmt::format("the key {} has for it", path));
    default:
        // Unknown, a key of another type only, or no file at all: the user must say the key is right.
        break;
    }
    throw EHostKeyError(
        FormatNetMessage(activity, Peer,
                         fmt::format("the host key {} {} is not known. If it is the server's, set "
                                     "HostKeyFingerprint to {} or add this line to {}: {}",
                                     typeName, Fingerprint, Fingerprint,
                                     path.empty() ? "~/.ssh/known_hosts" : path, line)),
        false, Fingerprint, line);
}

void TSFTPClient::TImpl::Authenticate() {
    const std::string activity = fmt::format("Logging in as {} to", Printable(Owner.Username));
    int rc = Retry(activity, SSH_AUTH_AGAIN, [&] { return ssh_userauth_none(Session, nullptr); });
    if (rc == SSH_AUTH_SUCCESS)
        return;
    if (rc == SSH_AUTH_ERROR)
        FailSession(activity);
    const int methods = ssh_userauth_list(Session, nullptr);
    std::vector<std::string> tried;
    // Runs one method's exchange: true when it logged in.
    auto attempt = [&](const std::string& what, auto&& call) {
        int outcome = Retry(activity, SSH_AUTH_AGAIN, call);
        if (outcome == SSH_AUTH_SUCCESS)
            return true;
        if (outcome == SSH_AUTH_ERROR)
            FailSession(activity);
        tried.push_back(what + " was refused");
        return false;
    };

    if (!Owner.PrivateKeyFile.empty()) {
        std::string what = fmt::format("publickey with the key file {}", Printable(Owner.PrivateKeyFile));
        ssh_key key = nullptr;
        if (!(methods & SSH_AUTH_METHOD_PUBLICKEY)) {
            tried.push_back(what + " was not tried");
        } else if (ssh_pki_import_privkey_file(Owner.PrivateKeyFile.c_str(),
                                               Owner.Passphrase.empty() ? nullptr : Owner.Passphrase.c_str(),
                                               nullptr, nullptr, &key) != SSH_OK) {
            tried.push_back(what +
                            " could not be used (the key file cannot be read, or the passphrase is wrong)");
        } else {
            std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)> owned(key, &ssh_key_free);
            Log("auth " + what);
            if (attempt(what, [&] { return ssh_userauth_publickey(Session, nullptr, key); }))
                return;
        }
    }
    if (!Owner.Password.empty()) {
        if (methods & SSH_AUTH_METHOD_PASSWORD) {
            Log("auth password");
            if (attempt("password",
                        [&] { return ssh_userauth_password(Session, nullptr, Owner.Password.c_str()); }))
                return;
        }
        if (methods & SSH_AUTH_METHOD_INTERACTIVE) {
            Log("auth keyboard-interactive");
            // Every hidden prompt is answered with the password and a shown one (a user name) with
            // nothing; a server that keeps asking is given a few rounds.
            int rounds = 0;
            auto exchange = [&] {
                for (;;) {
                    int step = ssh_userauth_kbdint(Session, nullptr, nullptr);
                    if (step != SSH_AUTH_INFO || ++rounds > 8)
                        return step == SSH_AUTH_INFO ? SSH_AUTH_DENIED : step;
                    const int prompts = ssh_userauth_kbdint_getnprompts(Session);
                    for (int i = 0; i < prompts; ++i) {
                        char echo = 0;
                        ssh_userauth_kbdint_getprompt(Session, static_cast<unsigned>(i), &echo);
                        ssh_userauth_kbdint_setanswer(Session, static_cast<unsigned>(i),
                                                      echo ? "" : Owner.Password.c_str());
                    }
                }
            };
            if (attempt("keyboard-interactive with the password", exchange))
                return;
        }
    }
    std::string outcome = tried.empty()
                              ? std::string("none of them could be tried with what is set (a password or "
                                            "a private key file)")
                              : fmt::format("{}", fmt::join(tried, "; "));
    throw EAuthError(FormatNetMessage(
        activity, Peer, fmt::format("the server offers {}; {}", MethodNames(methods), outcome)));
}

void TSFTPClient::TImpl::CloseSession(bool graceful) {
    if (Session != nullptr) {
        if (graceful && !Broken && !StopToken.stop_requested()) {
            // A goodbye is a courtesy: what the socket takes at once is all it gets.
            if (Channel != nullptr)
                ssh_channel_close(Channel);
            ssh_disconnect(Session);
        }
        Break();
        // The session frees its channels (ssh_disconnect does too).
        Channel = nullptr;
        ssh_free(Session);
        Session = nullptr;
    }
    Socket.Reset();
    Broken = false;
    PosixRename = false;
    InboxStart = InboxEnd = 0;
    Early.clear();
    Abandoned.clear();
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
    return FImpl->Channel != nullptr && !FImpl->Broken;
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
        d.Session = ssh_new();
        if (d.Session == nullptr)
            throw ESocketError(FormatNetMessage("Connecting to", d.Peer, "out of memory"),
                               std::make_error_code(std::errc::not_enough_memory));
        // Only what is set here counts: no ssh_config is read, and the socket is ours (libssh leaves it
        // open; CloseSession closes it).
        const socket_t fd = d.Socket.Get();
        const unsigned port = Port;
        const bool no = false;
        const std::string knownHosts = d.KnownHostsPath();
        const std::string ciphers = PreferredCiphers();
        bool set = ssh_options_set(d.Session, SSH_OPTIONS_PROCESS_CONFIG, &no) == SSH_OK &&
                   ssh_options_set(d.Session, SSH_OPTIONS_FD, &fd) == SSH_OK &&
                   ssh_options_set(d.Session, SSH_OPTIONS_HOST, Host.c_str()) == SSH_OK &&
                   ssh_options_set(d.Session, SSH_OPTIONS_PORT, &port) == SSH_OK &&
                   ssh_options_set(d.Session, SSH_OPTIONS_USER, Username.c_str()) == SSH_OK &&
                   (knownHosts.empty() ||
                    ssh_options_set(d.Session, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str()) == SSH_OK);
        if (set && !ciphers.empty())
            set = ssh_options_set(d.Session, SSH_OPTIONS_CIPHERS_C_S, ciphers.c_str()) == SSH_OK &&
                  ssh_options_set(d.Session, SSH_OPTIONS_CIPHERS_S_C, ciphers.c_str()) == SSH_OK;
        if (!set)
            d.FailSession("Connecting to");
        ssh_set_blocking(d.Session, 0);
        d.Log(fmt::format("connect {}", d.Peer));
        if (d.Retry("Negotiating SSH with", SSH_AGAIN, [&] { return ssh_connect(d.Session); }) != SSH_OK)
            d.FailSession("Negotiating SSH with");
        d.VerifyHostKey();
        d.Authenticate();
        d.StartSftp();
    } catch (...) {
        d.CloseSession(false);
        throw;
    }
}

void TSFTPClient::Disconnect() {
    FImpl->CloseSession(true);
}

} // namespace zr::net
