// TFTPListingPool: remote folders listed by path on extra connections ahead of a walk, which takes
// the listings one by one in its own order, so that the tree and every line of the run come out as
// they do with the main connection alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ftp/sync/ZRFTPTransferPool.h"
#include "ftp/sync/ZRFTPTreeListing.h"

namespace zr {

// Where a folder comes in the walk: the indexes of the children that lead to it from the root. The walk
// visits folders in the order of their keys.
using TFTPWalkKey = std::vector<std::uint32_t>;

class TFTPListingPool {
public:
    using TKeepGoing = std::function<bool()>;

    // count extra connections with the settings of model, opened when the first folder is announced.
    // keepGoing runs on the walk's thread every tenth of a second while it waits for a listing (the main
    // connection's keep-alive and the user's stop); false gives the folder back to the main connection.
    TFTPListingPool(IFTPConnectionObject& model, int count, TFTPTransferPool::TLine warn, TKeepGoing keepGoing);
    // Ends every listing in flight and closes the connections.
    ~TFTPListingPool();
    TFTPListingPool(const TFTPListingPool&) = delete;
    TFTPListingPool& operator=(const TFTPListingPool&) = delete;

    // Starts the logins now, to overlap the work before the walk; the first Announce waits for them.
    void OpenAhead() { FPool->OpenAhead(); }
    // Before the first Announce: runs list(connection, i) for every i below count, on the extra connections
    // and on main (when given) at once, and returns when all have ended. list must not throw but for a stop.
    void ListTrees(std::size_t count, IFTPConnectionObject* main,
                   const std::function<void(IFTPConnectionObject&, std::size_t)>& list);
    // Before the walk: runs work on a thread of its own, so that the trees below the walk's root are listed
    // (with ListTrees, without the main connection) while the local tree is read.
    // work gives nothing when it could not look at root.
    void StartAhead(const std::string& root, std::function<std::optional<TFTPTreeListing>()> work);
    // What the work started ahead for root found, once it has ended; nothing when none ran for root or it
    // could not look at root.
    std::optional<TFTPTreeListing> TakeAhead(const std::string& root);
    // The walk will ask for the folder at path (no trailing "/") by key, after every folder of a lower key.
    void Announce(const TFTPWalkKey& key, const std::string& path);
    // The folder's entries, with the warnings of its listing delivered through the model's message event
    // as the main connection would; empty when the folder is to be listed on the main connection (not
    // announced, not started yet, refused, failed, or the walk is to stop). Announced folders of lower keys
    // are dropped.
    std::optional<TFTPListItems> Take(const TFTPWalkKey& key);
    // Once the walk is over: the connections, for the transfers to use.
    TFTPSpareConnections Release();
    // From any thread: nothing more is listed. The listings in flight end with the stop of the
    // connection the pool's connections were made from.
    void Cancel();

private:
    struct TListing {
        bool Listed = false;
        TFTPListItems Items;
        std::vector<std::string> Warnings;
    };
    std::string Work(TFTPTransferSlot& slot);
    TListing List(TFTPTransferSlot& slot, const std::string& path);
    // Forgets every folder the walk has passed: those below key.
    void DropBefore(const TFTPWalkKey& key);
    bool MayStart() const;
    void JoinAhead();
    static std::size_t Weight(const TListing& listing);

    IFTPConnectionObject& FModel;
    TKeepGoing FKeepGoing;
    bool FStarted = false;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FDone = false;
    std::map<TFTPWalkKey, std::string> FPending;
    std::set<TFTPWalkKey> FInFlight;
    std::map<TFTPWalkKey, TListing> FReady;
    // The entries FReady holds, each listing counted one more.
    std::size_t FEntriesAhead = 0;
    // The last folder the walk asked for.
    std::optional<TFTPWalkKey> FPassed;
    // The warnings of the listing each connection is running, by slot index.
    std::vector<std::vector<std::string>> FWarnings;
    // The work started ahead of the walk, and what it found below FAheadRoot.
    std::thread FAhead;
    std::string FAheadRoot;
    std::optional<TFTPTreeListing> FAheadTrees;
    // Last: its threads use everything above.
    std::unique_ptr<TFTPTransferPool> FPool;
};

} // namespace zr
