// Running package actions in-process for tests: the package registered once, a project parsed from
// JSON and run by the host's runner with an in-memory log and progress, against real FTP servers.
#pragma once

#include "host/Log.h"
#include "host/Project.h"
#include "host/Runner.h"
#include "support/FTPServerFixture.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillate::testing {

// An "FTP Connect" action (JSON) opening the connection "Site" to 127.0.0.1 in passive mode;
// extraProperties ("\"DetailedLogging\":true") are added to its properties.
std::string SiteConnectJson(std::uint16_t port, const std::string& extraProperties = {},
                            const std::string& user = TFTPTestServer::User);
// One more action on the connection "Site", with a leading comma; `members` adds the host's own members
// of the action ("\"ignoreFailure\":true").
std::string SiteStep(const std::string& type, const std::string& properties = {},
                     const std::string& members = {});

// Registers the package with the host's services the first time it is called.
void EnsurePackageRegistered();

// Writes the file, making the folders above it first.
void WriteFileIn(const std::filesystem::path& path, const std::string& text);
// SSL_CERT_FILE set to the test CA of tests/data/net/tls for as long as the result lives; unset when not
// trusted.
TScopedEnvironment TrustTestCA(bool trusted = true);

class TPackageRun : public ILogSink, public IProgressSink {
public:
    struct TProgressLine {
        std::chrono::steady_clock::time_point Time;
        std::string Text;
        int Percent;
    };
    using TDuring = std::function<void(TRunner& runner, TProject& project)>;

    TMemoryLogSink Log;
    TVariables Variables;
    TRunOutcome Outcome = TRunOutcome::Failed;
    // Acquisitions of project objects still held when the run ended.
    int Outstanding = -1;
    // Set once the runner has returned, for helpers that wait for something the run may never do.
    std::atomic<bool> Finished{false};
    // Called on the writing thread after each line is recorded; may stop the run.
    std::function<void(const TLogEntry&, TRunner&)> OnLine;

    // Runs the project, `during` on a helper thread meanwhile; returns the texts of the actions' lines.
    std::vector<std::string> Run(const std::string& json, const TDuring& during = {});
    std::vector<std::string> Run(TProject& project, const TDuring& during = {});

    // The lines of the actions whose description starts with `prefix` (headers left out).
    std::vector<std::string> LinesOf(const std::string& prefix) const;
    std::vector<std::string> Lines() const { return LinesOf(""); }
    // Every command logged as sent ("Sent: host:port : CWD a" gives "CWD a").
    std::vector<std::string> SentCommands() const;
    bool AnyLineContains(const std::string& text) const;
    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout) const;
    std::vector<TProgressLine> ProgressLines() const;

    void Write(const TLogEntry& entry) override;
    void Progress(const std::string& action, const std::string& text, int percent) override;
    void Clear() override {}

private:
    TRunner* FRunner = nullptr;
    mutable std::mutex FLock;
    std::vector<TProgressLine> FProgress;
};

// Asks the run to stop the way the command line does: from the main thread.
void StopFromMainThread(TRunner& runner);

// A test run once against each kind of server, started fresh for it.
class TFTPServerActionTest : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        FServer = std::make_unique<TFTPTestServer>(GetParam());
        FServer->Start();
    }
    // A project that connects "Site" to the server before `actions` (each with a leading comma).
    std::string Project(const std::string& actions) const {
        return R"({"actions":[)" + SiteConnectJson(FServer->Port()) + actions + "]}";
    }
    std::unique_ptr<TFTPTestServer> FServer;
};

// For INSTANTIATE_TEST_SUITE_P(Servers, Suite, AllFTPServers, ServerName).
inline const auto AllFTPServers = ::testing::Values(TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD);
inline std::string ServerName(const ::testing::TestParamInfo<TFTPServerKind>& info) {
    return KindName(info.param);
}

} // namespace quillate::testing
