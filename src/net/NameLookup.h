// Name lookups that a stop or a deadline can abandon. The system resolver cannot be cancelled, so
// each lookup runs on a thread of its own; one that is abandoned ends when the resolver answers and
// touches nothing but its own shared state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace zr::net {

struct TLookupAnswer {
    // Empty on success; the resolver's error in asio's netdb terms otherwise.
    std::error_code Error;
    // Numeric addresses, in the resolver's order.
    std::vector<std::string> Addresses;
};

class TNameLookup {
public:
    // Starts looking up host (for a TCP connection to port). notify is called once, on the lookup's
    // thread, when the answer is there, unless Abandon came first; it must not block.
    static std::shared_ptr<TNameLookup> Start(const std::string& host, std::uint16_t port,
                                              std::function<void()> notify);

    bool Done() const;
    // The answer, once Done.
    TLookupAnswer Take();
    // From now on notify is never called, and whatever it refers to may go.
    void Abandon();

private:
    void Finish(TLookupAnswer answer);

    mutable std::mutex FLock;
    bool FDone = false;
    bool FAbandoned = false;
    TLookupAnswer FAnswer;
    std::function<void()> FNotify;
};

// True for a numeric IPv4 or IPv6 address, which needs no lookup.
bool IsNumericAddress(const std::string& host);

} // namespace zr::net
