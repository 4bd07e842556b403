// TFTPTransferPool: work of one mirror run (transfers, listings) on extra connections to the same
// server, one thread each, while the walk goes on over the main connection.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ZRFTPObject.h"

namespace zr {

// One extra connection and where its server stands.
struct TFTPTransferSlot {
    IFTPConnectionObjectPtr Connection;
    // The server's current directory with a trailing "/"; empty while unknown.
    std::string RemoteDirectory;
    int Index = 0;
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
    // From any thread: queued transfers are dropped and none is taken any more; running ones end on their own.
    void Cancel();
    // From any thread: Cancel, and every running transfer is cut at once.
    void Stop();

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
    // Waits until done holds, running the idle event between looks.
    void WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);
    void Work(TFTPTransferSlot& slot);

    IFTPConnectionObject& FModel;
    int FCount;
    TSlotEvent FOpened;
    TLine FWarn;
    std::function<void()> FIdle;
    std::string FWork;
    bool FOpenedOnce = false;
    bool FLoginsStarted = false;
    std::vector<TLogin> FLogins;

    std::vector<std::unique_ptr<TFTPTransferSlot>> FSlots;
    std::vector<std::thread> FThreads;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TJob> FQueue;
    std::size_t FRunning = 0;
    bool FClosing = false;
    std::string FFailure;
};

} // namespace zr
