#include "ftp/sync/ZRFTPTransferPool.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

namespace zr {

namespace {

// Enough to keep every connection busy between two looks of the walk, few enough to hold nothing large.
constexpr std::size_t QueuedPerConnection = 4;
// Refusals this close together are a busy spell, not a single one: the pool then works on one connection
// fewer.
constexpr std::size_t RefusalsInASpell = 3;
constexpr std::chrono::seconds RefusalSpell{10};

void Unhook(IFTPConnectionObject& connection) {
    connection.SetOnMessage(nullptr);
    connection.SetOnWork(nullptr);
    connection.SetOnWorkBegin(nullptr);
    connection.SetOnWorkEnd(nullptr);
}

} // namespace

TFTPSpareConnections& TFTPSpareConnections::operator=(TFTPSpareConnections&& other) noexcept {
    if (this != &other) {
        Close();
        FSlots = std::move(other.FSlots);
        FRefusal = std::move(other.FRefusal);
        other.FSlots.clear();
    }
    return *this;
}

std::unique_ptr<TFTPTransferSlot> TFTPSpareConnections::Take() {
    if (FSlots.empty())
        return nullptr;
    auto slot = std::move(FSlots.back());
    FSlots.pop_back();
    return slot;
}

void TFTPSpareConnections::Close() noexcept {
    for (auto& slot : FSlots) {
        try {
            slot->Connection->SetStopToken({});
            slot->Connection->Disconnect();
        } catch (...) {
            // A connection that is gone already needs no goodbye.
        }
    }
    FSlots.clear();
}

TFTPTransferPool::TFTPTransferPool(IFTPConnectionObject& model, int count, TSlotEvent opened, TLine warn,
                                   std::function<void()> idle, std::string work)
    : FModel(model), FCount(count), FOpened(std::move(opened)), FWarn(std::move(warn)), FIdle(std::move(idle)),
      FWork(std::move(work)) {}

void TFTPTransferPool::WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done) {
    while (!FChanged.wait_for(lock, std::chrono::seconds(1), done)) {
        lock.unlock();
        FIdle();
        lock.lock();
    }
}

bool TFTPTransferPool::Ready() {
    if (!FOpenedOnce) {
        FOpenedOnce = true;
        OpenAhead();
        FinishOpening();
    }
    return !FSlots.empty();
}

std::size_t TFTPTransferPool::Size() const {
    std::lock_guard lock(FLock);
    return FSlots.size();
}

void TFTPTransferPool::OpenAhead() {
    std::lock_guard lock(FLock);
    if (FLoginsStarted || FClosing)
        return;
    FLoginsStarted = true;
    // Spare connections first; one the server has closed meanwhile (an idle time-out) is replaced by a login.
    TFTPSpareConnections lost;
    while (auto slot = FSpare.Take()) {
        if (!slot->Connection->IsConnected()) {
            lost.Add(std::move(slot));
            continue;
        }
        slot->Index = static_cast<int>(FAdopted.size()) + 1;
        FAdopted.push_back(std::move(slot));
    }
    // Every connection logs in at once: one after another, the logins would cost the run as many round trips
    // as they take together.
    const std::size_t adopted = FAdopted.size();
    FLogins.resize(static_cast<std::size_t>(FCount) - adopted);
    for (std::size_t i = 0; i < FLogins.size(); ++i) {
        TLogin& login = FLogins[i];
        login.Slot = std::make_unique<TFTPTransferSlot>();
        login.Slot->Connection = FModel.NewWithSameSettings();
        login.Slot->Index = static_cast<int>(adopted + i) + 1;
        login.Slot->Connection->SetOnMessage(
            [&held = login.Held](const std::string& text, TConnMessageType type) { held.emplace_back(text, type); });
        login.Thread = std::thread([&login] {
            TFTPTransferSlot& slot = *login.Slot;
            try {
                slot.Connection->Connect(0);
                slot.RemoteDirectory = slot.Connection->GetRemoteDir();
                if (slot.RemoteDirectory.empty() || slot.RemoteDirectory.back() != '/')
                    slot.RemoteDirectory += '/';
            } catch (const std::exception& e) {
                login.Failure = e.what();
                if (login.Failure.empty())
                    login.Failure = "refused";
            }
        });
    }
}

void TFTPTransferPool::JoinLogins() {
    for (auto& login : FLogins)
        if (login.Thread.joinable())
            login.Thread.join();
}

void TFTPTransferPool::FinishOpening() {
    JoinLogins();
    std::string refusal;
    int refused = 0;
    const auto deliver = FModel.GetOnMessage();
    for (auto& slot : FAdopted) {
        slot->Connection->SetOnMessage(deliver);
        FOpened(*slot);
        std::lock_guard lock(FLock);
        FSlots.push_back(std::move(slot));
    }
    FAdopted.clear();
    for (auto& login : FLogins) {
        if (deliver)
            for (const auto& [text, type] : login.Held)
                deliver(text, type);
        if (!login.Failure.empty()) {
            // A server that limits connections per user refuses the ones past its limit: the rest carry on.
            ++refused;
            if (refusal.empty())
                refusal = login.Failure;
            login.Slot->Connection->SetOnMessage(nullptr);
            continue;
        }
        login.Slot->Connection->SetOnMessage(deliver);
        // Numbered among those open, so that the first ones stay at work when the pool works on fewer.
        login.Slot->Index = static_cast<int>(FSlots.size()) + 1;
        FOpened(*login.Slot);
        std::lock_guard lock(FLock);
        FSlots.push_back(std::move(login.Slot));
    }
    if (refused > 0)
        FRefusal = {refused, FCount, refusal, false};
    if (FRefusal.Refused > 0 && !FRefusal.Reported) {
        FRefusal.Reported = true;
        std::string rest = FSlots.empty() ? "the main connection" : fmt::format("{} connection(s)", FSlots.size());
        FWarn(fmt::format("The server refused {} of {} extra connections [{}]; the {} go on over {}.",
                          FRefusal.Refused, FRefusal.Asked, FRefusal.Reason, FWork, rest));
    }
    std::lock_guard lock(FLock);
    FLogins.clear();
    // A stop that came while they logged in: the destructor closes them.
    if (FClosing)
        return;
    FActive = FSlots.size();
    for (auto& slot : FSlots)
        FThreads.emplace_back([this, s = slot.get()] { Work(*s); });
}

