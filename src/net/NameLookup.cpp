#include "net/NameLookup.h"

#include <asio/error.hpp>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

namespace zr::net {

namespace {

// What the resolver's codes mean, in the terms a connection reports them in.
std::error_code LookupError(int code, int savedErrno) {
    switch (code) {
    case EAI_AGAIN: return asio::error::host_not_found_try_again;
    case EAI_FAIL: return asio::error::no_recovery;
    case EAI_SERVICE: return asio::error::service_not_found;
    case EAI_MEMORY: return asio::error::no_memory;
    case EAI_SYSTEM: return {savedErrno, std::system_category()};
    default: return asio::error::host_not_found;
    }
}

std::string NumericAddress(const sockaddr* address, socklen_t length) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return text;
}

} // namespace

std::shared_ptr<TNameLookup> TNameLookup::Start(const std::string& host, std::uint16_t port,
                                                std::function<void()> notify) {
    auto lookup = std::make_shared<TNameLookup>();
    lookup->FNotify = std::move(notify);
    std::thread([lookup, host, service = std::to_string(port)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        int code = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        TLookupAnswer answer;
        if (code != 0) {
            answer.Error = LookupError(code, errno);
        } else {
            for (auto* entry = found; entry; entry = entry->ai_next) {
                std::string address = NumericAddress(entry->ai_addr, entry->ai_addrlen);
                if (!address.empty())
                    answer.Addresses.push_back(std::move(address));
            }
            ::freeaddrinfo(found);
            if (answer.Addresses.empty())
                answer.Error = asio::error::host_not_found;
        }
        lookup->Finish(std::move(answer));
    }).detach();
    return lookup;
}

void TNameLookup::Finish(TLookupAnswer answer) {
    std::lock_guard lock(FLock);
    FAnswer = std::move(answer);
    FDone = true;
    if (!FAbandoned && FNotify)
        FNotify();
    FNotify = nullptr;
}

bool TNameLookup::Done() const {
    std::lock_guard lock(FLock);
    return FDone;
}

TLookupAnswer TNameLookup::Take() {
    std::lock_guard lock(FLock);
    return std::move(FAnswer);
}

void TNameLookup::Abandon() {
    std::lock_guard lock(FLock);
    FAbandoned = true;
    FNotify = nullptr;
}

bool IsNumericAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

} // namespace zr::net
