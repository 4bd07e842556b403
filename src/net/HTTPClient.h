// HTTP and HTTPS requests on libcurl: HEAD, and GET streamed to the caller's sink; blocking on the
// caller's thread, Abort from any thread, a stop through its token. Redirects are followed here, one hop at a time,
// so that each one raises an event.
#pragma once

#include "net/LogEventIntercept.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

struct curl_slist;

namespace zr::net {

struct THTTPHeader {
    std::string Name;
    std::string Value;
};

class THTTPClient {
public:
    using TSink = std::function<void(std::string_view data)>;
    // url: where the redirect leads; number: 1 for the first redirect of a request; code: the 3xx.
    using TRedirectEvent = std::function<void(std::string_view url, int number, int code)>;
    using TLogEvent = TLogEventIntercept::TLogEvent;
    using TWorkBeginEvent = std::function<void(std::int64_t expected)>; // -1: size unknown
    using TWorkEvent = std::function<void(std::int64_t bytesSoFar)>;
    using TWorkEndEvent = std::function<void()>;

    THTTPClient();
    ~THTTPClient();
    THTTPClient(const THTTPClient&) = delete;
    THTTPClient& operator=(const THTTPClient&) = delete;

    // Settings; they take effect at the next request. Basic authentication is sent when Username
    // is not empty, and only to the origin of the address asked for.
    std::string Username;
    std::string Password;
    std::string ProxyHost; // empty: no proxy (the environment's proxy variables are ignored)
    std::uint16_t ProxyPort = 8080;
    std::string ProxyUsername;
    std::string ProxyPassword;
    std::chrono::milliseconds ConnectTimeout{0}; // 0: DefaultConnectTimeout
    // No byte for that long, once connected, fails the request. 0: DefaultReadTimeout.
    std::chrono::milliseconds ReadTimeout{0};
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{30000};
    static constexpr std::chrono::milliseconds DefaultReadTimeout{60000};
    bool VerifyPeer = true;
    // Follow redirects (at most MaxRedirects a request); OnRedirect is raised either way, and an
    // unfollowed redirect is the response.
    bool HandleRedirects = false;
    static constexpr int MaxRedirects = 20;
    // A response whose header holds more lines or bytes than these is refused.
    static constexpr std::size_t MaxHeaderLines = 1000;
    static constexpr std::size_t MaxHeaderBytes = 256 * 1024;

    TRedirectEvent OnRedirect;
    TLogEvent OnLog;
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // A status of 400 or more raises EReplyError with the status; the body of such an answer, and
    // of a redirect that is followed, never reaches the sink.
    void Head(const std::string& url);
    void Get(const std::string& url, const TSink& sink);

    // The last response's status and the address it came from.
    int ResponseCode() const { return FResponseCode; }
    // The first header of that name (any case), empty when there is none.
    std::string ResponseHeader(std::string_view name) const;
    const std::string& URL() const { return FURL; }

    // Ends the running request at once (it fails with EOperationAborted); cleared by the next one.
    void Abort();
    // A stop through the token ends the running request and every later one.
    void SetStopToken(std::stop_token token);

private:
    void Request(const std::string& url, const TSink* sink);
    void PerformOne(const std::string& method, const std::string& url, bool withCredentials,
                    const TSink* sink);
    void Configure(const std::string& url, bool head, bool withCredentials);
    [[noreturn]] void Fail(const std::string& method, const std::string& shownUrl, int curlCode);
    bool Cancelled() const { return FAborted || FStopToken.stop_requested(); }
    void Wake();
    // The addresses of the server (or the proxy), looked up where a stop can abandon the lookup, as a
    // list for CURLOPT_RESOLVE; nullptr when the host is numeric.
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> LookUp(const std::string& method, const std::string& url,
                                                                const std::string& shown);

    static std::size_t HeaderCallback(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* self);
    static int DebugCallback(void* handle, int type, char* data, std::size_t size, void* self);

    void* FEasy = nullptr;
    void* FMulti = nullptr;
    std::mutex FMultiLock; // wakes the transfer loop; the handle must not go while Abort uses it
    std::condition_variable_any FLookupWake; // with FMultiLock: a name lookup answered, or Abort
    std::atomic<bool> FAborted{false};
    std::stop_token FStopToken;
    std::optional<std::stop_callback<std::function<void()>>> FStopWake;
    TLogEventIntercept FLog;
    int FResponseCode = 0;
    std::vector<THTTPHeader> FHeaders;
    std::size_t FHeaderBytes = 0;
    std::string FURL;
    std::string FStatusLine;
    char FErrorText[256] = {};
    // Per hop: whether the body goes to the sink, how much came, when a byte last arrived.
    const TSink* FSink = nullptr;
    bool FBodyToSink = false;
    bool FWorkStarted = false;
    bool FHeaderTooLarge = false;
    std::int64_t FBodyBytes = 0;
    std::chrono::steady_clock::time_point FLastActivity;
    std::exception_ptr FSinkError;
};

// The file name a Content-Disposition value names: "filename*" (RFC 6266, percent-encoded UTF-8 or
// ISO-8859-1, converted to UTF-8) before "filename"; empty when neither is there.
std::string DispositionFileName(std::string_view value);
// The "name" parameter of a Content-Type value; empty when there is none.
std::string ContentTypeName(std::string_view value);
// The address with every byte that may not stand in a URL percent-encoded (controls, blanks,
// non-ASCII, and a '%' that starts no escape); escapes already there stay as they are. Throws
// ENetError when the result is no address with a scheme and a host.
std::string EncodeURL(std::string_view url);
// The address with its port replaced by port.
std::string URLWithPort(const std::string& url, std::uint16_t port);
// The last segment of the address's path, percent-decoded; empty when the path ends with '/'.
std::string URLDocument(const std::string& url);
// An address as messages show it: without the password it may carry, control bytes as '?', cut
// short.
std::string ShownURL(const std::string& url);

// A parameter of a header value ("attachment; filename=\"a b.txt\""): quoted strings unquoted,
// names compared in any case; empty when it is not there.
std::string HeaderParameter(std::string_view value, std::string_view name);

} // namespace zr::net