TFTPTransferPool::~TFTPTransferPool() {
    // Nobody takes them: they say goodbye here.
    Release();
}

void TFTPTransferPool::EndWork() {
    {
        std::lock_guard lock(FLock);
        FClosing = true;
        FQueue.clear();
    }
    FChanged.notify_all();
    for (auto& thread : FThreads)
        thread.join();
    FThreads.clear();
    // Logins started ahead for a run that never needed them.
    JoinLogins();
    std::lock_guard lock(FLock);
    TFTPRefusal refusal{0, FCount, {}, false};
    for (auto& login : FLogins) {
        if (login.Slot && login.Failure.empty()) {
            FSlots.push_back(std::move(login.Slot));
        } else if (!login.Failure.empty()) {
            ++refusal.Refused;
            if (refusal.Reason.empty())
                refusal.Reason = login.Failure;
        }
    }
    // Refused before anybody needed them: the pool that takes the rest says so.
    if (refusal.Refused > 0 && FRefusal.Refused == 0)
        FRefusal = refusal;
    FLogins.clear();
    for (auto& slot : FAdopted)
        FSlots.push_back(std::move(slot));
    FAdopted.clear();
    // The events may refer to what is gone with the logins or goes with the pool's owner.
    for (auto& slot : FSlots)
        Unhook(*slot->Connection);
}

void TFTPTransferPool::Adopt(TFTPSpareConnections spare) {
    if (spare.Refusal().Refused > 0) {
        FCount = std::min(FCount, static_cast<int>(spare.Size()));
        FRefusal = spare.Refusal();
    }
    TFTPSpareConnections kept;
    while (kept.Size() < static_cast<std::size_t>(FCount))
        if (auto slot = spare.Take())
            kept.Add(std::move(slot));
        else
            break;
    std::lock_guard lock(FLock);
    if (!FLoginsStarted && !FClosing)
        FSpare = std::move(kept);
    // Those past the count, or all of them when it comes too late, say goodbye now.
}

TFTPSpareConnections TFTPTransferPool::Release() {
    EndWork();
    std::vector<std::unique_ptr<TFTPTransferSlot>> slots;
    {
        std::lock_guard lock(FLock);
        slots.swap(FSlots);
    }
    return TFTPSpareConnections(std::move(slots), FRefusal);
}

void TFTPTransferPool::Work(TFTPTransferSlot& slot) {
    const auto index = static_cast<std::size_t>(slot.Index);
    for (;;) {
        TJob job;
        {
            std::unique_lock lock(FLock);
            FChanged.wait(lock, [this, index] { return FClosing || index > FActive || !FQueue.empty(); });
            if (FQueue.empty() || index > FActive)
                return;
            job = std::move(FQueue.front());
            FQueue.pop_front();
            ++FRunning;
        }
        FChanged.notify_all();
        const std::uint32_t refusalsBefore = slot.Connection->TransientRefusals() + slot.Refusals;
        std::string failure;
        try {
            failure = job(slot);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        const std::string fewer = NoteRefusals(slot.Connection->TransientRefusals() + slot.Refusals - refusalsBefore);
        {
            std::lock_guard lock(FLock);
            --FRunning;
            if (!failure.empty() && FFailure.empty()) {
                FFailure = failure;
                // Nothing more starts after a failure: the run ends with it.
                FQueue.clear();
            }
        }
        FChanged.notify_all();
        if (!fewer.empty())
            FWarn(fewer);
    }
}

std::string TFTPTransferPool::NoteRefusals(std::uint32_t count) {
    if (count == 0)
        return {};
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(FLock);
    for (std::uint32_t i = 0; i < count; ++i)
        FRefusalTimes.push_back(now);
    while (!FRefusalTimes.empty() && now - FRefusalTimes.front() > RefusalSpell)
        FRefusalTimes.pop_front();
    if (FRefusalTimes.size() < RefusalsInASpell || FActive <= 1)
        return {};
    FRefusalTimes.clear();
    --FActive;
    return fmt::format("The server keeps refusing data connections for the moment; the {} go on over {} connection(s).",
                       FWork, FActive);
}

void TFTPTransferPool::Submit(TJob job) {
    std::unique_lock lock(FLock);
    WaitUntil(lock, [this] {
        return FClosing || !FFailure.empty() || FQueue.size() < QueuedPerConnection * FActive;
    });
    if (FClosing || !FFailure.empty())
        return;
    FQueue.push_back(std::move(job));
    lock.unlock();
    FChanged.notify_all();
}

std::string TFTPTransferPool::Finish() {
    std::unique_lock lock(FLock);
    WaitUntil(lock, [this] { return FQueue.empty() && FRunning == 0; });
    return FFailure;
}

std::string TFTPTransferPool::Failure() const {
    std::lock_guard lock(FLock);
    return FFailure;
}

bool TFTPTransferPool::Closing() const {
    std::lock_guard lock(FLock);
    return FClosing;
}

void TFTPTransferPool::Cancel() {
    {
        std::lock_guard lock(FLock);
        FClosing = true;
        FQueue.clear();
    }
    FChanged.notify_all();
}

} // namespace zr
