// A project run for FTP action tests that need more than TPackageRun gives: the progress lines, the
// actions while they run (to stop the run or fire a time limit) and the registry before the project
// is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "ftp/ZRFTPConnectAction.h"
#include "host/CryptoUtils.h"
#include "host/MainThread.h"
#include "host/ProjectObjects.h"
#include "support/FTPServerFixture.h"

namespace quillate::testing {

// An "FTP Connect" action that opens the connection "Site" on a test server.
inline std::string ConnectSite(std::uint16_t port, const std::string& user = TFTPTestServer::User,
                               const std::string& password = TFTPTestServer::Password) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":"Site","FTPHost":"127.0.0.1","FTPPort":)" +
           std::to_string(port) + R"(,"UserID":")" + user + R"(","Cookie":")" +
           EncryptString(password, zr::TFTPConnectionAction::PasswordKey) + R"(","Passive":true}})";
}

// A test run once against each kind of server, started fresh for it.
class TFTPServerActionTest : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        FServer = std::make_unique<TFTPTestServer>(GetParam());
        FServer->Start();
    }
    // A project that connects "Site" to the server before `actions` (each with a leading comma).
    std::string Project(const std::string& actions) const {
        return R"({"actions":[)" + ConnectSite(FServer->Port()) + actions + "]}";
    }
    std::unique_ptr<TFTPTestServer> FServer;
};

class TRecordingProgress : public IProgressSink {
public:
    struct TEntry {
        std::string Text;
        int Percent;
    };
    void Progress(const std::string&, const std::string& text, int percent) override {
        std::lock_guard lock(FLock);
        FEntries.push_back({text, percent});
    }
    void Clear() override {}
    std::vector<TEntry> Entries() const {
        std::lock_guard lock(FLock);
        return FEntries;
    }

private:
    mutable std::mutex FLock;
    std::vector<TEntry> FEntries;
};

struct TFTPActionRun {
    TMemoryLogSink Log;
    TVariables Variables;
    TRecordingProgress Progress;
    TRunOutcome Outcome = TRunOutcome::Failed;
    // Acquisitions of project objects still held when the run ended.
    int Outstanding = -1;
    // Set once the runner has returned, for helpers that wait for something the run may never do.
    std::atomic<bool> Finished{false};

    using TDuring = std::function<void(TRunner& runner, TProject& project)>;

    // Runs the project; `during` runs on a helper thread meanwhile and is joined before this returns.
    void Run(const std::string& json, const TDuring& during = {}) {
        EnsurePackageRegistered();
        TProject project = TProject::Parse(json, "test.json");
        for (const auto& [name, value] : project.Variables)
            Variables.Set(name, value);
        TRunner runner(project.Actions, Variables, Log, &Progress);
        std::thread helper;
        if (during)
            helper = std::thread([&] { during(runner, project); });
        Outcome = runner.Run();
        Finished = true;
        if (helper.joinable())
            helper.join();
        // A stop queued after the run ended must still find the runner alive.
        TMainThread::Instance().RunUntil([] { return true; });
        Outstanding = ProjectObjectRegistry().OutstandingAcquisitions();
    }

    // The texts of the lines written by the actions whose description starts with `prefix`.
    std::vector<std::string> LinesOf(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const auto& e : Log.Entries())
            if (e.Group > 0 && e.Text != e.Action && e.Action.rfind(prefix, 0) == 0)
                lines.push_back(e.Text);
        return lines;
    }
    std::vector<std::string> Lines() const { return LinesOf(""); }

    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout) const {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            if (Log.Contains(text))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // The time the first line with exactly this text was written.
    std::optional<std::chrono::system_clock::time_point> TimeOf(const std::string& text) const {
        for (const auto& e : Log.Entries())
            if (e.Text == text)
                return e.Time;
        return std::nullopt;
    }
};

// Asks the run to stop the way the command line does: from the main thread.
inline void StopFromMainThread(TRunner& runner) {
    TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
}

} // namespace quillate::testing
