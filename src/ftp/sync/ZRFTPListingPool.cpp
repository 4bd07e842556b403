#include "ftp/sync/ZRFTPListingPool.h"

#include <chrono>
#include <thread>
#include <utility>

namespace zr {

namespace {

// How far the listings may run ahead of the walk, in the entries they hold. A count of listings would not
// do: the siblings of the folder the walk is in (listed first, taken last) would fill it and leave the
// folders below it to one connection.
constexpr std::size_t MaxEntriesAhead = 20'000;

} // namespace

TFTPListingPool::TFTPListingPool(IFTPConnectionObject& model, int count, TFTPTransferPool::TLine warn,
                                 TKeepGoing keepGoing)
    : FModel(model), FKeepGoing(std::move(keepGoing)), FWarnings(static_cast<std::size_t>(count) + 1) {
    FPool = std::make_unique<TFTPTransferPool>(
        model, count,
        [this](TFTPTransferSlot& slot) {
            // A listing's warnings (names refused as unsafe) are held until the walk takes it, so that they
            // stand where the main connection would have given them.
            auto forward = FModel.GetOnMessage();
            auto* held = &FWarnings[static_cast<std::size_t>(slot.Index)];
            slot.Connection->SetOnMessage([forward, held](const std::string& text, TConnMessageType type) {
                if (type == Warning)
                    held->push_back(text);
                else if (forward)
                    forward(text, type);
            });
        },
        std::move(warn), [] {}, "listings");
}

TFTPListingPool::~TFTPListingPool() {
    {
        std::lock_guard lock(FLock);
        FDone = true;
    }
    FChanged.notify_all();
    // Work ahead that nobody took (the local walk failed or was stopped) ends with the listings in flight.
    if (FAhead.joinable())
        FPool->Cancel();
    JoinAhead();
    FPool.reset();
}

void TFTPListingPool::StartAhead(const std::string& root,
                                 std::function<std::optional<TFTPTreeListing>()> work) {
    JoinAhead();
    FAheadRoot = root;
    FAheadTrees.reset();
    FAhead = std::thread([this, work = std::move(work)] {
        try {
            FAheadTrees = work();
        } catch (const std::exception&) {
            // What the work ahead could not list, the walk lists itself and reports.
            FAheadTrees.reset();
        }
    });
}

std::optional<TFTPTreeListing> TFTPListingPool::TakeAhead(const std::string& root) {
    JoinAhead();
    if (root != FAheadRoot)
        return std::nullopt;
    FAheadRoot.clear();
    return std::exchange(FAheadTrees, std::nullopt);
}

void TFTPListingPool::JoinAhead() {
    if (FAhead.joinable())
        FAhead.join();
}

void TFTPListingPool::ListTrees(std::size_t count, IFTPConnectionObject* main,
                                const std::function<void(IFTPConnectionObject&, std::size_t)>& list) {
    std::atomic<std::size_t> next{0};
    auto work = [&](IFTPConnectionObject& connection) {
        for (std::size_t i = next++; i < count; i = next++)
            list(connection, i);
    };
    // The extra connections join in once logged in; the main connection does not wait for them.
    std::thread opener([this, &work] {
        if (!FPool->Ready())
            return;
        for (std::size_t i = 0; i < FPool->Size(); ++i)
            FPool->Submit([&work](TFTPTransferSlot& slot) {
                try {
                    work(*slot.Connection);
                } catch (const std::exception&) {
                    // A connection that broke leaves its trees to the walk, folder by folder.
                }
                return std::string();
            });
    });
    // However the main connection's share ends, the extra ones are waited for.
    struct TJoin {
        std::thread& Opener;
        TFTPTransferPool& Pool;
        ~TJoin() {
            Opener.join();
            Pool.Finish();
        }
    } join{opener, *FPool};
    if (main)
        work(*main);
}

void TFTPListingPool::Announce(const TFTPWalkKey& key, const std::string& path) {
    if (!FStarted) {
        FStarted = true;
        if (FPool->Ready())
            for (std::size_t i = 0; i < FPool->Size(); ++i)
                FPool->Submit([this](TFTPTransferSlot& slot) { return Work(slot); });
    }
    {
        std::lock_guard lock(FLock);
        if (FDone || FPool->Size() == 0)
            return;
        FPending.emplace(key, path);
    }
    FChanged.notify_all();
}

// An empty listing holds an entry's worth too, so that empty folders are bounded as well.
std::size_t TFTPListingPool::Weight(const TListing& listing) { return listing.Items.size() + 1; }

bool TFTPListingPool::MayStart() const { return !FPending.empty() && FEntriesAhead < MaxEntriesAhead; }

void TFTPListingPool::DropBefore(const TFTPWalkKey& key) {
    FPending.erase(FPending.begin(), FPending.lower_bound(key));
    for (auto passed = FReady.begin(); passed != FReady.end() && passed->first < key;) {
        FEntriesAhead -= Weight(passed->second);
        passed = FReady.erase(passed);
    }
}

std::string TFTPListingPool::Work(TFTPTransferSlot& slot) {
    std::unique_lock lock(FLock);
    for (;;) {
        FChanged.wait(lock, [this] { return FDone || MayStart(); });
        if (FDone)
            return {};
        auto next = FPending.begin();
        TFTPWalkKey key = next->first;
        std::string path = std::move(next->second);
        FPending.erase(next);
        FInFlight.insert(key);
        lock.unlock();
        TListing listing = List(slot, path);
        lock.lock();
        FInFlight.erase(key);
        // One the walk has passed meanwhile is not wanted any more.
        if (!FPassed || !(key < *FPassed)) {
            FEntriesAhead += Weight(listing);
            FReady.emplace(std::move(key), std::move(listing));
        }
        FChanged.notify_all();
    }
}

TFTPListingPool::TListing TFTPListingPool::List(TFTPTransferSlot& slot, const std::string& path) {
    TListing listing;
    auto& held = FWarnings[static_cast<std::size_t>(slot.Index)];
    held.clear();
    try {
        if (const auto* items = slot.Connection->ListFolder(path)) {
            listing.Items = *items;
            listing.Listed = true;
            listing.Warnings = std::move(held);
        }
    } catch (const std::exception&) {
        // The main connection lists the folder again and reports what it finds, as it does alone.
    }
    held.clear();
    return listing;
}

std::optional<TFTPListItems> TFTPListingPool::Take(const TFTPWalkKey& key) {
    std::unique_lock lock(FLock);
    DropBefore(key);
    FPassed = key;
    for (;;) {
        if (auto found = FReady.find(key); found != FReady.end()) {
            TListing listing = std::move(found->second);
            FEntriesAhead -= Weight(listing);
            FReady.erase(found);
            lock.unlock();
            FChanged.notify_all();
            if (!listing.Listed)
                return std::nullopt;
            if (auto deliver = FModel.GetOnMessage())
                for (const auto& text : listing.Warnings)
                    deliver(text, Warning);
            return std::move(listing.Items);
        }
        // Not started yet: the main connection, which would only wait, lists it itself.
        if (FDone || !FInFlight.count(key)) {
            FPending.erase(key);
            return std::nullopt;
        }
        if (FChanged.wait_for(lock, std::chrono::milliseconds(100),
                              [this, &key] { return FDone || FReady.count(key) > 0; }))
            continue;
        lock.unlock();
        const bool goOn = FKeepGoing();
        lock.lock();
        if (!goOn)
            return std::nullopt;
    }
}

TFTPSpareConnections TFTPListingPool::Release() {
    Cancel();
    JoinAhead();
    return FPool->Release();
}

void TFTPListingPool::Cancel() {
    {
        std::lock_guard lock(FLock);
        FDone = true;
    }
    FChanged.notify_all();
    FPool->Cancel();
}

} // namespace zr
