#include "PackageTestSupport.h"

#include "ftp/ZRFTPConnectAction.h"
#include "host/CryptoUtils.h"
#include "host/MainThread.h"
#include "host/ProjectObjects.h"
#include "package/ZRInternetReg.h"

#include <algorithm>
#include <thread>

namespace quillate::testing {

void EnsurePackageRegistered() {
    static std::once_flag once;
    std::call_once(once, [] { zr::RegisterPackage(false); });
}

std::string SiteConnectJson(std::uint16_t port, const std::string& extraProperties, const std::string& user) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":"Site","FTPHost":"127.0.0.1","FTPPort":)" +
           std::to_string(port) + R"(,"UserID":")" + user + R"(","Cookie":")" +
           EncryptString(TFTPTestServer::Password, zr::TFTPConnectionAction::PasswordKey) +
           R"(","Passive":true)" + (extraProperties.empty() ? "" : "," + extraProperties) + "}}";
}

std::string SiteStep(const std::string& type, const std::string& properties, const std::string& members) {
    return R"(,{"type":")" + type + "\"," + (members.empty() ? "" : members + ",") +
           R"("properties":{"ConnectionName":"Site")" + (properties.empty() ? "" : "," + properties) + "}}";
}

void WriteFileIn(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    WriteTextFile(path, text);
}

TScopedEnvironment TrustTestCA(bool trusted) {
    static const std::string ca = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem";
    return TScopedEnvironment("SSL_CERT_FILE", trusted ? ca.c_str() : nullptr);
}

void StopFromMainThread(TRunner& runner) {
    TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
}

std::vector<std::string> TPackageRun::Run(const std::string& json, const TDuring& during) {
    EnsurePackageRegistered();
    TProject project = TProject::Parse(json, "test.json");
    return Run(project, during);
}

std::vector<std::string> TPackageRun::Run(TProject& project, const TDuring& during) {
    for (const auto& [name, value] : project.Variables)
        Variables.Set(name, value);
    TRunner runner(project.Actions, Variables, *this, this);
    FRunner = &runner;
    std::thread helper;
    if (during)
        helper = std::thread([&] { during(runner, project); });
    Outcome = runner.Run();
    Finished = true;
    if (helper.joinable())
        helper.join();
    // A stop queued after the run ended must still find the runner alive.
    TMainThread::Instance().RunUntil([] { return true; });
    FRunner = nullptr;
    Outstanding = ProjectObjectRegistry().OutstandingAcquisitions();
    return Lines();
}

void TPackageRun::Write(const TLogEntry& entry) {
    Log.Write(entry);
    if (OnLine && FRunner)
        OnLine(entry, *FRunner);
}

void TPackageRun::Progress(const std::string&, const std::string& text, int percent) {
    std::lock_guard lock(FLock);
    FProgress.push_back({std::chrono::steady_clock::now(), text, percent});
}

std::vector<TPackageRun::TProgressLine> TPackageRun::ProgressLines() const {
    std::lock_guard lock(FLock);
    return FProgress;
}

std::vector<std::string> TPackageRun::LinesOf(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const auto& e : Log.Entries())
        if (e.Group > 0 && e.Text != e.Action && e.Action.rfind(prefix, 0) == 0)
            lines.push_back(e.Text);
    return lines;
}

std::vector<std::string> TPackageRun::SentCommands() const {
    std::vector<std::string> commands;
    for (const auto& e : Log.Entries()) {
        std::size_t colon = e.Text.find(" : ");
        if (e.Text.starts_with("Sent: ") && colon != std::string::npos)
            commands.push_back(e.Text.substr(colon + 3));
    }
    return commands;
}

bool TPackageRun::AnyLineContains(const std::string& text) const {
    return std::ranges::any_of(Log.Entries(),
                               [&](const auto& e) { return e.Text.find(text) != std::string::npos; });
}

bool TPackageRun::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (Log.Contains(text))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace quillate::testing
