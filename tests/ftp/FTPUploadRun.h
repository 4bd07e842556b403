// Runs projects with an "FTP Upload" action for the upload tests: the log and the progress lines with
// the time each arrived, a hook on every log line, and the directory commands the server received.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

namespace quillate::testing {

// One more action on the connection "Site"; its protocol lines are logged so that the commands sent
// can be read back from the log.
inline std::string UploadStep(const std::string& type, const std::string& properties, bool ignoreFailure = false) {
    return R"(,{"type":")" + type + R"(",)" + (ignoreFailure ? R"("ignoreFailure":true,)" : "") +
           R"("properties":{"ConnectionName":"Site","DetailedLogging":true)" +
           (properties.empty() ? "" : "," + properties) + "}}";
}

class TUploadRun : public ILogSink, public IProgressSink {
public:
    struct TProgressLine {
        std::chrono::steady_clock::time_point Time;
        std::string Text;
        int Percent;
    };

    TMemoryLogSink Log;
    TVariables Variables;
    TRunOutcome Outcome = TRunOutcome::Failed;
    int ActionsFailed = -1;
    // Called on the writing thread after each line is recorded; may stop the run.
    std::function<void(const TLogEntry&, TRunner&)> OnLine;
    // Called with the loaded project before it runs.
    std::function<void(TProject&)> Prepare;

    void Run(const std::string& json) {
        EnsurePackageRegistered();
        TProject project = TProject::Parse(json, "test.json");
        if (Prepare)
            Prepare(project);
        for (const auto& [name, value] : project.Variables)
            Variables.Set(name, value);
        TRunner runner(project.Actions, Variables, *this, this);
        FRunner = &runner;
        Outcome = runner.Run();
        FRunner = nullptr;
        ActionsFailed = runner.ActionsFailed();
    }

    void Write(const TLogEntry& entry) override {
        Log.Write(entry);
        if (OnLine && FRunner)
            OnLine(entry, *FRunner);
    }
    void Progress(const std::string&, const std::string& text, int percent) override {
        std::lock_guard lock(FLock);
        FProgress.push_back({std::chrono::steady_clock::now(), text, percent});
    }
    void Clear() override {}
    std::vector<TProgressLine> ProgressLines() const {
        std::lock_guard lock(FLock);
        return FProgress;
    }

    // The upload actions' own lines; protocol lines and the runner's note on an ignored failure left out.
    std::vector<std::string> UploadLines(const std::string& description = "FTP Upload") const {
        std::vector<std::string> lines;
        for (const auto& e : Log.Entries())
            if (e.Group > 0 && e.Text != e.Action && e.Action.rfind(description, 0) == 0 && !IsProtocolLine(e.Text) &&
                e.Text != "Failure ignored, the run goes on")
                lines.push_back(e.Text);
        return lines;
    }
    // Every command the actions sent, from their protocol lines ("Sent: host:port : CWD a").
    std::vector<std::string> SentCommands() const {
        std::vector<std::string> commands;
        for (const auto& e : Log.Entries())
            if (e.Text.rfind("Sent: ", 0) == 0) {
                std::size_t colon = e.Text.find(" : ");
                if (colon != std::string::npos)
                    commands.push_back(e.Text.substr(colon + 3));
            }
        return commands;
    }

private:
    static bool IsProtocolLine(const std::string& text) {
        return text.rfind("Sent: ", 0) == 0 || text.rfind("Recv: ", 0) == 0 || text.rfind("Status: ", 0) == 0;
    }

    TRunner* FRunner = nullptr;
    mutable std::mutex FLock;
    std::vector<TProgressLine> FProgress;
};

// The commands that create or change folders, in order.
inline std::vector<std::string> DirectoryCommands(const std::vector<std::string>& commands) {
    std::vector<std::string> result;
    for (const auto& c : commands) {
        std::string verb = c.substr(0, c.find(' '));
        if (verb == "CWD" || verb == "CDUP" || verb == "XCUP" || verb == "MKD" || verb == "XMKD")
            result.push_back(c);
    }
    return result;
}

} // namespace quillate::testing
