#include "net/HTTPClient.h"

#include "net/NameLookup.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <cstdlib>
#include <curl/curl.h>
#include <fmt/format.h>
#include <memory>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace zr::net {

namespace {

using TClock = std::chrono::steady_clock;

constexpr long ReceiveBufferSize = 256 * 1024;

CURL* Easy(void* handle) {
    return static_cast<CURL*>(handle);
}

CURLM* Multi(void* handle) {
    return static_cast<CURLM*>(handle);
}

template <class T> void SetOption(CURL* easy, CURLoption option, T value) {
    if (CURLcode code = curl_easy_setopt(easy, option, value); code != CURLE_OK)
        throw ENetError(FormatNetMessage("Setting up the HTTP client", "", curl_easy_strerror(code)));
}

using TParsedURL = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// The address parsed, or nullptr when curl cannot read it.
TParsedURL Parse(const std::string& url) {
    TParsedURL parsed(curl_url(), curl_url_cleanup);
    if (parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        parsed.reset();
    return parsed;
}

// One part of a parsed address, empty when it has none.
std::string Part(CURLU* parsed, CURLUPart part, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(parsed, part, &text, flags) != CURLUE_OK)
        return {};
    std::string value = text;
    curl_free(text);
    return value;
}

bool IsRedirect(int code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

// "https://host:443" of an address, empty when it cannot be parsed; credentials go only there.
std::string Origin(const std::string& url) {
    TParsedURL parsed = Parse(url);
    if (!parsed)
        return {};
    std::string origin;
    for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        std::string text = Part(parsed.get(), part, CURLU_DEFAULT_PORT);
        if (text.empty())
            return {};
        origin += text + "|";
    }
    return origin;
}

// The test CA of SSL_CERT_FILE joins the system store instead of replacing it, as on our own
// TLS connections.
CURLcode AddExtraCA(CURL*, void* sslContext, void*) {
    const char* extra = std::getenv("SSL_CERT_FILE");
    if (extra != nullptr && *extra != '\0') {
        X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
        if (X509_STORE_load_file(store, extra) != 1)
            return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

int HexValue(char c) {
    if (IsAsciiDigit(c))
        return c - '0';
    c = AsciiLower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// RFC 5987's charset'language'percent-encoded form, as UTF-8; empty when it cannot be read.
std::string DecodeExtValue(std::string_view value) {
    std::size_t first = value.find('\'');
    std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
    if (second == std::string_view::npos)
        return {};
    std::string_view charset = value.substr(0, first);
    bool latin1 = EqualsNoCase(charset, "ISO-8859-1");
    if (!latin1 && !EqualsNoCase(charset, "UTF-8"))
        return {};
    std::string decoded;
    for (std::size_t i = second + 1; i < value.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '%') {
            if (i + 2 >= value.size())
                return {};
            int high = HexValue(value[i + 1]), low = HexValue(value[i + 2]);
            if (high < 0 || low < 0)
                return {};
            c = static_cast<unsigned char>(high * 16 + low);
            i += 2;
        }
        if (latin1 && c >= 0x80) {
            decoded += static_cast<char>(0xC0 | (c >> 6));
            decoded += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            decoded += static_cast<char>(c);
        }
    }
    return decoded;
}

} // namespace

THTTPClient::THTTPClient() {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    FEasy = curl_easy_init();
    FMulti = curl_multi_init();
    if (FEasy == nullptr || FMulti == nullptr) {
        curl_easy_cleanup(Easy(FEasy));
        curl_multi_cleanup(Multi(FMulti));
        throw ENetError("Setting up the HTTP client: out of memory");
    }
}

THTTPClient::~THTTPClient() {
    FStopWake.reset();
    std::lock_guard lock(FMultiLock);
    curl_multi_cleanup(Multi(FMulti));
    curl_easy_cleanup(Easy(FEasy));
    FMulti = nullptr;
}

void THTTPClient::Abort() {
    FAborted = true;
    Wake();
}

void THTTPClient::Wake() {
    std::lock_guard lock(FMultiLock);
    if (FMulti != nullptr)
        curl_multi_wakeup(Multi(FMulti));
    FLookupWake.notify_all();
}

// Done here rather than by libcurl, whose resolver thread holds up the end of a transfer until the
// system resolver answers: a stop must not wait for a name server that never does.
std::unique_ptr<curl_slist, void (*)(curl_slist*)> THTTPClient::LookUp(const std::string& method,
                                                                      const std::string& url,
                                                                      const std::string& shown) {
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> entries(nullptr, curl_slist_free_all);
    std::string host = ProxyHost;
    std::uint16_t port = ProxyPort;
    if (host.empty()) {
        TParsedURL parsed = Parse(url);
        if (!parsed)
            return entries; // libcurl reports the address it cannot read
        host = Part(parsed.get(), CURLUPART_HOST);
        port = static_cast<std::uint16_t>(std::atoi(Part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).c_str()));
    }
    if (host.empty() || host.front() == '[' || IsNumericAddress(host))
        return entries;

    bool answered = false;
    auto lookup = TNameLookup::Start(host, port, [this, &answered] {
        std::lock_guard lock(FMultiLock);
        answered = true;
        FLookupWake.notify_all();
    });
    const auto timeout = ConnectTimeout.count() > 0 ? ConnectTimeout : DefaultConnectTimeout;
    {
        std::unique_lock lock(FMultiLock);
        FLookupWake.wait_for(lock, FStopToken, timeout, [&] { return answered || FAborted.load(); });
        if (!answered) {
            lock.unlock();
            lookup->Abandon();
            if (Cancelled())
                throw EOperationAborted(FormatNetMessage(method, shown, "operation aborted"));
            throw ESocketError(FormatNetMessage(method, shown,
                                                fmt::format("resolving {} timed out after {} ms", host,
                                                            timeout.count())),
                               std::make_error_code(std::errc::timed_out));
        }
    }
    TLookupAnswer answer = lookup->Take();
    if (answer.Error)
        throw ESocketError(FormatNetMessage(method, shown,
                                            fmt::format("Could not resolve {}: {}",
                                                        ProxyHost.empty() ? "host" : "proxy", host)),
                           answer.Error);
    std::string entry = fmt::format("{}:{}:", host, port);
    for (std::size_t i = 0; i < answer.Addresses.size(); ++i) {
        const std::string& address = answer.Addresses[i];
        entry += (i ? "," : "") + (address.find(':') != std::string::npos ? "[" + address + "]" : address);
    }
    entries.reset(curl_slist_append(nullptr, entry.c_str()));
    return entries;
}

void THTTPClient::SetStopToken(std::stop_token token) {
    FStopWake.reset();
    FStopToken = std::move(token);
    FStopWake.emplace(FStopToken, [this] { Wake(); });
}

std::string THTTPClient::ResponseHeader(std::string_view name) const {
    for (const auto& header : FHeaders)
        if (EqualsNoCase(header.Name, name))
            return header.Value;
    return {};
}

void THTTPClient::Head(const std::string& url) {
    Request(url, nullptr);
}

void THTTPClient::Get(const std::string& url, const TSink& sink) {
    Request(url, &sink);
}

void THTTPClient::Request(const std::string& url, const TSink* sink) {
    const std::string method = sink == nullptr ? "HEAD" : "GET";
    FAborted = false;
    FResponseCode = 0;
    FHeaders.clear();
    FURL = url;
    for (const std::string* setting : std::initializer_list<const std::string*>{
             &url, &Username, &Password, &ProxyHost, &ProxyUsername, &ProxyPassword})
        if (HoldsLineBreakOrNul(*setting))
            throw EUnsafeCommand(FormatNetMessage(method, ShownURL(url),
                                                  "the address or a setting holds a line break or NUL"));
    FLog.SetOnLog(OnLog);
    bool credentials = !Username.empty();
    for (int number = 1;; ++number) {
        PerformOne(method, FURL, credentials, sink);
        char* location = nullptr;
        curl_easy_getinfo(Easy(FEasy), CURLINFO_REDIRECT_URL, &location);
        if (!IsRedirect(FResponseCode) || location == nullptr)
            break;
        std::string next = location;
        if (HoldsLineBreakOrNul(next))
            throw EProtocolError(
                FormatNetMessage(method, ShownURL(FURL), "the redirect address holds a line break or NUL"));
        if (OnRedirect)
            OnRedirect(next, number, FResponseCode);
        if (!HandleRedirects)
            break;
        if (number >= MaxRedirects)
            throw EProtocolError(
                FormatNetMessage(method, ShownURL(url), fmt::format("more than {} redirects", MaxRedirects)));
        // A redirect to another site must not take the user's password along.
        credentials = credentials && Origin(FURL) == Origin(next) && !Origin(next).empty();
        FURL = std::move(next);
    }
    if (FResponseCode >= 400) {
        std::string status = FStatusLine.empty() ? std::to_string(FResponseCode) : FStatusLine;
        std::size_t blank = status.find(' ');
        throw EReplyError(FormatNetMessage(method, ShownURL(FURL), Printable(status.substr(blank + 1))),
                          FResponseCode, {status});
    }
}

void THTTPClient::Configure(const std::string& url, bool head, bool withCredentials) {
    CURL* easy = Easy(FEasy);
    // A reset keeps the connection cache, so a redirect to the same server reuses the connection.
    curl_easy_reset(easy);
    SetOption(easy, CURLOPT_URL, url.c_str());
    SetOption(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    SetOption(easy, CURLOPT_NOSIGNAL, 1L);
    // One socket read and one turn of the transfer loop a quarter MiB instead of every 16 KiB: a
    // fifth less CPU for a large download (libcurl still hands the body over in 16 KiB pieces).
    SetOption(easy, CURLOPT_BUFFERSIZE, ReceiveBufferSize);
    SetOption(easy, CURLOPT_FOLLOWLOCATION, 0L);
    SetOption(easy, CURLOPT_ERRORBUFFER, FErrorText);
    SetOption(easy, CURLOPT_HEADERFUNCTION, &HeaderCallback);
    SetOption(easy, CURLOPT_HEADERDATA, this);
    SetOption(easy, CURLOPT_WRITEFUNCTION, &WriteCallback);
    SetOption(easy, CURLOPT_WRITEDATA, this);
    // Always on: the callback also tells the read time-out that bytes are moving.
    SetOption(easy, CURLOPT_DEBUGFUNCTION, &DebugCallback);
    SetOption(easy, CURLOPT_DEBUGDATA, this);
    SetOption(easy, CURLOPT_VERBOSE, 1L);
    auto connect = ConnectTimeout.count() > 0 ? ConnectTimeout : DefaultConnectTimeout;
    SetOption(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count()));
    SetOption(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    SetOption(easy, CURLOPT_SSL_VERIFYPEER, VerifyPeer ? 1L : 0L);
    SetOption(easy, CURLOPT_SSL_VERIFYHOST, VerifyPeer ? 2L : 0L);
    SetOption(easy, CURLOPT_SSL_CTX_FUNCTION, &AddExtraCA);
    if (head)
        SetOption(easy, CURLOPT_NOBODY, 1L);
    else
        SetOption(easy, CURLOPT_HTTPGET, 1L);
    // An empty proxy also keeps curl from taking one from the environment.
    SetOption(easy, CURLOPT_PROXY, ProxyHost.c_str());
    if (!ProxyHost.empty()) {
        SetOption(easy, CURLOPT_PROXYPORT, static_cast<long>(ProxyPort));
        SetOption(easy, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        if (!ProxyUsername.empty()) {
            SetOption(easy, CURLOPT_PROXYUSERNAME, ProxyUsername.c_str());
            SetOption(easy, CURLOPT_PROXYPASSWORD, ProxyPassword.c_str());
            SetOption(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    }
    if (withCredentials) {
        SetOption(easy, CURLOPT_USERNAME, Username.c_str());
        SetOption(easy, CURLOPT_PASSWORD, Password.c_str());
        SetOption(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
}

void THTTPClient::PerformOne(const std::string& method, const std::string& url, bool withCredentials,
                             const TSink* sink) {
    Configure(url, sink == nullptr, withCredentials);
    const std::string shown = ShownURL(url);
    auto addresses = LookUp(method, url, shown);
    if (addresses)
        SetOption(Easy(FEasy), CURLOPT_RESOLVE, addresses.get());
    FSink = sink;
    FBodyToSink = false;
    FWorkStarted = false;
    FHeaderTooLarge = false;
    FBodyBytes = 0;
    FSinkError = nullptr;
    FHeaders.clear();
    FHeaderBytes = 0;
    FStatusLine.clear();
    FErrorText[0] = '\0';
    FLastActivity = TClock::now();
    CURL* easy = Easy(FEasy);
    CURLM* multi = Multi(FMulti);
    if (CURLMcode code = curl_multi_add_handle(multi, easy); code != CURLM_OK)
        throw ENetError(FormatNetMessage(method, shown, curl_multi_strerror(code)));
    // Runs however the hop ends; the end of the work is reported even for a failed transfer, and a
    // failing progress display must not take the place of the transfer's own outcome.
    struct TRemove {
        THTTPClient& Client;
        ~TRemove() {
            curl_multi_remove_handle(Multi(Client.FMulti), Easy(Client.FEasy));
            try {
                if (Client.FWorkStarted && Client.OnWorkEnd)
                    Client.OnWorkEnd();
            } catch (...) {
            }
        }
    } remove{*this};
    const auto readTimeout = ReadTimeout.count() > 0 ? ReadTimeout : DefaultReadTimeout;
    for (;;) {
        if (Cancelled())
            throw EOperationAborted(FormatNetMessage(method, shown, "operation aborted"));
        int running = 0;
        if (CURLMcode code = curl_multi_perform(multi, &running); code != CURLM_OK)
            throw ENetError(FormatNetMessage(method, shown, curl_multi_strerror(code)));
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            long code = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
            FResponseCode = static_cast<int>(code);
            if (message->data.result != CURLE_OK)
                Fail(method, shown, message->data.result);
            return;
        }
        // Before the connection stands, the connect time-out is the one that counts.
        curl_off_t connected = 0;
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
        if (connected > 0 && TClock::now() - FLastActivity > readTimeout)
            throw EReadTimeout(
                FormatNetMessage(method, shown, fmt::format("no data for {} ms", readTimeout.count())));
        // Abort wakes the poll; the cap keeps the read time-out's check going while nothing moves.
        curl_multi_poll(multi, nullptr, 0, 200, nullptr);
    }
}

void THTTPClient::Fail(const std::string& method, const std::string& shownUrl, int curlCode) {
    if (FSinkError)
        std::rethrow_exception(FSinkError);
    if (Cancelled())
        throw EOperationAborted(FormatNetMessage(method, shownUrl, "operation aborted"));
    if (FHeaderTooLarge)
        throw EProtocolError(FormatNetMessage(method, shownUrl, "the response header is too large"));
    auto code = static_cast<CURLcode>(curlCode);
    std::string reason = FErrorText[0] != '\0' ? FErrorText : curl_easy_strerror(code);
    std::string message = FormatNetMessage(method, shownUrl, reason);
    std::error_code error(curlCode, std::generic_category());
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        throw EReadTimeout(message);
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        throw EConnClosedGracefully(message);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        throw ETLSError(message, error);
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        throw ESocketError(message, error);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
        throw EProtocolError(message);
    default:
        throw ENetError(message);
    }
}

std::size_t THTTPClient::HeaderCallback(char* data, std::size_t size, std::size_t count, void* self) {
    auto& client = *static_cast<THTTPClient*>(self);
    const std::size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    client.FLastActivity = TClock::now();
    client.FHeaderBytes += length;
    if (line.starts_with("HTTP/")) {
        // A new response (after 100 Continue, or a proxy's answer to CONNECT): only the last counts.
        client.FHeaders.clear();
        client.FHeaderBytes = length;
        client.FStatusLine = std::string(line);
        client.FBodyToSink = false;
        return length;
    }
    if (line.empty()) {
        long code = 0;
        curl_easy_getinfo(Easy(client.FEasy), CURLINFO_RESPONSE_CODE, &code);
        client.FResponseCode = static_cast<int>(code);
        bool followed = client.HandleRedirects && IsRedirect(static_cast<int>(code)) &&
                        !client.ResponseHeader("Location").empty();
        client.FBodyToSink = client.FSink != nullptr && code >= 200 && code < 400 && !followed;
        return length;
    }
    if (client.FHeaders.size() >= MaxHeaderLines || client.FHeaderBytes > MaxHeaderBytes) {
        client.FHeaderTooLarge = true;
        return 0;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !client.FHeaders.empty()) {
        // Appended in two steps: GCC 12 at -O3 sees a bogus overflow in `" " + std::string(...)`.
        std::string& value = client.FHeaders.back().Value;
        value += ' ';
        value += TrimView(line);
        return length;
    }
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos)
        client.FHeaders.push_back(
            {std::string(TrimView(line.substr(0, colon))), std::string(TrimView(line.substr(colon + 1)))});
    return length;
}

std::size_t THTTPClient::WriteCallback(char* data, std::size_t size, std::size_t count, void* self) {
    auto& client = *static_cast<THTTPClient*>(self);
    const std::size_t length = size * count;
    // Anything short of the length makes curl end the transfer with an error at once.
    if (client.Cancelled())
        return 0;
    client.FLastActivity = TClock::now();
    if (!client.FBodyToSink)
        return length;
    try {
        if (!client.FWorkStarted) {
            client.FWorkStarted = true;
            curl_off_t expected = -1;
            curl_easy_getinfo(Easy(client.FEasy), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
            if (client.OnWorkBegin)
                client.OnWorkBegin(expected);
        }
        (*client.FSink)(std::string_view(data, length));
        client.FBodyBytes += static_cast<std::int64_t>(length);
        if (client.OnWork)
            client.OnWork(client.FBodyBytes);
    } catch (...) {
        client.FSinkError = std::current_exception();
        return 0;
    }
    return length;
}

int THTTPClient::DebugCallback(void*, int type, char* data, std::size_t size, void* self) {
    auto& client = *static_cast<THTTPClient*>(self);
    client.FLastActivity = TClock::now();
    if (!client.OnLog)
        return 0;
    std::string_view text(data, size);
    // Bodies and TLS records are never logged: only the protocol's own lines and curl's notes.
    switch (static_cast<curl_infotype>(type)) {
    case CURLINFO_TEXT:
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.remove_suffix(1);
        client.FLog.Status(TConnectionStatus::csStatusText, text.substr(0, TLogLineSplitter::MaxLine));
        break;
    case CURLINFO_HEADER_IN:
        client.FLog.Received(text);
        break;
    case CURLINFO_HEADER_OUT:
        client.FLog.Sent(text);
        break;
    default:
        break;
    }
    return 0;
}

std::string ShownURL(const std::string& url) {
    std::string shown = url;
    TParsedURL parsed = Parse(url);
    if (parsed && curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK) {
        if (std::string text = Part(parsed.get(), CURLUPART_URL); !text.empty())
            shown = std::move(text);
    } else if (std::size_t at = shown.find('@'); at != std::string::npos) {
        shown.erase(0, at + 1);
    }
    constexpr std::size_t longest = 300;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return shown.size() > longest ? shown.substr(0, longest) + "..." : shown;
}

// What may stand in an address as it is: RFC 3986's unreserved and reserved characters.
bool AllowedInURL(unsigned char c) {
    return c > 0x20 && c < 0x7f && std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) == std::string_view::npos;
}

std::string EncodeURL(std::string_view url) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (std::size_t i = 0; i < url.size(); ++i) {
        auto c = static_cast<unsigned char>(url[i]);
        bool escape = c == '%' && i + 2 < url.size() && HexValue(url[i + 1]) >= 0 && HexValue(url[i + 2]) >= 0;
        if (AllowedInURL(c) && (c != '%' || escape)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    TParsedURL parsed = Parse(encoded);
    if (!parsed || Part(parsed.get(), CURLUPART_HOST).empty())
        throw ENetError("\"" + ShownURL(encoded) + "\" is no address with a scheme and a host");
    return encoded;
}

std::string URLWithPort(const std::string& url, std::uint16_t port) {
    TParsedURL parsed = Parse(url);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_PORT, std::to_string(port).c_str(), 0) != CURLUE_OK)
        throw ENetError("\"" + ShownURL(url) + "\" is no address a port can be set in");
    return Part(parsed.get(), CURLUPART_URL);
}

std::string URLDocument(const std::string& url) {
    TParsedURL parsed = Parse(url);
    if (!parsed)
        return {};
    std::string path = Part(parsed.get(), CURLUPART_PATH, CURLU_URLDECODE);
    return path.substr(path.find_last_of('/') + 1);
}

std::string HeaderParameter(std::string_view value, std::string_view name) {
    std::size_t i = value.find(';');
    while (i != std::string_view::npos && i < value.size()) {
        ++i; // past the ';'
        std::size_t end = value.find_first_of("=;", i);
        std::string_view key = TrimView(value.substr(i, end == std::string_view::npos ? end : end - i));
        if (end == std::string_view::npos)
            return {};
        i = end;
        if (value[i] == ';')
            continue;
        ++i; // past the '='
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        std::string parameter;
        if (i < value.size() && value[i] == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                parameter += value[i];
            }
            i = value.find(';', i);
        } else {
            std::size_t semicolon = value.find(';', i);
            parameter =
                TrimView(value.substr(i, semicolon == std::string_view::npos ? semicolon : semicolon - i));
            i = semicolon;
        }
        if (EqualsNoCase(key, name))
            return parameter;
    }
    return {};
}

std::string DispositionFileName(std::string_view value) {
    std::string extended = DecodeExtValue(HeaderParameter(value, "filename*"));
    return extended.empty() ? HeaderParameter(value, "filename") : extended;
}

std::string ContentTypeName(std::string_view value) {
    return HeaderParameter(value, "name");
}

} // namespace zr::net
