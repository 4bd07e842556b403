// "HTTP Get File": one GET of one address, its body saved to a file, kept in a project variable, or
// only checked; basic authentication, an HTTP proxy, redirects on request, a time-out and TLS.
#pragma once

#include "host/Action.h"
#include "host/TimeoutMonitor.h"
#include "host/TransferMeter.h"
#include "net/HTTPClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zr {

enum TDownloadTo { dCheckExists, dSaveToFile, dSaveToZRVariable };

class TZRInetHTTPGetAction : public quillate::TZRAction, public quillate::IZRTimeoutTarget {
public:
    // A body kept in a variable may be no larger than this.
    static constexpr std::size_t MaxVariableBytes = 64u << 20;

    TZRInetHTTPGetAction();
    ~TZRInetHTTPGetAction() override;

    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "HTTP Get File"; }
    std::string GetFormattedDescription() const override;
    int GetHelpTopicID() const override { return 2320; }
    std::string GetQuickHelpFilename() const override { return "Plugins\\HTTPGet.html"; }
    void GetReadOnlyProperties(quillate::TStringList& list) const override;
    bool GetTimedOut() const override { return FTimedOut; }
    // From other threads: the request running fails at once, and so does every later one of this run.
    void DoTimeout() override;

    int ResponseCode() const { return FResponseCode; }

private:
    friend struct THTTPGetActionProperties;

    // What one run fetches, every setting expanded.
    struct TRequest {
        std::string URL, User, Password, Target, Variable;
    };
    // Where the body goes while it arrives.
    class TBodyWriter;

    bool ExpandSettings(TRequest& request);
    bool CheckTarget(TRequest& request);
    bool ApplyProxy();
    // The time-out in minutes, bounded so that it fits every clock it is put on.
    std::chrono::minutes TimeoutLimit() const;
    void ApplyTimeouts();
    bool ResolveServerFileName(const std::string& url, std::string& name);
    bool Fetch(TRequest& request);
    void ReportProgress(std::int64_t bytes);
    void LogClientEvent(net::TLogEventType type, std::string_view text);

    std::string FCookie; // the password's stored form
    std::string FURL;
    std::int32_t FPort = 80;
    std::string FUsername;
    TDownloadTo FDownloadTo = dCheckExists;
    std::string FDownloadToFile;
    std::string FDownloadToVar;
    bool FOverwriteFile = false;
    bool FAcceptRedirects = false;
    bool FUseProxy = false;
    std::string FProxyUsername;
    std::string FProxyCookie; // the proxy password's stored form
    std::string FProxyServer;
    std::int32_t FProxyPort = 80;
    std::int32_t FResponseCode = 0;
    std::uint32_t FTimeoutLength = 2;
    bool FEnableTimeout = false;
    bool FUseServerFileName = false;
    bool FVerboseLogging = false;

    std::atomic<bool> FTimedOut{false};
    quillate::TTransferMeter FMeter;
    net::THTTPClient FClient;
    std::mutex FMonitorLock;
    std::unique_ptr<quillate::TTimeoutMonitorThread> FMonitor;
};

} // namespace zr
