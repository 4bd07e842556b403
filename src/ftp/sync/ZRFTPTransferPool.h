// TFTPTransferPool: work of one mirror run (transfers, listings) on extra connections to the same
// server, one thread each, while the walk goes on over the main connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ZRFTPConnection.h"

namespace zr {

// One extra connection and where its server stands.
struct TFTPTransferSlot {
    IFTPConnectionObjectPtr Connection;
    // The server's current directory with a trailing "/"; empty while unknown.
    std::string RemoteDirectory;
    int Index = 0;
    // Refusals the work on this connection met and gave again itself, beside those its connection counts.
    std::uint32_t Refusals = 0;
};

// Logins of extra connections that the server refused: how many of how many asked for, the first reason,
// and whether a line has said so yet.
struct TFTPRefusal {
    int Refused = 0;
    int Asked = 0;
    std::string Reason;
    bool Reported = false;
};

// Logged-in extra connections passed from one pool of a run to the next, so that the second logs in no
// more than it lacks; those that nobody takes say goodbye when the holder goes.
class TFTPSpareConnections {
public:
    TFTPSpareConnections() = default;
    // refusal: logins the server refused beside these, so that a pool taking them asks for no more.
    TFTPSpareConnections(std::vector<std::unique_ptr<TFTPTransferSlot>> slots, TFTPRefusal refusal)
        : FSlots(std::move(slots)), FRefusal(std::move(refusal)) {}
    TFTPSpareConnections(TFTPSpareConnections&& other) noexcept
        : FSlots(std::move(other.FSlots)), FRefusal(std::move(other.FRefusal)) {
        other.FSlots.clear();
    }
    TFTPSpareConnections& operator=(TFTPSpareConnections&& other) noexcept;
    ~TFTPSpareConnections() { Close(); }

    // One connection, or null when none is left.
    std::unique_ptr<TFTPTransferSlot> Take();
    void Add(std::unique_ptr<TFTPTransferSlot> slot) { FSlots.push_back(std::move(slot)); }
    std::size_t Size() const { return FSlots.size(); }
    const TFTPRefusal& Refusal() const { return FRefusal; }

private:
    void Close() noexcept;
    std::vector<std::unique_ptr<TFTPTransferSlot>> FSlots;
    TFTPRefusal FRefusal;
};

class TFTPTransferPool {
public:
    // Gives the reason when the transfer failed and the run must end.
    using TJob = std::function<std::string(TFTPTransferSlot& slot)>;
    using TSlotEvent = std::function<void(TFTPTransferSlot& slot)>;
    using TLine = std::function<void(const std::string& text)>;

    // Up to count connections with the settings of model, opened when the first transfer comes (a run
    // with nothing to transfer opens none). opened prepares each before it carries anything; idle runs
    // about once a second while the walk waits for transfers (the main connection's keep-alive). work
    // names what the connections carry ("transfers") in the line about refused ones.
    TFTPTransferPool(IFTPConnectionObject& model, int count, TSlotEvent opened, TLine warn,
                     std::function<void()> idle, std::string work = "transfers");
    // Waits for the running transfers and closes every connection.
    ~TFTPTransferPool();
    TFTPTransferPool(const TFTPTransferPool&) = delete;
    TFTPTransferPool& operator=(const TFTPTransferPool&) = delete;

    // Before the first Ready: connections of an earlier pool, used before any new one is logged in. Those past
    // this pool's count are closed; when the server refused the earlier pool some, this one asks for no more.
    void Adopt(TFTPSpareConnections spare);
    // Ends the pool's work (running jobs must end on their own) and hands over its connections, idle and
    // without events; the pool that adopts them looks whether the server still holds them.
    TFTPSpareConnections Release();
    // Starts the logins without waiting for them, so that they overlap other work of the run. What the
    // connections report meanwhile is held and given out by Ready, where it stood before.
    void OpenAhead();
    // Opens the connections the first time (waits for the logins OpenAhead started); those the server
    // refuses are given up and one warning line says so. False when none is open: every transfer then
    // stays on the main connection.
    bool Ready();
    // How many connections are open.
    std::size_t Size() const;
    // Queues a transfer; waits while many are queued, so that a large tree is never held twice.
    void Submit(TJob job);
    // Waits until every queued transfer has ended; the first failure's reason, or empty.
    std::string Finish();
    // The first failure's reason, or empty; from the walk, to stop queuing.
    std::string Failure() const;
    // Whether the pool was cancelled: work waiting to try again gives up.
    bool Closing() const;
    // From any thread: queued transfers are dropped and none is taken any more; running ones end on their
    // own, or at once by the stop of the connection the pool's connections were made from.
    void Cancel();

private:
    // One login under way: its slot, and what it failed with or reported meanwhile.
    struct TLogin {
        std::unique_ptr<TFTPTransferSlot> Slot;
        std::string Failure;
        std::vector<std::pair<std::string, TConnMessageType>> Held;
        std::thread Thread;
    };
    void FinishOpening();
    void JoinLogins();
    // Ends the work threads and the logins; every connection logged in is then in FSlots.
    void EndWork();
    // Waits until done holds, running the idle event between looks.
    void WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);
    void Work(TFTPTransferSlot& slot);
    // After a job: refusals that repeat take one connection out of the work. Returns the line to warn with.
    std::string NoteRefusals(std::uint32_t count);

    IFTPConnectionObject& FModel;
    int FCount;
    TSlotEvent FOpened;
    TLine FWarn;
    std::function<void()> FIdle;
    std::string FWork;
    bool FOpenedOnce = false;
    bool FLoginsStarted = false;
    std::vector<TLogin> FLogins;
    // Connections of an earlier pool: waiting to be looked at, then taken up before any login.
    TFTPSpareConnections FSpare;
    std::vector<std::unique_ptr<TFTPTransferSlot>> FAdopted;

    std::vector<std::unique_ptr<TFTPTransferSlot>> FSlots;
    std::vector<std::thread> FThreads;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TJob> FQueue;
    std::size_t FRunning = 0;
    bool FClosing = false;
    std::string FFailure;
    // The logins the server refused, this pool's or (not yet reported) those of the pool it adopted from.
    TFTPRefusal FRefusal;
    // Connections whose Index is above this take no more work.
    std::size_t FActive = 0;
    // When the latest refusals came, to tell a busy spell from a single one.
    std::deque<std::chrono::steady_clock::time_point> FRefusalTimes;
};

} // namespace zr
