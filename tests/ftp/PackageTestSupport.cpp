#include "PackageTestSupport.h"

#include <mutex>

#include "ftp/ZRFTPConnectAction.h"
#include "host/CryptoUtils.h"
#include "package/ZRInternetReg.h"
#include "support/FTPServerFixture.h"

namespace quillate::testing {

void EnsurePackageRegistered() {
    static std::once_flag once;
    std::call_once(once, [] { zr::RegisterPackage(false); });
}

std::string SiteConnectJson(std::uint16_t port, const std::string& extraProperties) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":"Site","FTPHost":"127.0.0.1","FTPPort":)" +
           std::to_string(port) + R"(,"UserID":")" + TFTPTestServer::User + R"(","Cookie":")" +
           EncryptString(TFTPTestServer::Password, zr::TFTPConnectionAction::PasswordKey) + R"(","Passive":true)" +
           (extraProperties.empty() ? "" : "," + extraProperties) + "}}";
}

std::vector<std::string> TPackageRun::Run(const std::string& json) {
    EnsurePackageRegistered();
    TProject project = TProject::Parse(json, "test.json");
    return Run(project);
}

std::vector<std::string> TPackageRun::Run(TProject& project) {
    for (const auto& [name, value] : project.Variables)
        Variables.Set(name, value);
    TRunner runner(project.Actions, Variables, Log);
    Outcome = runner.Run();
    return ActionLines();
}

std::vector<std::string> TPackageRun::ActionLines() const {
    std::vector<std::string> lines;
    for (const auto& e : Log.Entries())
        if (e.Group > 0 && e.Text != e.Action)
            lines.push_back(e.Text);
    return lines;
}

bool TPackageRun::AnyLineContains(const std::string& text) const {
    for (const auto& e : Log.Entries())
        if (e.Text.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace quillate::testing
